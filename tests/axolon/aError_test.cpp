#include "aError.h"

#include <gtest/gtest.h>
#include <string>

TEST(Error, NamesAndDescriptionsFollowTheCodes) {
    EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
    EXPECT_STREQ(aError_GetErrorDescription(aErrNone), "Success, no error");
    EXPECT_STREQ(aError_GetErrorText(18), "aErrTimeout");
    EXPECT_STREQ(aError_GetErrorDescription(aErrTimeout), "Timeout occurred");
    EXPECT_STREQ(aError_GetErrorText(aErrPacket), "aErrPacket");
    EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Axolon command to short");
    EXPECT_STREQ(aError_GetErrorText(aErrStreamStale), "aErrStreamStale");
}

TEST(Error, CodesPastTheTableGiveUnknown) {
    for (unsigned code : {34u, 35u, 200u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(aError_GetErrorText(code), "aErrUnknown") << code;
        EXPECT_STREQ(aError_GetErrorDescription(code), "Unknown error") << code;
    }
}

TEST(Error, EveryCodeHasADistinctName) {
    for (unsigned a = 0; a <= aErrUnknown; ++a)
        for (unsigned b = a + 1; b <= aErrUnknown; ++b)
            EXPECT_STRNE(aError_GetErrorText(a), aError_GetErrorText(b));
}
