#pragma once
#include <cstddef>

// Decodes standard Base64 (A-Z a-z 0-9 + /, "=" padding). Returns a malloc'd buffer of
// *out_length bytes plus one zero byte, which the caller releases with free(); null when
// the length is not a multiple of 4, a character lies outside the alphabet, padding
// appears anywhere but in the last two places, or memory runs out.
unsigned char *base64_decode(const char *text, size_t length, size_t *out_length);
