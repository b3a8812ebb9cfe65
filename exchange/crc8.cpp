#include "exchange/crc8.h"

#include <array>

namespace exchange {
namespace {

constexpr uint8_t StepByte(uint8_t crc) {
  for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : crc >> 1;
  return crc;
}

constexpr std::array<uint8_t, 256> MakeTable() {
  std::array<uint8_t, 256> table{};
  for (int i = 0; i < 256; ++i) table[i] = StepByte(static_cast<uint8_t>(i));
  return table;
}

constexpr std::array<uint8_t, 256> kTable = MakeTable();

}  // namespace

uint8_t Crc8(const uint8_t* bytes, std::size_t count) {
  uint8_t crc = 0;
  for (std::size_t i = 0; i < count; ++i) crc = kTable[crc ^ bytes[i]];
  return crc;
}

uint8_t Crc8Bitwise(const uint8_t* bytes, std::size_t count) {
  uint8_t crc = 0;
  for (std::size_t i = 0; i < count; ++i) {
    uint8_t b = bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      bool mix = ((crc ^ b) & 1) != 0;
      crc >>= 1;
      if (mix) crc ^= 0x8C;
      b >>= 1;
    }
  }
  return crc;
}

}  // namespace exchange
