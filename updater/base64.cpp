#include "base64.h"

#include <array>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr uint8_t kInvalid = 0xFF;

constexpr std::array<uint8_t, 256> _make_table() {
    std::array<uint8_t, 256> table{};
    for (auto &entry : table)
        entry = kInvalid;
    const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (uint8_t i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(alphabet[i])] = i;
    return table;
}

constexpr std::array<uint8_t, 256> kDecode = _make_table();

} // namespace

unsigned char *base64_decode(const char *text, size_t length, size_t *out_length) {
    if (text == nullptr || out_length == nullptr || length % 4 != 0)
        return nullptr;
    const size_t groups = length / 4;
    // Padding can only sit in a last group, so an empty text has none and the subtraction
    // below cannot wrap (which the optimiser can now see, too).
    size_t padding = 0;
    if (groups > 0 && text[length - 1] == '=')
        padding = text[length - 2] == '=' ? 2 : 1;
    const size_t decoded = groups * 3 - padding;
    auto *out = static_cast<unsigned char *>(malloc(decoded + 1));
    if (out == nullptr)
        return nullptr;
    out[decoded] = 0;

    const auto *in = reinterpret_cast<const unsigned char *>(text);
    const size_t full_groups = padding ? groups - 1 : groups;
    unsigned char *o = out;
    // Valid values fit in 6 bits, so one OR over the group catches any invalid character.
    for (size_t g = 0; g < full_groups; ++g, in += 4) {
        uint32_t a = kDecode[in[0]], b = kDecode[in[1]], c = kDecode[in[2]], d = kDecode[in[3]];
        if ((a | b | c | d) & 0xC0) {
            free(out);
            return nullptr;
        }
        uint32_t group = (a << 18) | (b << 12) | (c << 6) | d;
        *o++ = static_cast<unsigned char>(group >> 16);
        *o++ = static_cast<unsigned char>(group >> 8);
        *o++ = static_cast<unsigned char>(group);
    }
    if (padding) {
        // The last group: 2 or 3 data characters; "=" anywhere before them is refused above.
        uint32_t group = 0;
        for (size_t k = 0; k < 4; ++k) {
            uint32_t v = 0;
            if (k < 4 - padding) {
                v = kDecode[in[k]];
                if (v & 0xC0) {
                    free(out);
                    return nullptr;
                }
            }
            group = (group << 6) | v;
        }
        *o++ = static_cast<unsigned char>(group >> 16);
        if (padding == 1)
            *o++ = static_cast<unsigned char>(group >> 8);
    }
    *out_length = decoded;
    return out;
}
