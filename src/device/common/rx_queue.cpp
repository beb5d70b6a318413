// RxQueue: storage and the copies across the ring's end (see rx_queue.h).
#include "device/common/rx_queue.h"

#include <cstring>
#include <new>

namespace velk {

std::uint32_t RxQueue::capacityFor(std::uint32_t asked) {
    std::uint32_t cap = kMinCapacity;
    while (cap < asked && cap < kMaxCapacity) cap <<= 1;
    return cap;
}

bool RxQueue::reset(std::uint32_t asked) {
    const std::uint32_t cap = capacityFor(asked);
    if (cap != capacity_) {
        auto* fresh = new (std::nothrow) std::uint8_t[cap];
        if (fresh == nullptr) return false;
        delete[] buf_;
        buf_ = fresh;
        capacity_ = cap;
        mask_ = cap - 1;
    }
    clear();
    return true;
}

bool RxQueue::resize(std::uint32_t asked) {
    std::uint32_t cap = capacityFor(asked);
    while (cap < size()) cap <<= 1;
    if (cap == capacity_) return true;
    auto* fresh = new (std::nothrow) std::uint8_t[cap];
    if (fresh == nullptr) return false;
    const std::uint32_t n = pop(fresh, size());
    delete[] buf_;
    buf_ = fresh;
    capacity_ = cap;
    mask_ = cap - 1;
    head_ = 0;
    tail_ = n;
    return true;
}

void RxQueue::release() {
    delete[] buf_;
    buf_ = nullptr;
    capacity_ = mask_ = 0;
    clear();
}

RxQueue::Region RxQueue::writable() {
    // An empty queue starts again at the front, so that a device's read gets
    // the whole storage at once.
    if (head_ == tail_) head_ = tail_ = 0;
    const std::uint32_t at = tail_ & mask_;
    const std::uint32_t toEnd = capacity_ - at;
    const std::uint32_t free = space();
    return Region{buf_ + at, free < toEnd ? free : toEnd};
}

std::uint32_t RxQueue::push(const void* bytes, std::uint32_t n) {
    if (n > space()) n = space();
    const auto* src = static_cast<const std::uint8_t*>(bytes);
    std::uint32_t done = 0;
    while (done < n) {
        const Region r = writable();
        const std::uint32_t k = n - done < r.size ? n - done : r.size;
        std::memcpy(r.data, src + done, k);
        commit(k);
        done += k;
    }
    return n;
}

std::uint32_t RxQueue::pop(void* out, std::uint32_t n) {
    if (n > size()) n = size();
    auto* dst = static_cast<std::uint8_t*>(out);
    std::uint32_t done = 0;
    while (done < n) {
        const std::uint32_t at = head_ & mask_;
        const std::uint32_t toEnd = capacity_ - at;
        const std::uint32_t k = n - done < toEnd ? n - done : toEnd;
        std::memcpy(dst + done, buf_ + at, k);
        head_ += k;
        done += k;
    }
    return n;
}

}  // namespace velk
