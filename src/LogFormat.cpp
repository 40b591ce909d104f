#include "LogFormat.h"

#include <cstdio>

#include "platform.h"

namespace logformat {

namespace {
std::string format(const struct tm& t, const char* pattern) {
    char buf[80];
    size_t n = std::strftime(buf, sizeof buf, pattern, &t);
    return std::string(buf, n);
}

struct EscapeTable {
    bool escape[256];
    EscapeTable() {
        for (int c = 0; c < 256; ++c) escape[c] = (c < 0x20 && c != '\t') || c == 0x7f;
    }
};
const EscapeTable kEscape;
}  // namespace

std::string formatDate(const struct tm& t) {
    return format(t, "%d%m%Y");
}
std::string formatTimeDate(const struct tm& t) {
    return format(t, "%d-%m-%Y;%H:%M");
}

std::string yesterdayDate(time_t now) {
    struct tm day = platform::localTime(now);
    // Noon of the day before; mktime normalises day 0 into the previous month.
    day.tm_mday -= 1;
    day.tm_hour = 12;
    day.tm_min = 0;
    day.tm_sec = 0;
    day.tm_isdst = -1;
    time_t noon = mktime(&day);
    return formatDate(platform::localTime(noon));
}

std::string buildLogFileName(const std::string& path, const std::string& date, long long fileNo) {
    std::string name;
    name.reserve(path.size() + date.size() + 24);
    name += path;
    name += "log";
    name += date;
    name += '.';
    name += std::to_string(fileNo);
    name += ".csv";
    return name;
}

void appendEscaped(std::string& out, const char* text, size_t length) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    size_t runStart = 0;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = p[i];
        if (!kEscape.escape[c]) continue;
        out.append(text + runStart, i - runStart);
        char code[4] = {'#', static_cast<char>('0' + (c >> 6)),
                        static_cast<char>('0' + ((c >> 3) & 7)), static_cast<char>('0' + (c & 7))};
        out.append(code, 4);
        runStart = i + 1;
    }
    out.append(text + runStart, length - runStart);
}

std::string escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    appendEscaped(out, text.data(), text.size());
    return out;
}

void appendLine(std::string& out, bool raw, const std::string& stamp, const char* address,
                size_t addressLength, const char* text, size_t textLength) {
    if (!raw) {
        out += stamp;
        out += ';';
        out.append(address, addressLength);
        out += ';';
    }
    appendEscaped(out, text, textLength);
    out += "\r\n";
}

const ClockTexts& clockTexts(time_t now) {
    thread_local ClockTexts texts;
    if (texts.second != now) {
        struct tm t = platform::localTime(now);
        texts.date = formatDate(t);
        texts.timeDate = formatTimeDate(t);
        texts.second = now;
    }
    return texts;
}

}  // namespace logformat
