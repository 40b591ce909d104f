// Feeds arbitrary bytes to the configuration reader as the text of config.xml.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "Config.h"

namespace {

// Every group that reaches the map must be usable as one directory below the output
// directory, and an output directory that the file set must not be "" (that would be "/").
void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "config_fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    StartupValues values;
    std::map<std::string, std::string> mymap;
    std::ostringstream out, err;
    applyConfigText(text, values, mymap, out, err);

    check(!values.outputdir.empty(), "empty output directory");
    for (const auto& entry : mymap) {
        const std::string& name = entry.second;
        check(!entry.first.empty(), "empty address in the map");
        check(!name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos,
              "group name that is not a directory name in the map");
    }
    // Each entry was echoed as an address line, so the echo has more lines than the map.
    const std::string echo = out.str();
    size_t lines = 0;
    for (char c : echo) lines += c == '\n';
    check(!echo.empty() && echo.back() == '\n' && lines > mymap.size(), "echo lines");
    return 0;
}
