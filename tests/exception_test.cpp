#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>

#include "errors/KavexException.h"

namespace kavex {
namespace {

TEST(KavexExceptionTest, ConstructorStoresFieldsAndCopiesAreIndependent) {
    IOException original("FileReader", 212, kErrorCodeRead, "End of file encountered.");
    IOException copy = original;
    copy.SetFile("ConfigManager");
    copy.SetLine(7);
    copy.SetMessage(copy.GetMessage() + " Config file reading problem occurred.");

    EXPECT_EQ(original.GetFile(), "FileReader");
    EXPECT_EQ(original.GetLine(), 212);
    EXPECT_EQ(original.GetCode(), 0x11);
    EXPECT_EQ(original.GetMessage(), "End of file encountered.");
    EXPECT_EQ(copy.GetCode(), 0x11);
    EXPECT_EQ(copy.GetMessage(), "End of file encountered. Config file reading problem occurred.");
}

TEST(KavexExceptionTest, FullMessageFormats) {
    struct Case {
        std::string file;
        int32_t line;
        int32_t code;
        std::string message;
        std::string expected;
    };
    const Case cases[] = {
        {"FileReader", 212, 17, "End of file encountered.",
         "Error Code (0x11) in FileReader (212): End of file encountered."},
        {"FileReader", 5, 16, "m", "Error Code (0x10) in FileReader (5): m"},
        {"f", 1, -1, "m", "Error Code (0xffffffff) in f (1): m"},
        {"f", 1, 0, "m", "Error Code (0x0) in f (1): m"},
        {"f", 1, 0xABCDEF, "m", "Error Code (0xabcdef) in f (1): m"},
        {"f", -42, 1, "m", "Error Code (0x1) in f (-42): m"},
        {"f", INT32_MIN, INT32_MIN, "m", "Error Code (0x80000000) in f (-2147483648): m"},
        {"", 0, 16, "", "Error Code (0x10) in  (0): "},
    };
    for (const Case& c : cases) {
        KavexException e(c.file, c.line, c.code, c.message);
        EXPECT_EQ(e.GetFullMessage(), c.expected);
    }
}

TEST(KavexExceptionTest, KavexHandlerCatchesIOException) {
    bool caught = false;
    try {
        throw IOException("FileReader", 1, kErrorCodeOpen, "Invalid file name specified.");
    } catch (const KavexException& e) {
        caught = true;
        EXPECT_EQ(e.GetCode(), kErrorCodeOpen);
    }
    EXPECT_TRUE(caught);
}

TEST(KavexExceptionTest, StandardExceptionHandlerDoesNotCatch) {
    bool caughtByStd = false;
    bool caughtByKavex = false;
    try {
        try {
            throw IOException("FileReader", 1, kErrorCodeOpen, "x");
        } catch (const std::exception&) {
            caughtByStd = true;
        }
    } catch (const IOException&) {
        caughtByKavex = true;
    }
    EXPECT_FALSE(caughtByStd);
    EXPECT_TRUE(caughtByKavex);
}

}  // namespace
}  // namespace kavex
