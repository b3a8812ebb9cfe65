// The words of a mapped section as shared atomics, for the ring code of this folder only.
// Every ordering below is the C++ memory model's, never x86's stronger one: each publication is a
// release store or a release fence before the word a reader checks, each check an acquire load or
// fence before what it guards, so the rings hold on weakly ordered processors (arm64) as they are.
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

// The word a ring's doorbell rings on (platform/doorbell.h): the record count where the producer
// keeps one, since it changes with every record and wraps only after 2^31 of them; the head in the
// command ring, whose writers move it (a waiter that misses exactly one lap of it sleeps to its limit).
inline const uint32_t* DoorbellWord(unsigned char* base, bool counted) {
  return reinterpret_cast<const uint32_t*>(base + (counted ? 4 : 0));
}

// The record count of the rings the relay fills moves twice per record: to odd before the slot is
// written, to the next even number once it is. A copy is whole when no write of its slot began
// while it was made; RecordsIn turns the word into records put.
inline uint32_t RecordsIn(uint32_t count_word) {
  return count_word >> 1;
}

// A fence between the slot's bytes and the count word, which the thread sanitizer does not model
// (GCC warns about every one): on weakly ordered machines it is what keeps the two in order.
#if defined(__SANITIZE_THREAD__) && defined(__GNUC__) && !defined(__clang__)
#define TREVASK_RING_FENCE(order)               \
  _Pragma("GCC diagnostic push");               \
  _Pragma("GCC diagnostic ignored \"-Wtsan\""); \
  std::atomic_thread_fence(order);              \
  _Pragma("GCC diagnostic pop")
#else
#define TREVASK_RING_FENCE(order) std::atomic_thread_fence(order)
#endif

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
