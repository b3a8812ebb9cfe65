// The words of a mapped section as shared atomics, for the ring code of this folder only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/shared_memory.h"

namespace exchange::ring_words {

// The head word is shared with other processes. The producer publishes a slot by storing head with
// release after writing length and data; the consumer loads it with acquire before reading the slot.
inline std::atomic_ref<uint32_t> Head(unsigned char* base) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base));
}

// The reserved word: a record count in the rings the relay fills, the relay's forwarding mark in the
// command ring (stored with release by the relay after it has copied a record out of its slot,
// loaded with acquire by a writer before it reuses that slot).
inline std::atomic_ref<uint32_t> Reserved(unsigned char* base) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base + 4));
}

inline unsigned char* Slot(unsigned char* base, uint32_t capacity, uint32_t index) {
  return base + 8 + static_cast<std::size_t>(index) * (capacity + 4u);
}

// A slot's length word in the command ring, whose writers claim slots through it (command_slots.h);
// its slots are a multiple of four bytes long, so the word is aligned as an atomic must be. The
// other rings' length words may be misaligned and are read as bytes.
inline std::atomic_ref<uint32_t> Length(unsigned char* slot) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(slot));
}

// Runs `body`, which touches the view's memory. When another process shrank the section under it
// (a member of the group it is shared with, a tool), the section gets its size back and `body` runs
// once more; what it returns then, or its type's empty value when that fails too.
template <typename F>
auto Repaired(const platform::SharedView& view, F&& body) -> decltype(body()) {
  using Result = decltype(body());
  if constexpr (std::is_void_v<Result>) {
    if (platform::Guarded(view, body)) return;
    if (platform::RepairSharedView(view)) platform::Guarded(view, body);
  } else {
    Result result{};
    auto run = [&] { result = body(); };
    if (platform::Guarded(view, run)) return result;
    if (platform::RepairSharedView(view)) platform::Guarded(view, run);
    return result;
  }
}

}  // namespace exchange::ring_words
