#include "LogFormat.h"

#include <cstdint>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <cstdio>
#include <cstring>

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

namespace {
// True when one of the eight bytes of w is below 0x20 or is 0x7f (TAB included: the slow
// path sorts it out).
inline bool mayNeedEscape(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const uint64_t below20 = (w - ones * 0x20) & ~w & highs;
    const uint64_t x = w ^ (ones * 0x7f);
    const uint64_t is7f = (x - ones) & ~x & highs;
    return (below20 | is7f) != 0;
}

// Length of the leading run that needs no escaping.
inline size_t cleanPrefix(const unsigned char* p, size_t length) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128i limit = _mm_set1_epi8(0x1f);
    const __m128i del = _mm_set1_epi8(0x7f);
    for (; i + 16 <= length; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        // v <= 0x1f (unsigned) or v == 0x7f
        const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, limit), v);
        const int mask = _mm_movemask_epi8(_mm_or_si128(low, _mm_cmpeq_epi8(v, del)));
        if (mask != 0) {
            i += static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
            break;
        }
    }
#endif
    for (; i + 8 <= length; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (mayNeedEscape(w)) break;
    }
    while (i < length && !kEscape.escape[p[i]]) ++i;
    return i;
}
}  // namespace

void appendEscaped(std::string& out, const char* text, size_t length) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < length) {
        const size_t run = cleanPrefix(p + i, length - i);
        out.append(text + i, run);
        i += run;
        if (i == length) break;
        const unsigned char c = p[i++];
        const char code[4] = {'#', static_cast<char>('0' + (c >> 6)),
                              static_cast<char>('0' + ((c >> 3) & 7)),
                              static_cast<char>('0' + (c & 7))};
        out.append(code, 4);
    }
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
        // "05-03-2008;14:07;192.168.0.5;" in one append.
        char prefix[96];
        if (stamp.size() + addressLength + 2 <= sizeof prefix) {
            std::memcpy(prefix, stamp.data(), stamp.size());
            prefix[stamp.size()] = ';';
            std::memcpy(prefix + stamp.size() + 1, address, addressLength);
            prefix[stamp.size() + 1 + addressLength] = ';';
            out.append(prefix, stamp.size() + addressLength + 2);
        } else {
            out += stamp;
            out += ';';
            out.append(address, addressLength);
            out += ';';
        }
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
