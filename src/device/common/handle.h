// The one format of the device handles the library's own backends issue
// (everything but Windows, where a handle is the system's HANDLE):
//
//     top of the word                                              bit 0
//     | kind: 4 | unused | generation: 20               | slot: 5 |
//
//  - slot: the index of the open port in the issuing device's table (at most
//    16 entries); kNoDevice, all ones, has slot 31 and so never names an
//    entry, without a test of its own;
//  - generation: counts the opens of the device, 1 to 2^20 - 1, wrapping and
//    skipping 0, so that a handle kept after its close does not reach the
//    slot's next open (until a million opens later);
//  - kind: on POSIX, the routing's index of the kind of device that issued
//    the handle (kind/routing.cpp); a kind's own handles keep these bits 0.
//    The top kind value (15) is never a routing row, so kNoDevice is never a
//    routed handle.
//
// The same layout on every word size: the static_asserts below check it for
// 32-bit and 64-bit words whatever this build's is.
#ifndef VELK_DEVICE_COMMON_HANDLE_H
#define VELK_DEVICE_COMMON_HANDLE_H

#include "device/device_api.h"

namespace velk {
namespace handle {

constexpr int kSlotBits = 5;
constexpr int kGenerationBits = 20;
constexpr int kKindBits = 4;
constexpr int kWordBits = static_cast<int>(sizeof(DevHandle) * 8);

// The largest table a device may index by slot: kNoDevice's slot lies past it.
constexpr int kMaxSlots = 16;
// A kind's own handles stay below this bound; the routing keeps its index in
// the bits from here up.
constexpr int kKindShift = kWordBits - kKindBits;
constexpr DevHandle kKindLimit = DevHandle(1) << kKindShift;
constexpr int kKindSlots = 1 << kKindBits;

constexpr unsigned kSlotMask = (1u << kSlotBits) - 1;
constexpr unsigned kGenerationMask = (1u << kGenerationBits) - 1;

// The layout fits a word of `bits` bits: slot and generation below the kind,
// and the slot of an all-ones word past every table.
constexpr bool fitsWord(int bits) {
    return kSlotBits + kGenerationBits + kKindBits <= bits && (1 << kSlotBits) - 1 >= kMaxSlots;
}
static_assert(fitsWord(32), "the handle layout must fit a 32-bit word");
static_assert(fitsWord(64), "the handle layout must fit a 64-bit word");
static_assert(fitsWord(kWordBits), "the handle layout must fit this build's word");

// The generation after g: 1 to 2^20 - 1, never 0.
constexpr unsigned nextGeneration(unsigned g) {
    return (g + 1) & kGenerationMask ? (g + 1) & kGenerationMask : 1;
}

// A kind's handle for slot `slot` (below kMaxSlots) opened as generation g.
constexpr DevHandle make(unsigned generation, int slot) {
    return (static_cast<DevHandle>(generation & kGenerationMask) << kSlotBits) | static_cast<DevHandle>(slot);
}

// The slot a handle names; kMaxSlots or more for kNoDevice and for any
// handle no table holds.
constexpr unsigned slotOf(DevHandle h) {
    return static_cast<unsigned>(h) & kSlotMask;
}

// Routing (POSIX): the kind's index in the top bits, and the kind's own
// handle inside a routed one.
constexpr DevHandle route(DevHandle h, int kind) {
    return h | (static_cast<DevHandle>(kind) << kKindShift);
}
constexpr unsigned kindOf(DevHandle h) {
    return static_cast<unsigned>(h >> kKindShift);
}
constexpr DevHandle unroute(DevHandle h) {
    return h & (kKindLimit - 1);
}

static_assert(slotOf(kNoDevice) >= kMaxSlots, "kNoDevice must name no slot");
static_assert(kindOf(kNoDevice) == kKindSlots - 1, "kNoDevice must carry the top kind");
static_assert(make(kGenerationMask, kMaxSlots - 1) < kKindLimit, "a kind's handles stay below the kind bits");

}  // namespace handle
}  // namespace velk

#endif  // VELK_DEVICE_COMMON_HANDLE_H
