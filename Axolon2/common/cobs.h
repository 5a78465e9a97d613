#pragma once
// Consistent-overhead byte stuffing: the encoded body holds no 0x00, so 0x00
// can delimit frames. Encoding n bytes grows them by at most 1 + n / 254.
#include <cstddef>
#include <cstdint>

// Encodes `length` bytes in place and returns the encoded length. The buffer
// must have room for the growth; 0 for a null buffer.
size_t cobs_encode_inplace(uint8_t *buffer, size_t length);

// Decode a body (without its 0x00 delimiter). Return the decoded length, or 0
// when a code byte points past the end or the body holds a 0x00. `destination`
// needs `length` bytes; decoding in place is safe because output never runs
// ahead of input.
size_t cobs_decode(const uint8_t *source, size_t length, uint8_t *destination);
size_t cobs_decode_inplace(uint8_t *buffer, size_t length);
