#pragma once
// CRC-8 of the packetized serial framing: polynomial 0x31 processed bit-reflected
// (0x8C), initial value 0, no final XOR. "123456789" gives 0xA1.
#include <cstddef>
#include <cstdint>

uint8_t crc8_update(uint8_t crc, uint8_t byte);
// CRC of a block, starting from 0. A null block with length 0 gives 0.
uint8_t crc8_create(const uint8_t *bytes, size_t length);
bool crc8_check(const uint8_t *bytes, size_t length, uint8_t expected);
