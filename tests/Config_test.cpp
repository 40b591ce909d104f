#include "Config.h"

#include <sys/stat.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestUtil.h"

namespace {

using Map = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

const char* const kExample = R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- settings first, then the sender groups -->
<settings>
    <output_screen>true</output_screen>
    <raw>false</raw>
    <output_dir>/srv/syslog</output_dir>
    <port>514</port>
</settings>
<maps>
    <group name="routers">
        <ip>192.0.2.10</ip>
        <ip>192.0.2.11</ip>
    </group>
    <group name="servers">
        <ip>198.51.100.7</ip>
    </group>
</maps>
)";

const Lines kExampleEcho = {"true",       "false",      "/srv/syslog", "514",          "routers",
                            "192.0.2.10", "192.0.2.11", "servers",     "198.51.100.7", "2"};
const Map kExampleMap = {
    {"192.0.2.10", "routers"}, {"192.0.2.11", "routers"}, {"198.51.100.7", "servers"}};

Lines linesOf(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Start values that differ from every value a case sets, so "unchanged" shows.
StartupValues startValues(bool flags) {
    StartupValues v;
    v.output = flags;
    v.raw = flags;
    v.outputdir = "start";
    v.echoServPort = 1111;
    return v;
}

struct Applied {
    StartupValues values;
    Map mymap;
    std::string out, err;
};

Applied applyText(const std::string& text, bool startFlags) {
    Applied a;
    a.values = startValues(startFlags);
    std::ostringstream out, err;
    applyConfigText(text, a.values, a.mymap, out, err);
    a.out = out.str();
    a.err = err.str();
    return a;
}

std::string settings(const std::string& inner) {
    return "<settings>" + inner + "</settings>";
}

// The values and map after a text applied, in one line: "on off <dir> <port> [ip>group ...]".
std::string state(const Applied& a) {
    std::string s = std::string(a.values.output ? "on" : "off") +
                    (a.values.raw ? " on " : " off ") + a.values.outputdir + " " +
                    std::to_string(a.values.echoServPort);
    for (const auto& [ip, group] : a.mymap) s += " " + ip + ">" + group;
    return s;
}

struct Case {
    const char* what;
    std::string text;
    bool startOn;  // output and raw before the text applies; outputdir "start", port 1111
    Lines echo;
    std::string state;
    std::string err = "";
};

const std::string kComplaint = "brindleaf: config.xml: ";

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"example file", kExample, false, kExampleEcho,
         "on off /srv/syslog 514 192.0.2.10>routers 192.0.2.11>routers 198.51.100.7>servers"},

        // output_screen and raw: exactly "true" switches on, anything else off.
        {"TRUE",
         settings("<output_screen>TRUE</output_screen>"),
         true,
         {"TRUE", "0"},
         "off on start 1111"},
        {"True",
         settings("<output_screen>True</output_screen>"),
         true,
         {"True", "0"},
         "off on start 1111"},
        {"yes",
         settings("<output_screen>yes</output_screen>"),
         true,
         {"yes", "0"},
         "off on start 1111"},
        {"1", settings("<output_screen>1</output_screen>"), true, {"1", "0"}, "off on start 1111"},
        {"blanks and line breaks around true",
         settings("<output_screen>\n   true \r\n\t</output_screen><raw>  true\n</raw>"),
         false,
         {"true", "true", "0"},
         "on on start 1111"},
        {"flags without text switch off, echo an empty line",
         settings("<output_screen/><raw>  \n  </raw>"),
         true,
         {"", "", "0"},
         "off off start 1111"},
        {"text is the first child only",
         settings("<output_screen><!--c-->true</output_screen>"),
         true,
         {"", "0"},
         "off on start 1111"},

        // output_dir and port.
        {"any order, others passed over, left-out ones unchanged",
         settings("<port>80</port><other>x</other><output_dir>d</output_dir>"),
         true,
         {"d", "80", "0"},
         "on on d 80"},
        {"first output_dir counts",
         settings("<output_dir>one</output_dir><output_dir>two</output_dir>"),
         false,
         {"one", "0"},
         "off off one 1111"},
        {"text condensed, entities decoded",
         settings("<output_dir>  my \n\t logs &amp; more  </output_dir>"),
         false,
         {"my logs & more", "0"},
         "off off my logs & more 1111"},
        {"port 65536", settings("<port>65536</port>"), false, {"65536", "0"}, "off off start 0"},
        {"port abc", settings("<port>abc</port>"), false, {"abc", "0"}, "off off start 0"},
        {"port 514abc",
         settings("<port>514abc</port>"),
         false,
         {"514abc", "0"},
         "off off start 514"},
        {"port 70000", settings("<port>70000</port>"), false, {"70000", "0"}, "off off start 4464"},
        {"port -1", settings("<port>-1</port>"), false, {"-1", "0"}, "off off start 65535"},
        {"port with blanks and sign",
         settings("<port><![CDATA[ +80 ]]></port>"),
         false,
         {" +80 ", "0"},
         "off off start 80"},
        {"port longer than any integer",
         settings("<port>99999999999999999999</port>"),
         false,
         {"99999999999999999999", "0"},
         "off off start 65535"},

        // Groups.
        {"same address twice: the first group keeps it",
         "<maps><group name=\"a\"><ip>10.0.0.7</ip><ip>10.0.0.7</ip></group>"
         "<group name=\"b\"><ip>10.0.0.7</ip><ip>10.0.0.8</ip></group></maps>",
         false,
         {"a", "10.0.0.7", "10.0.0.7", "b", "10.0.0.7", "10.0.0.8", "2"},
         "off off start 1111 10.0.0.7>a 10.0.0.8>b"},
        {"group without ip is counted",
         "<maps><group name=\"empty\"/></maps>",
         false,
         {"empty", "1"},
         "off off start 1111"},
        {"group and ip elsewhere have no effect",
         "<group name=\"top\"><ip>10.0.0.1</ip></group><settings><group name=\"s\"/></settings>"
         "<maps><x><group name=\"deep\"><ip>10.0.0.2</ip></group></x>"
         "<group name=\"g\"><x><ip>10.0.0.3</ip></x><ip>10.0.0.4</ip></group></maps>",
         false,
         {"g", "10.0.0.4", "1"},
         "off off start 1111 10.0.0.4>g"},

        // The document as a whole.
        {"one enclosing root: nothing",
         "<config>" + std::string(kExample) + "</config>",
         true,
         {"0"},
         "on on start 1111"},
        {"only the first settings and maps elements; comments passed over",
         "<!--settings--><settings><port>1</port></settings><settings><port>2</port></settings>"
         "<!--maps--><maps><group name=\"a\"/></maps><maps><group name=\"b\"/></maps>",
         false,
         {"1", "a", "1"},
         "off off start 1"},
        {"stray text named like an element is passed over",
         settings("port<port>80</port>"),
         false,
         {"80", "0"},
         "off off start 80"},
        {"error part-way: what came before is used",
         "<settings><port>80</port></settings><maps><group name=\"a\"><ip>10.0.0.1</ip></group>"
         "<group name=\"b\"><ip>10.0.0.2</ip></grp></maps>",
         false,
         {"80", "a", "10.0.0.1", "b", "10.0.0.2", "2"},
         "off off start 80 10.0.0.1>a 10.0.0.2>b"},
        {"empty text", "", true, {"0"}, "on on start 1111"},
        {"not XML", "port=80\ngroup a: 10.0.0.1\n", true, {"0"}, "on on start 1111"},
        {"UTF-8 byte-order mark",
         "\xEF\xBB\xBF" + settings("<output_dir>d\xC3\xA9</output_dir>"),
         false,
         {"d\xC3\xA9", "0"},
         "off off d\xC3\xA9 1111"},

        // Elements without the text they need: passed over, one complaint each.
        {"output_dir and port without text",
         settings("<output_dir/><port>  </port><output_dir>late</output_dir>"),
         false,
         {"0"},
         "off off start 1111",
         kComplaint + "output_dir without text passed over\n" + kComplaint +
             "port without text passed over\n"},
        {"output_dir as an empty CDATA section (would mean the root)",
         settings("<output_dir><![CDATA[]]></output_dir>"),
         false,
         {"0"},
         "off off start 1111",
         kComplaint + "output_dir without text passed over\n"},
        {"ip without text",
         "<maps><group name=\"a\"><ip/><ip>10.0.0.1</ip><ip> </ip></group></maps>",
         false,
         {"a", "10.0.0.1", "1"},
         "off off start 1111 10.0.0.1>a",
         kComplaint + "ip without text in group \"a\" passed over\n" + kComplaint +
             "ip without text in group \"a\" passed over\n"},
        {"group without name: not echoed, not counted, no entries",
         "<maps><group><ip>10.0.0.1</ip></group><group name=\"b\"><ip>10.0.0.1</ip></group></maps>",
         false,
         {"b", "10.0.0.1", "1"},
         "off off start 1111 10.0.0.1>b",
         kComplaint + "group without a name attribute passed over, with its addresses\n"},
    };
    return all;
}

TEST(ConfigText, EchoLinesValuesAndComplaints) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.what);
        Applied a = applyText(c.text, c.startOn);
        EXPECT_EQ(linesOf(a.out), c.echo);
        EXPECT_EQ(a.out.back(), '\n');
        EXPECT_EQ(state(a), c.state);
        EXPECT_EQ(a.err, c.err);
        EXPECT_FALSE(a.values.configFileUsed);
        EXPECT_EQ(a.values.logfilesize, 10 * 1024 * 1024);
    }
}

// A name that is not one path component would put a directory outside the output
// directory; the group is echoed and counted, its addresses map to nothing.
TEST(ConfigText, GroupNamesThatAreNoDirectoryNameAreRefused) {
    for (const std::string name : {"", ".", "..", "../x", "a/b", "/abs", "x/"}) {
        SCOPED_TRACE("name \"" + name + "\"");
        Applied a = applyText("<maps><group name=\"" + name +
                                  "\"><ip>10.0.0.1</ip><ip>10.0.0.2</ip></group>"
                                  "<group name=\"ok\"><ip>10.0.0.2</ip></group></maps>",
                              false);
        EXPECT_EQ(linesOf(a.out), (Lines{name, "10.0.0.1", "10.0.0.2", "ok", "10.0.0.2", "2"}));
        // The refused group took nothing, so a later group may list its address.
        EXPECT_EQ(a.mymap, (Map{{"10.0.0.2", "ok"}}));
        EXPECT_EQ(a.err, "brindleaf: config.xml: group name \"" + name +
                             "\" is not a directory name; its addresses get their own "
                             "directories\n");
    }
    // Names that only look odd are single components and stay usable.
    Applied a = applyText(
        "<maps><group name=\"...\"><ip>1</ip></group><group name=\".hidden\"><ip>2</ip>"
        "</group><group name=\"a b\\c\"><ip>3</ip></group></maps>",
        false);
    EXPECT_EQ(a.mymap, (Map{{"1", "..."}, {"2", ".hidden"}, {"3", "a b\\c"}}));
    EXPECT_EQ(a.err, "");
}

// In UTF-8 mode the parser steps over a whole multi-byte sequence at once. A lead byte
// just before the NUL that ends the text must not carry it across: what follows is not
// parsed (at the end of a buffer it would be a read out of bounds). Past the NUL lie a port 9
// and an address 10.0.0.9 that must not be seen.
TEST(ConfigText, Utf8LeadByteBeforeTheNulDoesNotCarryTheParserPastIt) {
    const std::string decl = "<?xml version=\"1.0\"?>";
    const std::string nul(1, '\0');
    for (const std::string& text : {
             decl + "<settings><output_dir>\xf0" + nul + "ab</output_dir><port>9</port></settings>",
             "\xEF\xBB\xBF<settings><port>7</port><raw>\xe3" + nul + "a</raw><port>9</port>",
             decl + "<maps><group name=\"s\xe3" + nul + "x\"><ip>10.0.0.9</ip></group></maps>",
             decl + "<maps><group name=\"s\"><ip>1\xf4" + nul + "ab</ip><ip>10.0.0.9</ip></group>",
         }) {
        SCOPED_TRACE(text);
        Applied a = applyText(text, false);
        EXPECT_NE(a.values.echoServPort, 9);
        EXPECT_EQ(a.mymap.count("10.0.0.9"), 0u);
        EXPECT_EQ(a.out.find("10.0.0.9"), std::string::npos);
    }
}

class ConfigFile : public testutil::TempDirTest {
  protected:
    Applied read(const std::string& path, bool* opened) {
        Applied a;
        std::ostringstream out, err;
        *opened = readConfigFile(path.c_str(), a.values, a.mymap, out, err);
        a.out = out.str();
        a.err = err.str();
        return a;
    }
};

TEST_F(ConfigFile, ExampleFileIsReadWhole) {
    // Longer than one 128-byte piece, so the pieces must join exactly.
    std::string text = kExample;
    text.insert(text.find("<maps>"), "<!--" + std::string(300, 'x') + "-->\n");
    testutil::writeFile(dir.file("config.xml"), text);
    bool opened = false;
    Applied a = read(dir.file("config.xml"), &opened);
    EXPECT_TRUE(opened);
    EXPECT_TRUE(a.values.configFileUsed);
    EXPECT_EQ(linesOf(a.out), kExampleEcho);
    EXPECT_EQ(a.mymap, kExampleMap);
    EXPECT_EQ(a.values.echoServPort, 514);
    EXPECT_EQ(a.err, "");
}

TEST_F(ConfigFile, NulByteEndsTheParsedText) {
    std::string text = settings("<port>80</port>") + std::string(1, '\0') +
                       "<maps><group name=\"a\"><ip>10.0.0.1</ip></group></maps>";
    testutil::writeFile(dir.file("config.xml"), text);
    bool opened = false;
    Applied a = read(dir.file("config.xml"), &opened);
    EXPECT_TRUE(opened);
    EXPECT_EQ(linesOf(a.out), (Lines{"80", "0"}));
    EXPECT_TRUE(a.mymap.empty());
}

TEST_F(ConfigFile, OpenedButEmptyOrUnreadableEchoesOnlyTheCount) {
    testutil::writeFile(dir.file("empty.xml"), "");
    ASSERT_EQ(mkdir(dir.file("adir").c_str(), 0700), 0);  // opens, then every read fails
    for (const char* name : {"empty.xml", "adir"}) {
        SCOPED_TRACE(name);
        bool opened = false;
        Applied a = read(dir.file(name), &opened);
        EXPECT_TRUE(opened);
        EXPECT_TRUE(a.values.configFileUsed);
        EXPECT_EQ(a.out, "0\n");
        EXPECT_EQ(a.err, "");
    }
}

TEST_F(ConfigFile, MissingFileChangesAndPrintsNothing) {
    bool opened = true;
    Applied a = read(dir.file("config.xml"), &opened);
    EXPECT_FALSE(opened);
    EXPECT_FALSE(a.values.configFileUsed);
    EXPECT_EQ(a.out, "");
    EXPECT_EQ(a.err, "");
    EXPECT_TRUE(a.mymap.empty());
    StartupValues defaults;
    EXPECT_EQ(a.values.outputdir, defaults.outputdir);
    EXPECT_EQ(a.values.echoServPort, defaults.echoServPort);
    EXPECT_FALSE(a.values.output);
}

}  // namespace
