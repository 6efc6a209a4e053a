#include "platform/TextCodec.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#include "common/TestMedia.h"

// Names travel as UTF-8 and live in the local code page; a round trip must
// keep every character the local code page can hold.
TEST(TextCodec, RoundTripsInUtf8Locale) {
    std::setlocale(LC_ALL, "C.UTF-8");
    const std::string name = "Pjesma \xC5\xA1\xC4\x8D.mp4"; // "šč"
    EXPECT_EQ(Utf8ToAnsi(name), name);
    EXPECT_EQ(AnsiToUtf8(name), name);
}

TEST(TextCodec, ConvertsToAndFromLatin1Locale) {
    if (!UseLatin1Locale())
        GTEST_SKIP() << "no Latin-1 locale, and localedef could not make one";
    const std::string utf8 = "caf\xC3\xA9";   // "café" in UTF-8
    const std::string latin1 = "caf\xE9";      // the same in Latin-1
    EXPECT_EQ(Utf8ToAnsi(utf8), latin1);
    EXPECT_EQ(AnsiToUtf8(latin1), utf8);
    // Invalid UTF-8 is kept as it came, never emptied.
    EXPECT_EQ(Utf8ToAnsi("\xFF\xFE"), "\xFF\xFE");
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
}
