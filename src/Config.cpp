#include "Config.h"

#include <tinyxml.h>

#include <cstdio>
#include <ostream>

namespace {

const char* const kPrefix = "brindleaf: config.xml: ";

// An element's text as the parser condensed it, or null. An empty text (an empty CDATA
// section) counts as none: an output_dir of "" would put the log directories at "/".
const char* textOf(const TiXmlElement* element) {
    const char* text = element->GetText();
    return text && *text ? text : nullptr;
}

// atoi's reading (blanks, sign, digits up to the first other character), reduced modulo
// 65536 as it goes, so a long digit run wraps instead of overflowing: "70000" -> 4464.
unsigned short portFromText(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    unsigned value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = (value * 10u + unsigned(*p - '0')) & 0xFFFFu;
    if (negative) value = (0x10000u - value) & 0xFFFFu;
    return static_cast<unsigned short>(value);
}

// Group names become directory names below the output directory; "../x" would leave it.
bool isDirectoryName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool isTrue(const char* text) {
    return text && std::string(text) == "true";
}

void walkGroups(const TiXmlElement* maps, std::map<std::string, std::string>& mymap,
                std::ostream& out, std::ostream& err) {
    int groups = 0;
    for (const TiXmlElement* group = maps ? maps->FirstChildElement("group") : nullptr; group;
         group = group->NextSiblingElement("group")) {
        const char* nameAttr = group->Attribute("name");
        if (!nameAttr) {
            err << kPrefix << "group without a name attribute passed over, with its addresses"
                << std::endl;
            continue;
        }
        const std::string name = nameAttr;
        out << name << std::endl;
        const bool usable = isDirectoryName(name);
        if (!usable) {
            err << kPrefix << "group name \"" << name
                << "\" is not a directory name; its addresses get their own directories"
                << std::endl;
        }
        for (const TiXmlElement* ip = group->FirstChildElement("ip"); ip;
             ip = ip->NextSiblingElement("ip")) {
            const char* address = textOf(ip);
            if (!address) {
                err << kPrefix << "ip without text in group \"" << name << "\" passed over"
                    << std::endl;
                continue;
            }
            if (usable) mymap.emplace(address, name);  // a listed address keeps its first group
            out << address << std::endl;
        }
        ++groups;
    }
    out << groups << std::endl;
}

}  // namespace

void applyConfigText(const std::string& text, StartupValues& values,
                     std::map<std::string, std::string>& mymap, std::ostream& out,
                     std::ostream& err) {
    // The parser sees the text up to its first NUL. In UTF-8 mode it steps over a whole
    // sequence at once, so a text ending in a lead byte ("<a>\xf0") takes it up to three bytes
    // past that NUL: the zeros behind it keep those reads inside the buffer.
    std::string parsed(text.c_str());
    parsed.append(8, '\0');
    TiXmlDocument doc;
    // Parse errors are not examined: what was parsed before the error is used.
    doc.Parse(parsed.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
    // Looked up by element: FirstChild("settings") would also match a comment
    // <!--settings--> and then hide the real element behind it.
    TiXmlHandle handle(&doc);
    TiXmlHandle settings = handle.FirstChildElement("settings");
    const TiXmlElement* screen = settings.FirstChildElement("output_screen").Element();
    const TiXmlElement* raw = settings.FirstChildElement("raw").Element();
    const TiXmlElement* dir = settings.FirstChildElement("output_dir").Element();
    const TiXmlElement* port = settings.FirstChildElement("port").Element();

    if (screen) {
        const char* t = textOf(screen);
        out << (t ? t : "") << std::endl;
        values.output = isTrue(t);
    }
    if (raw) {
        const char* t = textOf(raw);
        out << (t ? t : "") << std::endl;
        values.raw = isTrue(t);
    }
    if (dir) {
        if (const char* t = textOf(dir)) {
            values.outputdir = t;
            out << t << std::endl;
        } else {
            err << kPrefix << "output_dir without text passed over" << std::endl;
        }
    }
    if (port) {
        if (const char* t = textOf(port)) {
            out << t << std::endl;
            values.echoServPort = portFromText(t);
        } else {
            err << kPrefix << "port without text passed over" << std::endl;
        }
    }

    walkGroups(handle.FirstChildElement("maps").Element(), mymap, out, err);
}

bool readConfigFile(const char* fileName, StartupValues& values,
                    std::map<std::string, std::string>& mymap, std::ostream& out,
                    std::ostream& err) {
    FILE* file = std::fopen(fileName, "r");
    if (!file) return false;
    values.configFileUsed = true;
    std::string text;
    char piece[128];
    size_t got;
    // A read error ends the text like the end of the file (a directory opens, then fails).
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) text.append(piece, got);
    std::fclose(file);
    applyConfigText(text, values, mymap, out, err);
    return true;
}
