// RxQueue: the receive queue a device keeps for each open port, as a Windows
// serial driver does. A ring of bytes whose storage is allocated once, when
// the port opens (reset), and never on any other call. A device fills it
// either in place -- writable() gives the contiguous free region, the device
// reads into it straight from its file descriptor and then commit()s what
// arrived -- or by copying with push() when it parses bytes first (network
// protocols). Callers take bytes out with pop() or popByte(). Not
// synchronised: the device that owns the queue serialises the calls.
#ifndef VELK_DEVICE_COMMON_RX_QUEUE_H
#define VELK_DEVICE_COMMON_RX_QUEUE_H

#include <cstdint>

namespace velk {

class RxQueue {
public:
    // The bounds of the capacity: a receive size outside them is brought in
    // to the nearest one, and the result rounded up to a power of two.
    static constexpr std::uint32_t kMinCapacity = 4u * 1024;
    static constexpr std::uint32_t kMaxCapacity = 1024u * 1024;

    // The capacity reset() gives for a receive size of `asked` bytes.
    static std::uint32_t capacityFor(std::uint32_t asked);

    // The contiguous free region at the tail of the queue.
    struct Region {
        std::uint8_t* data;
        std::uint32_t size;
    };

    RxQueue() = default;
    ~RxQueue() { release(); }
    RxQueue(const RxQueue&) = delete;
    RxQueue& operator=(const RxQueue&) = delete;

    // Empties the queue and gives it capacityFor(asked) bytes of storage,
    // keeping the storage it has when that is already the size. Returns
    // false, leaving the queue as it was, when the memory cannot be had.
    bool reset(std::uint32_t asked);
    // Gives the queue capacityFor(asked) bytes of storage, or more when it
    // holds more than that, keeping every byte it holds in order. Returns
    // false, leaving the queue as it was, when the memory cannot be had.
    bool resize(std::uint32_t asked);
    // Frees the storage; the queue then has capacity 0 until the next reset.
    void release();

    std::uint32_t size() const { return tail_ - head_; }
    std::uint32_t capacity() const { return capacity_; }
    std::uint32_t space() const { return capacity_ - size(); }
    bool empty() const { return head_ == tail_; }
    bool full() const { return size() == capacity_; }

    // Producer side. writable() is empty only when the queue is full (or has
    // no storage); an empty queue offers its whole storage in one piece.
    // commit(n) appends the first n bytes of the region last given (n must
    // not exceed its size).
    Region writable();
    void commit(std::uint32_t n) { tail_ += n; }
    // Appends up to n bytes, as many as there is space for; returns the count.
    std::uint32_t push(const void* bytes, std::uint32_t n);

    // Consumer side. pop() moves up to n bytes to out and returns the count;
    // popByte() returns the oldest byte (0..255), or -1 when empty.
    std::uint32_t pop(void* out, std::uint32_t n);
    int popByte() {
        if (head_ == tail_) return -1;
        return buf_[head_++ & mask_];
    }

    // Discards every byte held.
    void clear() { head_ = tail_ = 0; }

private:
    // head_ and tail_ count bytes taken and appended, modulo 2^32; the
    // position of each in buf_ is the count masked by capacity_ - 1.
    std::uint8_t* buf_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::uint32_t mask_ = 0;
    std::uint32_t head_ = 0;
    std::uint32_t tail_ = 0;
};

}  // namespace velk

#endif  // VELK_DEVICE_COMMON_RX_QUEUE_H
