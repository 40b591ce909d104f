#include "LogFormat.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "TestUtil.h"

namespace {

struct tm calendar(int year, int month, int day, int hour, int minute) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    return t;
}

TEST(LogFormat, DateTexts) {
    struct Case {
        struct tm when;
        const char* date;
        const char* timeDate;
    } cases[] = {
        {calendar(2008, 3, 5, 14, 7), "05032008", "05-03-2008;14:07"},
        {calendar(2008, 12, 9, 18, 27), "09122008", "09-12-2008;18:27"},
        {calendar(1999, 1, 31, 0, 0), "31011999", "31-01-1999;00:00"},
        {calendar(2026, 10, 1, 23, 59), "01102026", "01-10-2026;23:59"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(logformat::formatDate(c.when), c.date);
        EXPECT_EQ(logformat::formatTimeDate(c.when), c.timeDate);
    }
}

TEST(LogFormat, FileNames) {
    EXPECT_EQ(logformat::buildLogFileName("./192.168.0.5/", "05032008", 2),
              "./192.168.0.5/log05032008.2.csv");
    EXPECT_EQ(logformat::buildLogFileName("logs/routers/", "31121999", 0),
              "logs/routers/log31121999.0.csv");
    // No four-digit limit on the number.
    EXPECT_EQ(logformat::buildLogFileName("d/", "01012020", 123456), "d/log01012020.123456.csv");
}

TEST(LogFormat, Lines) {
    struct Case {
        bool raw;
        std::string text;
        std::string line;
    } cases[] = {
        {false, "kernel: eth0 link up", "05-03-2008;14:07;192.168.0.5;kernel: eth0 link up\r\n"},
        {true, "kernel: eth0 link up", "kernel: eth0 link up\r\n"},
        {false, "", "05-03-2008;14:07;192.168.0.5;\r\n"},
        {true, "", "\r\n"},
        {false, "a;b;c", "05-03-2008;14:07;192.168.0.5;a;b;c\r\n"},
        // A sender cannot start a line of its own, nor reach a reader's terminal.
        {false, "x\r\n05-03-2008;14:07;10.0.0.7;forged",
         "05-03-2008;14:07;192.168.0.5;x#015#01205-03-2008;14:07;10.0.0.7;forged\r\n"},
        {true, "\x1b[2Jcls\x7f", "#033[2Jcls#177\r\n"},
        {true, "tab\tstays", "tab\tstays\r\n"},
        {true, "\x01\x1f", "#001#037\r\n"},
        {true, "caf\xc3\xa9 \xff\x80", "caf\xc3\xa9 \xff\x80\r\n"},
        {true, std::string("nul\0in", 6), "nul#000in\r\n"},
    };
    for (const Case& c : cases) {
        std::string out;
        logformat::appendLine(out, c.raw, "05-03-2008;14:07", "192.168.0.5", 11, c.text.data(),
                              c.text.size());
        EXPECT_EQ(out, c.line) << c.text;
    }
}

TEST(LogFormat, EscapesEveryControlByteAsThreeOctalDigits) {
    for (int c = 1; c < 256; ++c) {
        std::string text(1, static_cast<char>(c));
        std::string out = logformat::escaped(text);
        bool control = (c < 0x20 && c != '\t') || c == 0x7f;
        if (control) {
            char expected[8];
            std::snprintf(expected, sizeof expected, "#%03o", c);
            EXPECT_EQ(out, expected) << c;
        } else {
            EXPECT_EQ(out, text) << c;
        }
    }
}

TEST(LogFormat, EscapesAtEveryPositionOfALongText) {
    // Long texts are scanned many bytes at a time: a control byte must be found wherever it
    // stands, also next to bytes that only look alike (0x20, 0x7e, 0x80, 0xff).
    const unsigned char controls[] = {0x00, 0x01, 0x0a, 0x0d, 0x1b, 0x1f, 0x7f};
    const unsigned char neighbours[] = {'a', 0x20, 0x7e, 0x80, 0xff, '\t'};
    for (unsigned char filler : neighbours) {
        for (unsigned char c : controls) {
            for (size_t at = 0; at < 50; ++at) {
                std::string text(50, static_cast<char>(filler));
                text[at] = static_cast<char>(c);
                char code[8];
                std::snprintf(code, sizeof code, "#%03o", c);
                std::string expected = text.substr(0, at) + code + text.substr(at + 1);
                ASSERT_EQ(logformat::escaped(text), expected) << int(c) << " at " << at;
            }
        }
        const std::string clean(70, static_cast<char>(filler));
        EXPECT_EQ(logformat::escaped(clean), clean);
    }
}

TEST(LogFormat, YesterdayIsTheCalendarDayBefore) {
    const char* savedTz = std::getenv("TZ");
    std::string saved = savedTz ? savedTz : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    struct Case {
        int y, m, d, h, min;
        const char* yesterday;
    } cases[] = {
        {2008, 3, 5, 14, 7, "04032008"},
        {2008, 3, 1, 0, 0, "29022008"},  // leap year
        {2009, 1, 1, 0, 30, "31122008"},
        // The day after the switch to summer time has 23 hours behind it at 00:30:
        // now - 86400 s would name 29 March.
        {2008, 3, 31, 0, 30, "30032008"},
        // The day after the switch back has 25 hours.
        {2008, 10, 27, 23, 30, "26102008"},
    };
    for (const Case& c : cases) {
        time_t t = testutil::localTimeOf(c.y, c.m, c.d, c.h, c.min);
        EXPECT_EQ(logformat::yesterdayDate(t), c.yesterday) << c.d << "." << c.m << "." << c.y;
    }
    if (savedTz) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(LogFormat, ClockTextsFollowTheClockBothWays) {
    time_t a = testutil::localTimeOf(2008, 3, 5, 14, 7, 30);
    EXPECT_EQ(logformat::clockTexts(a).timeDate, "05-03-2008;14:07");
    EXPECT_EQ(logformat::clockTexts(a + 60).timeDate, "05-03-2008;14:08");
    EXPECT_EQ(logformat::clockTexts(a - 86400).date, "04032008");
}

}  // namespace
