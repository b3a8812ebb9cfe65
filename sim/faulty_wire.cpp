#include "sim/faulty_wire.h"

#include "exchange/frame.h"

namespace sim {

FaultyWire::FaultyWire(Wire& wire, FaultRates rates, uint32_t seed) : wire_(&wire), random_(seed) {
  SetRates(rates);
}

void FaultyWire::SetRates(FaultRates rates) {
  drop_.store(rates.drop, std::memory_order_relaxed);
  corrupt_.store(rates.corrupt, std::memory_order_relaxed);
  garbage_.store(rates.garbage, std::memory_order_relaxed);
  duplicate_.store(rates.duplicate, std::memory_order_relaxed);
}

bool FaultyWire::SendFrame(uint8_t type, const uint8_t* payload, std::size_t n) {
  std::uniform_int_distribution<int> percent(0, 99);
  auto happens = [&](const std::atomic<int>& rate) {
    const int share = rate.load(std::memory_order_relaxed);
    return share > 0 && percent(random_) < share;
  };
  uint8_t out[8 + exchange::kMaxFrame];
  std::size_t garbage = 0;
  if (happens(drop_)) return true;
  if (happens(garbage_)) {
    garbage = static_cast<std::size_t>(std::uniform_int_distribution<int>(1, 7)(random_));
    for (std::size_t i = 0; i < garbage; ++i) out[i] = static_cast<uint8_t>(random_());
  }
  const std::size_t size = exchange::BuildFrame(out + garbage, exchange::kMaxFrame, exchange::kDestComputer,
                                                sequence_++, type, payload, n);
  if (size == 0) return true;
  if (happens(corrupt_)) out[garbage + exchange::kOffPayload + n] ^= 0x5A;
  if (wire_->Send(out, garbage + size)) sent_.fetch_add(1, std::memory_order_relaxed);
  if (happens(duplicate_)) wire_->Send(out, garbage + size);
  const uint8_t* frame = out + garbage;
  for (std::size_t i = 2; i + 3 < size; ++i)
    if (frame[i] == exchange::kFrameEnd0 && frame[i + 1] == exchange::kFrameEnd1) return false;
  return true;
}

}  // namespace sim
