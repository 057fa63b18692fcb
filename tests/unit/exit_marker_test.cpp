// The exit-code marker parser: what a chunk of child output announces.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "service/exit_marker.h"

namespace {

// The code text runs from the first to the last BEL of the chunk; it is "999"
// when there is none or when it does not fit the buffer, and it is normal
// when it converts to 0.
TEST(ExitMarker, TheCodeTextBetweenTheFirstAndLastBelDecides)
{
    const struct {
        std::string chunk;
        size_t size;
        int normal;
        const char* text;
    } rows[] = {
        {"abc\a0\a\r\n", EXIT_CODE_TEXT_SIZE, 1, "0"},
        {"\a14\a", EXIT_CODE_TEXT_SIZE, 0, "14"},
        {"started\n\a3\a", EXIT_CODE_TEXT_SIZE, 0, "3"},
        {"plain output\n", EXIT_CODE_TEXT_SIZE, 0, "999"},
        {"\b", EXIT_CODE_TEXT_SIZE, 0, "999"},   // the start marker alone
        {"\a\a", EXIT_CODE_TEXT_SIZE, 0, "999"},
        // A chunk that ends with the first BEL: the code is in the next chunk.
        {"output\a", EXIT_CODE_TEXT_SIZE, 0, "999"},
        {"\a0", EXIT_CODE_TEXT_SIZE, 0, "999"},
        // Nine characters fit the supervisor's buffer, ten do not; the limit
        // follows the size given.
        {"\a000000000\a", EXIT_CODE_TEXT_SIZE, 1, "000000000"},
        {"\a0000000000\a", EXIT_CODE_TEXT_SIZE, 0, "999"},
        {"\a123\a", 4, 0, "123"},
        {"\a1234\a", 4, 0, "999"},
        // The conversion skips blanks, reads a sign, and takes text without
        // digits as 0.
        {"\a 7\a", EXIT_CODE_TEXT_SIZE, 0, " 7"},
        {"\ax\a", EXIT_CODE_TEXT_SIZE, 1, "x"},
        {"\a+0\a", EXIT_CODE_TEXT_SIZE, 1, "+0"},
        {"\a-0\a", EXIT_CODE_TEXT_SIZE, 1, "-0"},
        {"\a-3\a", EXIT_CODE_TEXT_SIZE, 0, "-3"},
        {"\a3\a\a", EXIT_CODE_TEXT_SIZE, 0, "3\a"},
        {"\a0\ajunk\a", EXIT_CODE_TEXT_SIZE, 1, "0\ajunk"},
        // Bytes after a NUL are not seen.
        {std::string("out\0\a5\a", 8), EXIT_CODE_TEXT_SIZE, 0, "999"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.chunk) + " into " + std::to_string(row.size));
        // The buffer starts dirty, so a parser that forgets to write it is caught.
        char buffer[EXIT_CODE_TEXT_SIZE + 6];
        memset(buffer, 'Z', sizeof buffer);
        buffer[sizeof buffer - 1] = '\0';
        EXPECT_EQ(row.normal, ParseExitCodeMarker(row.chunk.c_str(), buffer, row.size));
        EXPECT_STREQ(row.text, buffer);
    }
}

TEST(ExitMarker, ExitCodeValueIsDecimalWithBlanksAndSign)
{
    EXPECT_EQ(7, ExitCodeValue(" 7"));
    EXPECT_EQ(-3, ExitCodeValue("-3"));
    EXPECT_EQ(14, ExitCodeValue("14\r"));
    EXPECT_EQ(0, ExitCodeValue("x"));
}

}  // namespace
