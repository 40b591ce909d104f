// Pure functions for the texts the log files are made of: dates, file names, lines.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace logformat {

// "%d%m%Y", e.g. 05032008 for 5 March 2008.
std::string formatDate(const struct tm& t);
// "%d-%m-%Y;%H:%M", e.g. 05-03-2008;14:07.
std::string formatTimeDate(const struct tm& t);
// The date text of the calendar day before the local day of `now` (not now - 86400 s:
// on the day after a switch to summer time that would name the day before yesterday).
std::string yesterdayDate(time_t now);

// path + "log" + date + "." + number + ".csv"; path ends with "/".
std::string buildLogFileName(const std::string& path, const std::string& date, long long fileNo);

// Control bytes (0x00-0x1F but TAB, and 0x7F) would let a sender start a forged line or
// drive a reader's terminal, so they are written as "#" and three octal digits:
// "a\nb" -> "a#012b", ESC -> "#033". Every other byte stays as it is.
void appendEscaped(std::string& out, const char* text, size_t length);
std::string escaped(const std::string& text);

// One log line with its CR LF: "stamp;address;text" or, raw, "text".
void appendLine(std::string& out, bool raw, const std::string& stamp, const char* address,
                size_t addressLength, const char* text, size_t textLength);

// The two clock texts of the wall clock's current second, formatted once per second per
// thread (and again whenever the clock reads another second, backwards too).
struct ClockTexts {
    time_t second = -1;
    std::string date;      // formatDate
    std::string timeDate;  // formatTimeDate
};
const ClockTexts& clockTexts(time_t now);

}  // namespace logformat
