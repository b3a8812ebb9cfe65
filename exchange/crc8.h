// CRC-8 of the robot frame: the 1-Wire CRC (polynomial x^8 + x^5 + x^4 + 1, reflected 0x8C,
// initial 0, no final xor, least significant bit first). "123456789" gives 0xA1.
#pragma once

#include <cstddef>
#include <cstdint>

namespace exchange {

// Table-driven; identical to Crc8Bitwise for every input.
uint8_t Crc8(const uint8_t* bytes, std::size_t count);

// The bit-at-a-time definition, kept as the reference the table is checked against.
uint8_t Crc8Bitwise(const uint8_t* bytes, std::size_t count);

}  // namespace exchange
