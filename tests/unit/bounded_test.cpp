// Bounded text operations: results at every size boundary, termination, and
// that nothing outside the buffer is ever written.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "report/report.h"

namespace {

const unsigned char kFill = 0xde;

// A buffer of `size` characters followed by guard bytes, all pre-filled, so a
// test can see both what was written and that nothing past `size` was.
struct Guarded {
    explicit Guarded(size_t size) : size(size), bytes(size + 16, static_cast<char>(kFill)) {}
    char* data() { return &bytes[0]; }
    std::string Text() const { return std::string(bytes.c_str()); }
    bool Untouched(size_t from) const {
        for (size_t i = from; i < bytes.size(); ++i) {
            if (static_cast<unsigned char>(bytes[i]) != kFill) return false;
        }
        return true;
    }
    size_t size;
    std::string bytes;
};

struct SizeCase {
    size_t textLength;
    HRESULT result;
    size_t keptLength;
};

// Buffer of 8 characters: 7 fit with the NUL.
const SizeCase kSizeCases[] = {
    {0, BOUNDED_OK, 0}, {6, BOUNDED_OK, 6}, {7, BOUNDED_OK, 7}, {8, BOUNDED_TRUNCATED, 7}, {9, BOUNDED_TRUNCATED, 7},
    {40, BOUNDED_TRUNCATED, 7},
};

// `length` letters of the alphabet from `first` on, over and over.
std::string Letters(size_t length, char first) {
    std::string text(length, first);
    for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>(first + i % 26);
    return text;
}

TEST(FormatBounded, ResultAndTextAtEachLengthAroundTheSize) {
    for (const SizeCase& c : kSizeCases) {
        SCOPED_TRACE(c.textLength);
        const std::string text = Letters(c.textLength, 'a');
        Guarded buffer(8);
        EXPECT_EQ(c.result, FormatBounded(buffer.data(), 8, "%s", text.c_str()));
        EXPECT_EQ(text.substr(0, c.keptLength), buffer.Text());
        EXPECT_EQ('\0', buffer.bytes[c.keptLength]);
        EXPECT_TRUE(buffer.Untouched(8));
    }
}

TEST(FormatBounded, TruncatesLiteralTextAndNumbersAtTheSameBoundary) {
    Guarded literal(8);
    EXPECT_EQ(BOUNDED_TRUNCATED, FormatBounded(literal.data(), 8, "abcdefgh"));
    EXPECT_EQ("abcdefg", literal.Text());
    EXPECT_TRUE(literal.Untouched(8));

    Guarded number(6);
    EXPECT_EQ(BOUNDED_TRUNCATED, FormatBounded(number.data(), 6, "abc%u", 12345u));
    EXPECT_EQ("abc12", number.Text());
    EXPECT_TRUE(number.Untouched(6));

    Guarded exact(9);
    EXPECT_EQ(BOUNDED_OK, FormatBounded(exact.data(), 9, "abc%X", 0x12345u));
    EXPECT_EQ("abc12345", exact.Text());
}

TEST(FormatBounded, SizeOneHoldsOnlyTheTerminator) {
    Guarded empty(1);
    EXPECT_EQ(BOUNDED_OK, FormatBounded(empty.data(), 1, "%s", ""));
    EXPECT_EQ('\0', empty.bytes[0]);
    Guarded full(1);
    EXPECT_EQ(BOUNDED_TRUNCATED, FormatBounded(full.data(), 1, "x"));
    EXPECT_EQ('\0', full.bytes[0]);
    EXPECT_TRUE(full.Untouched(1));
}

TEST(FormatBounded, InvalidSizesOrNoBufferLeaveTheBufferAlone) {
    const size_t kSizes[] = {0, 2147483648u, 0xFFFFFFFFu};
    for (size_t size : kSizes) {
        SCOPED_TRACE(size);
        Guarded buffer(8);
        EXPECT_EQ(BOUNDED_INVALID, FormatBounded(buffer.data(), size, "abc"));
        EXPECT_EQ(BOUNDED_INVALID, CopyBounded(buffer.data(), size, "abc"));
        EXPECT_TRUE(buffer.Untouched(0));
    }
    EXPECT_EQ(BOUNDED_INVALID, FormatBounded(NULL, 8, "abc"));
    EXPECT_EQ(BOUNDED_INVALID, CopyBounded(NULL, 8, "abc"));
}

TEST(FormatBounded, LargestValidSizeIsAccepted) {
    // Only the text's own characters are written, whatever size is claimed.
    Guarded buffer(8);
    EXPECT_EQ(BOUNDED_OK, FormatBounded(buffer.data(), 2147483647u, "abc"));
    EXPECT_EQ("abc", buffer.Text());
    EXPECT_TRUE(buffer.Untouched(4));
}

TEST(FormatBounded, NumbersMatchTheRuntimeAtIntegerBoundaries) {
    const unsigned kValues[] = {0u,          1u,          9u,          10u,         15u,         16u,
                                255u,        256u,        65535u,      65536u,      0x7FFFFFFFu, 0x80000000u,
                                0x80070057u, 2147942487u, 0xFFFFFFFEu, 0xFFFFFFFFu, 1000000000u, 4000000000u};
    for (unsigned value : kValues) {
        char expected[64];
        snprintf(expected, sizeof expected, "%u|%X", value, value);
        char actual[64];
        EXPECT_EQ(BOUNDED_OK, FormatBounded(actual, sizeof actual, "%u|%X", value, value));
        EXPECT_STREQ(expected, actual) << value;
    }
}

TEST(FormatBounded, ConversionsInUse) {
    struct Case {
        const char* format;
        const char* text;
        unsigned number;
        const char* expected;
    };
    const Case kCases[] = {
        {"System error number: %u (0x%X) \r\n", NULL, 0xFFFFFFFFu, "System error number: 4294967295 (0xFFFFFFFF) \r\n"},
        {"(0x%X)", NULL, 0xabcu, "(0xABC)"},
        {"[%s]", "", 0, "[]"},
        // A '%' inside an argument is text, never a conversion.
        {"[%s]", "100% %s %u %1 %%", 0, "[100% %s %u %1 %%]"},
        {"%%u", NULL, 0, "%u"},
        {"50%", NULL, 0, "50%"},  // a lone '%' at the end stays
    };
    for (const Case& c : kCases) {
        char buffer[128];
        HRESULT result = c.text != NULL ? FormatBounded(buffer, sizeof buffer, c.format, c.text)
                                        : FormatBounded(buffer, sizeof buffer, c.format, c.number, c.number);
        EXPECT_EQ(BOUNDED_OK, result) << c.format;
        EXPECT_STREQ(c.expected, buffer) << c.format;
    }
    char buffer[16];
    const char* volatile none = NULL;  // volatile: hidden from the format check
    EXPECT_EQ(BOUNDED_OK, FormatBounded(buffer, sizeof buffer, "[%s]", none));
    EXPECT_STREQ("[(null)]", buffer);  // as the C runtime's printf shows it
}

TEST(CopyBounded, ResultAndTextAtEachLengthAroundTheSize) {
    for (const SizeCase& c : kSizeCases) {
        SCOPED_TRACE(c.textLength);
        const std::string text = Letters(c.textLength, 'A');
        Guarded buffer(8);
        EXPECT_EQ(c.result, CopyBounded(buffer.data(), 8, text.c_str()));
        EXPECT_EQ(text.substr(0, c.keptLength), buffer.Text());
        EXPECT_TRUE(buffer.Untouched(8));
    }
}

TEST(CopyBounded, CopiesPercentSignsAndSizeOneTerminates) {
    Guarded percent(16);
    EXPECT_EQ(BOUNDED_OK, CopyBounded(percent.data(), 16, "%s%u%1%%"));
    EXPECT_EQ("%s%u%1%%", percent.Text());

    Guarded one(1);
    EXPECT_EQ(BOUNDED_TRUNCATED, CopyBounded(one.data(), 1, "x"));
    EXPECT_EQ('\0', one.bytes[0]);
    EXPECT_TRUE(one.Untouched(1));
}

TEST(CopyBounded, SizeZeroIsInvalidAndLeavesTheBufferAlone) {
    Guarded buffer(8);
    EXPECT_EQ(BOUNDED_INVALID, CopyBounded(buffer.data(), 0, "abc"));
    EXPECT_TRUE(buffer.Untouched(0));
}

}  // namespace
