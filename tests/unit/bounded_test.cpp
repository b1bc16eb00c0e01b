// Bounded text operations: results at every size boundary, termination, and
// that nothing outside the buffer is ever written.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <tuple>

#include "report/report.h"

namespace {

const char kFill = static_cast<char>(0xde);

// A buffer of `size` characters followed by guard bytes, all pre-filled, so a
// test can see both what was written and that nothing past `size` was.
struct Guarded {
    explicit Guarded(size_t size) : bytes(size + 16, kFill) {}
    char* data() { return &bytes[0]; }
    std::string Text() const { return std::string(bytes.c_str()); }
    bool Untouched(size_t from) const { return bytes.find_first_not_of(kFill, from) == std::string::npos; }
    std::string bytes;
};

// `write(buffer, size)` into a guarded buffer of `size` characters: its
// result, the text it left, the terminator right after it, and nothing
// written past that.
template <typename Write>
void ExpectWrite(size_t size, HRESULT result, const std::string& text, Write write) {
    Guarded buffer(size);
    EXPECT_EQ(result, write(buffer.data(), size));
    EXPECT_EQ(text, buffer.Text());
    EXPECT_EQ('\0', buffer.bytes[text.size()]);
    EXPECT_TRUE(buffer.Untouched(text.size() + 1));
}

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
        ExpectWrite(8, c.result, text.substr(0, c.keptLength),
                    [&](char* buffer, size_t size) { return FormatBounded(buffer, size, "%s", text.c_str()); });
    }
}

TEST(FormatBounded, TruncatesLiteralTextAndNumbersAtTheSameBoundary) {
    ExpectWrite(8, BOUNDED_TRUNCATED, "abcdefg", [](char* b, size_t n) { return FormatBounded(b, n, "abcdefgh"); });
    ExpectWrite(6, BOUNDED_TRUNCATED, "abc12", [](char* b, size_t n) { return FormatBounded(b, n, "abc%u", 12345u); });
    ExpectWrite(9, BOUNDED_OK, "abc12345", [](char* b, size_t n) { return FormatBounded(b, n, "abc%X", 0x12345u); });
}

TEST(FormatBounded, SizeOneHoldsOnlyTheTerminator) {
    ExpectWrite(1, BOUNDED_OK, "", [](char* b, size_t n) { return FormatBounded(b, n, "%s", ""); });
    ExpectWrite(1, BOUNDED_TRUNCATED, "", [](char* b, size_t n) { return FormatBounded(b, n, "x"); });
}

TEST(FormatBounded, InvalidSizesOrNoBufferLeaveTheBufferAlone) {
    for (size_t size : {size_t{0}, size_t{2147483648u}, size_t{0xFFFFFFFFu}}) {
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
    ExpectWrite(8, BOUNDED_OK, "abc", [](char* b, size_t) { return FormatBounded(b, 2147483647u, "abc"); });
}

TEST(FormatBounded, NumbersMatchTheRuntimeAtIntegerBoundaries) {
    for (unsigned value : {0u, 1u, 9u, 10u, 15u, 16u, 255u, 256u, 65535u, 65536u, 0x7FFFFFFFu, 0x80000000u, 0x80070057u,
                           2147942487u, 0xFFFFFFFEu, 0xFFFFFFFFu, 1000000000u, 4000000000u}) {
        char expected[64];
        snprintf(expected, sizeof expected, "%u|%X", value, value);
        char actual[64];
        EXPECT_EQ(BOUNDED_OK, FormatBounded(actual, sizeof actual, "%u|%X", value, value));
        EXPECT_STREQ(expected, actual) << value;
    }
}

TEST(FormatBounded, ConversionsInUse) {
    // A format, its text argument (NULL: the number twice instead), the result.
    const std::tuple<const char*, const char*, unsigned, const char*> kCases[] = {
        {"System error number: %u (0x%X) \r\n", NULL, 0xFFFFFFFFu, "System error number: 4294967295 (0xFFFFFFFF) \r\n"},
        {"(0x%X)", NULL, 0xabcu, "(0xABC)"},
        {"[%s]", "", 0, "[]"},
        // A '%' inside an argument is text, never a conversion.
        {"[%s]", "100% %s %u %1 %%", 0, "[100% %s %u %1 %%]"},
        {"%%u", NULL, 0, "%u"},
        {"50%", NULL, 0, "50%"},  // a lone '%' at the end stays
    };
    for (const auto& [format, text, number, expected] : kCases) {
        char buffer[128];
        HRESULT result = text != NULL ? FormatBounded(buffer, sizeof buffer, format, text)
                                      : FormatBounded(buffer, sizeof buffer, format, number, number);
        EXPECT_EQ(BOUNDED_OK, result) << format;
        EXPECT_STREQ(expected, buffer) << format;
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
        ExpectWrite(8, c.result, text.substr(0, c.keptLength),
                    [&](char* buffer, size_t size) { return CopyBounded(buffer, size, text.c_str()); });
    }
}

TEST(CopyBounded, CopiesPercentSignsAndSizeOneTerminates) {
    ExpectWrite(16, BOUNDED_OK, "%s%u%1%%", [](char* b, size_t n) { return CopyBounded(b, n, "%s%u%1%%"); });
    ExpectWrite(1, BOUNDED_TRUNCATED, "", [](char* b, size_t n) { return CopyBounded(b, n, "x"); });
}

TEST(CopyBounded, SizeZeroIsInvalidAndLeavesTheBufferAlone) {
    Guarded buffer(8);
    EXPECT_EQ(BOUNDED_INVALID, CopyBounded(buffer.data(), 0, "abc"));
    EXPECT_TRUE(buffer.Untouched(0));
}

}  // namespace
