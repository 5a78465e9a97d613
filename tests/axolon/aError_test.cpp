#include "aError.h"

#include <gtest/gtest.h>
#include <iterator>
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

// The names and texts are shown to users and logged next to the codes devices send back,
// so every entry is pinned, in code order.
TEST(Error, EveryCodeHasItsNameAndDescription) {
    struct Entry {
        const char *name, *description;
    };
    const Entry entries[] = {
        {"aErrNone", "Success, no error"},
        {"aErrMemory", "Memory allocation"},
        {"aErrParam", "Invalid parameter"},
        {"aErrNotFound", "Not found"},
        {"aErrFileNameLength", "File name too long"},
        {"aErrBusy", "Resource busy"},
        {"aErrIO", "Input/Output error"},
        {"aErrMode", "Invalid Mode"},
        {"aErrWrite", "Write error"},
        {"aErrRead", "Read error"},
        {"aErrEOF", "End of file"},
        {"aErrNotReady", "Not ready, no bytes available"},
        {"aErrPermission", "Insufficient permissions"},
        {"aErrRange", "Value out of range"},
        {"aErrSize", "Invalid Size"},
        {"aErrOverrun", "Buffer/queue overrun"},
        {"aErrParse", "Parse error"},
        {"aErrConfiguration", "Configuration error"},
        {"aErrTimeout", "Timeout occurred"},
        {"aErrInitialization", "Initialization error"},
        {"aErrVersion", "Invalid version"},
        {"aErrUnimplemented", "Functionality unimplemented"},
        {"aErrDuplicate", "Duplicate request"},
        {"aErrCancel", "Cancellation occurred, or did not complete"},
        {"aErrPacket", "Packet byte invalid"},
        {"aErrConnection", "Connection error"},
        {"aErrIndexRange", "Index out of range"},
        {"aErrShortCommand", "Axolon command to short"},
        {"aErrInvalidEntity", "Invalid entity error"},
        {"aErrInvalidOption", "Invalid option code"},
        {"aErrResource", "Resource unavailable"},
        {"aErrMedia", "Media error"},
        {"aErrAsyncReturn", "Asynchronous return error"},
        {"aErrStreamStale", "Stream value is stale"},
        {"aErrUnknown", "Unknown error"},
    };
    ASSERT_EQ(std::size(entries), static_cast<size_t>(aErrUnknown) + 1);
    for (unsigned code = 0; code < std::size(entries); ++code) {
        EXPECT_STREQ(aError_GetErrorText(code), entries[code].name) << code;
        EXPECT_STREQ(aError_GetErrorDescription(code), entries[code].description) << code;
    }
}
