#include "base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "SimServerModel.h"

namespace {

struct FreeDeleter {
    void operator()(unsigned char *p) const { free(p); }
};

// The decoded bytes, or nothing when base64_decode refused the text.
std::optional<std::string> decode(const std::string &text) {
    size_t length = 12345;
    std::unique_ptr<unsigned char, FreeDeleter> out(base64_decode(text.data(), text.size(), &length));
    if (!out)
        return std::nullopt;
    EXPECT_EQ(out.get()[length], 0) << "the buffer ends in a zero byte";
    return std::string(reinterpret_cast<char *>(out.get()), length);
}

} // namespace

TEST(Base64, DecodesTheStandardVectorsWithAndWithoutPadding) {
    const std::pair<const char *, const char *> vectors[] = {{"", ""},
                                                             {"Zg==", "f"},
                                                             {"Zm8=", "fo"},
                                                             {"Zm9v", "foo"},
                                                             {"Zm9vYg==", "foob"},
                                                             {"Zm9vYmE=", "fooba"},
                                                             {"Zm9vYmFy", "foobar"},
                                                             {"+/+/", "\xfb\xff\xbf"}};
    for (const auto &[text, plain] : vectors)
        EXPECT_EQ(decode(text), std::string(plain)) << text;
}

TEST(Base64, RefusesTextThatIsNotBase64) {
    const char *refused[] = {
        "Zm9vY",      // length not a multiple of 4
        "Zm9v\nYmFy", // a line break inside
        "Zm9v Ymy",   // a blank
        "Zm*v",       // outside the alphabet
        "Zm9-",       // the URL-safe alphabet is not this one
        "Z=9v",       // padding in the middle
        "Zg=a",       // padding before a data character
        "Z===",       // three padding characters
        "Zg==Zm9v",   // padding before the last group
        "Zm9\xc3",    // a byte above 127
    };
    for (const char *text : refused)
        EXPECT_EQ(decode(text), std::nullopt) << text;
}

TEST(Base64, RoundTripsEveryByteValueAtEveryPaddingLength) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    for (size_t cut = 0; cut < 3; ++cut) {
        std::string bytes = all.substr(cut);
        EXPECT_EQ(decode(sim::Base64Encode(bytes)), bytes) << "length " << bytes.size();
    }
}
