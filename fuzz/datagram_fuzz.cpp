// Feeds arbitrary bytes as one received datagram through the path to its log line: the text
// the receiver keeps (messageTextLength), then the line in CSV and in raw form (appendLine).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "IncomingList.h"
#include "LogFormat.h"
#include "brindleaf.h"

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "datagram_fuzz: %s\n", what);
    std::abort();
}

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

// The reader's side: "#ddd" back to its byte, everything else as it stands.
std::string unescaped(const std::string& stored) {
    std::string out;
    for (size_t i = 0; i < stored.size(); ++i) {
        if (stored[i] == '#' && i + 3 < stored.size() && isOctal(stored[i + 1]) &&
            isOctal(stored[i + 2]) && isOctal(stored[i + 3])) {
            int value =
                (stored[i + 1] - '0') * 64 + (stored[i + 2] - '0') * 8 + (stored[i + 3] - '0');
            if (value <= 0xff) {
                out += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        out += stored[i];
    }
    return out;
}

// The rules, written out again: the first ECHOMAX bytes, up to the first NUL, less one
// trailing LF or CR LF.
size_t modelLength(const char* datagram, size_t size) {
    std::string kept(datagram, size < static_cast<size_t>(ECHOMAX) ? size : ECHOMAX);
    kept = kept.substr(0, kept.find('\0'));
    if (!kept.empty() && kept.back() == '\n') {
        kept.pop_back();
        if (!kept.empty() && kept.back() == '\r') kept.pop_back();
    }
    return kept.size();
}

// The stored form by the rule: control bytes but TAB as "#" and three octal digits.
std::string modelEscaped(const std::string& text) {
    std::string out;
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            out += '#';
            out += static_cast<char>('0' + (c >> 6));
            out += static_cast<char>('0' + ((c >> 3) & 7));
            out += static_cast<char>('0' + (c & 7));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// One line: exactly one CR LF, at its end; no other control byte but TAB.
void checkLine(const std::string& line) {
    check(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0, "line end");
    for (size_t i = 0; i + 2 < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        check(!((c < 0x20 && c != '\t') || c == 0x7f), "control byte in the line");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* datagram = reinterpret_cast<const char*>(data);
    const size_t length = messageTextLength(datagram, size);
    check(length <= static_cast<size_t>(ECHOMAX) && length <= size, "text longer than the cut");
    check(length == modelLength(datagram, size), "not the text the rules keep");
    if (length == 0) return 0;  // discarded by the dispatcher
    const std::string text(datagram, length);

    static const std::string stamp = "11-12-2026;12:00";
    static const std::string address = "10.0.0.7";
    const std::string before = "previous line\r\n";
    for (bool raw : {false, true}) {
        std::string out = before;
        logformat::appendLine(out, raw, stamp, address.data(), address.size(), datagram, length);
        check(out.compare(0, before.size(), before) == 0, "appending changed what was there");
        const std::string line = out.substr(before.size());
        checkLine(line);
        const std::string prefix = raw ? "" : stamp + ";" + address + ";";
        check(line.compare(0, prefix.size(), prefix) == 0, "stamp and address");
        const std::string stored = line.substr(prefix.size(), line.size() - prefix.size() - 2);
        check(stored == modelEscaped(text), "not the stored form of the text");
        // "#" itself is stored as it is, so a "#ddd" the sender wrote reads back as a control
        // byte ("#001" -> 0x01); every other text reads back exactly.
        if (text.find('#') == std::string::npos) {
            check(unescaped(stored) == text, "the stored text does not read back as the text");
        }
    }
    return 0;
}
