// The exit-code marker parser: what a chunk of child output announces.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "service/exit_marker.h"

namespace {

struct Parsed {
    int normal;
    std::string text;
};

// Parses with the supervisor's buffer size, into a buffer that starts dirty so
// that a parser which forgets to write it is caught.
Parsed Parse(const std::string& chunk, size_t size = EXIT_CODE_TEXT_SIZE)
{
    char buffer[EXIT_CODE_TEXT_SIZE + 6];
    memset(buffer, 'Z', sizeof buffer);
    buffer[sizeof buffer - 1] = '\0';
    int normal = ParseExitCodeMarker(chunk.c_str(), buffer, size);
    return Parsed{normal, buffer};
}

TEST(ExitMarker, CodeZeroAmidOrdinaryOutputIsNormal)
{
    Parsed p = Parse("abc\a0\a\r\n");
    EXPECT_EQ(1, p.normal);
    EXPECT_EQ("0", p.text);
}

TEST(ExitMarker, NonZeroCodesAreAbnormalWithTheirText)
{
    Parsed p = Parse("\a14\a");
    EXPECT_EQ(0, p.normal);
    EXPECT_EQ("14", p.text);
    p = Parse("started\n\a3\a");
    EXPECT_EQ(0, p.normal);
    EXPECT_EQ("3", p.text);
}

TEST(ExitMarker, ChunkWithoutBelIsAbnormalAndReads999)
{
    Parsed p = Parse("plain output\n");
    EXPECT_EQ(0, p.normal);
    EXPECT_EQ("999", p.text);
}

TEST(ExitMarker, EmptyOrSingleBelMarkersRead999)
{
    Parsed p = Parse("\a\a");
    EXPECT_EQ(0, p.normal);
    EXPECT_EQ("999", p.text);
    // A chunk that ends with the first BEL: the code is in the next chunk.
    p = Parse("output\a");
    EXPECT_EQ(0, p.normal);
    EXPECT_EQ("999", p.text);
    p = Parse("\a0");
    EXPECT_EQ(0, p.normal);
    EXPECT_EQ("999", p.text);
}

TEST(ExitMarker, NineCharactersFitTenDoNot)
{
    Parsed p = Parse("\a000000000\a");
    EXPECT_EQ(1, p.normal);
    EXPECT_EQ("000000000", p.text);
    p = Parse("\a0000000000\a");
    EXPECT_EQ(0, p.normal);
    EXPECT_EQ("999", p.text);
}

TEST(ExitMarker, TheLimitFollowsTheGivenBufferSize)
{
    Parsed p = Parse("\a1234\a", 4);
    EXPECT_EQ("999", p.text);
    p = Parse("\a123\a", 4);
    EXPECT_EQ("123", p.text);
}

TEST(ExitMarker, ConversionSkipsBlanksAndReadsSigns)
{
    Parsed p = Parse("\a 7\a");
    EXPECT_EQ(0, p.normal);
    EXPECT_EQ(" 7", p.text);
    EXPECT_EQ(7, ExitCodeValue(p.text.c_str()));

    p = Parse("\ax\a");
    EXPECT_EQ(1, p.normal) << "text without digits converts to 0";
    EXPECT_EQ("x", p.text);

    EXPECT_EQ(1, Parse("\a+0\a").normal);
    EXPECT_EQ(1, Parse("\a-0\a").normal);
    EXPECT_EQ(0, Parse("\a-3\a").normal);
    EXPECT_EQ(-3, ExitCodeValue("-3"));
    EXPECT_EQ(14, ExitCodeValue("14\r"));
}

TEST(ExitMarker, CodeTextRunsToTheLastBel)
{
    Parsed p = Parse("\a3\a\a");
    EXPECT_EQ(0, p.normal);
    EXPECT_EQ("3\a", p.text);
    p = Parse("\a0\ajunk\a");
    EXPECT_EQ(1, p.normal);
    EXPECT_EQ("0\ajunk", p.text);
}

TEST(ExitMarker, BytesAfterANulAreNotSeen)
{
    std::string chunk("out\0\a5\a", 8);
    char buffer[EXIT_CODE_TEXT_SIZE];
    EXPECT_EQ(0, ParseExitCodeMarker(chunk.data(), buffer, sizeof buffer));
    EXPECT_STREQ("999", buffer);
}

TEST(ExitMarker, StartMarkerAloneIsNoExitCode)
{
    Parsed p = Parse("\b");
    EXPECT_EQ(0, p.normal);
    EXPECT_EQ("999", p.text);
}

}  // namespace
