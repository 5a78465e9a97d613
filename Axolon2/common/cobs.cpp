#include "cobs.h"

#include <cstring>

size_t cobs_encode_inplace(uint8_t *buffer, size_t length) {
    if (!buffer)
        return 0;
    // Move the input right by the largest possible growth, then encode forward
    // into the front: each code byte written is paid for by a 0x00 consumed or
    // by the room made for it, so the output never overtakes unread input.
    const size_t shift = 1 + length / 254;
    std::memmove(buffer + shift, buffer, length);
    const uint8_t *in = buffer + shift;
    size_t out = 1;
    size_t codePos = 0;
    uint8_t code = 1;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = in[i];
        if (byte == 0) {
            buffer[codePos] = code;
            codePos = out++;
            code = 1;
            continue;
        }
        buffer[out++] = byte;
        if (++code == 0xFF) {
            buffer[codePos] = code;
            codePos = out++;
            code = 1;
        }
    }
    buffer[codePos] = code;
    return out;
}

size_t cobs_decode(const uint8_t *source, size_t length, uint8_t *destination) {
    if (!source || !destination)
        return 0;
    size_t in = 0;
    size_t out = 0;
    while (in < length) {
        const uint8_t code = source[in++];
        if (code == 0 || in + code - 1 > length)
            return 0;
        for (uint8_t i = 1; i < code; ++i) {
            if (source[in] == 0)
                return 0;
            destination[out++] = source[in++];
        }
        if (code != 0xFF && in < length)
            destination[out++] = 0;
    }
    return out;
}

size_t cobs_decode_inplace(uint8_t *buffer, size_t length) { return cobs_decode(buffer, length, buffer); }
