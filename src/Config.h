// Start-up values and the configuration file "config.xml".
#pragma once

#include <iosfwd>
#include <map>
#include <string>

// The values of a run, settled from the defaults, then config.xml, then the command line.
struct StartupValues {
    bool output = false;                 // echo every message on standard output
    bool raw = false;                    // log lines hold the bare message text
    int logfilesize = 10 * 1024 * 1024;  // cut size of one log file, bytes
    std::string outputdir = ".";         // root of the log directories
    unsigned short echoServPort = 514;   // UDP port to listen on
    bool configFileUsed = false;         // config.xml could be opened
};

// Applies the text of a configuration file: the settings to `values`, the sender-to-group
// entries to `mymap` (a key already present keeps its first group). Echo lines go to `out`,
// each flushed; complaints about unusable elements go to `err`, one line each.
void applyConfigText(const std::string& text, StartupValues& values,
                     std::map<std::string, std::string>& mymap, std::ostream& out,
                     std::ostream& err);

// Opens `fileName` (mode "r"); when it opens, sets values.configFileUsed, reads it whole and
// applies it as above. Returns whether the file could be opened.
bool readConfigFile(const char* fileName, StartupValues& values,
                    std::map<std::string, std::string>& mymap, std::ostream& out,
                    std::ostream& err);
