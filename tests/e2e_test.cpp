// The real binary end to end: command line, loopback traffic, the files on disk, the stop.
// Every sender is bound to a 127.0.0.x address and sends to 127.0.0.1 only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestUtil.h"

using testutil::ServerProcess;
using testutil::stampOf;
using testutil::stampsBetween;
using testutil::UdpSender;

namespace {

// The text the server takes from a datagram: up to the first NUL, at most 1024 bytes, one
// trailing LF (with a CR before it) dropped.
std::string receivedText(std::string datagram) {
    datagram = datagram.substr(0, 1024);
    datagram = datagram.substr(0, datagram.find('\0'));
    if (!datagram.empty() && datagram.back() == '\n') {
        datagram.pop_back();
        if (!datagram.empty() && datagram.back() == '\r') datagram.pop_back();
    }
    return datagram;
}

bool hasStampShape(const std::string& s) {
    static const std::regex shape(R"(\d\d-\d\d-\d{4};\d\d:\d\d)");
    return std::regex_match(s, shape);
}

// A sender's directory holds exactly these CSV lines, in order, each stamped within `stamps`.
::testing::AssertionResult holdsCsvLines(const std::string& directory, const std::string& address,
                                         const std::vector<std::string>& texts,
                                         const std::set<std::string>& stamps) {
    std::string rest;
    const std::vector<std::string> lines =
        testutil::splitCrLf(testutil::readSenderLog(directory), &rest);
    if (!rest.empty())
        return ::testing::AssertionFailure()
               << directory << ": bytes after the last CR LF: \"" << rest.substr(0, 80) << "\"";
    if (lines.size() != texts.size())
        return ::testing::AssertionFailure()
               << directory << ": " << lines.size() << " lines, expected " << texts.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const std::string stamp = line.substr(0, 16);
        const std::string expectedTail =
            ";" + address + ";" + testutil::expectedStoredText(texts[i]);
        if (!hasStampShape(stamp) || line.compare(16, std::string::npos, expectedTail) != 0)
            return ::testing::AssertionFailure()
                   << directory << " line " << i << ": \"" << line << "\", expected a stamp and \""
                   << expectedTail << "\"";
        if (!stamps.count(stamp))
            return ::testing::AssertionFailure()
                   << directory << " line " << i << ": stamp " << stamp << " outside the run";
    }
    return ::testing::AssertionSuccess();
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// Runs the binary to its end (at most 10 s; a server that started instead is stopped).
Outcome runToEnd(const std::vector<std::string>& args, const std::string& workDir,
                 const std::string& argv0 = "") {
    ServerProcess p(args, workDir, argv0);
    int status = p.wait(10000);
    if (status < 0) {
        p.stop(SIGKILL);
        ADD_FAILURE() << "did not end by itself";
    }
    return {status, p.out(), p.err()};
}

// One line, "brindleaf: ..." naming `word`.
::testing::AssertionResult isOneMessageNaming(const std::string& err, const std::string& word) {
    if (err.rfind("brindleaf: ", 0) != 0 || err.find('\n') != err.size() - 1 ||
        err.find(word) == std::string::npos)
        return ::testing::AssertionFailure() << "stderr \"" << err << "\"";
    return ::testing::AssertionSuccess();
}

class E2e : public testutil::TempDirTest {
  protected:
    std::string logs() const { return dir.file("logs"); }
    std::string senderDir(const std::string& group) const { return logs() + "/" + group; }

    // Sends datagrams in bursts of `burst`, waiting after each burst until the kernel holds at
    // most 128 KiB for the server: well under any receive buffer, so nothing is dropped.
    void pacedSend(ServerProcess& server, unsigned short port, UdpSender& sender,
                   const std::string& bytes, unsigned& sinceCheck, unsigned burst = 100) {
        ASSERT_TRUE(sender.send(bytes));
        if (++sinceCheck >= burst) {
            sinceCheck = 0;
            ASSERT_TRUE(server.waitQueueAtMost(port, 128 * 1024, 20000))
                << "the server stopped reading";
        }
    }
};

// ---- Command line ------------------------------------------------------------------------

TEST_F(E2e, HelpIsPrintedByteForByteAndNothingStarts) {
    const std::string binary = testutil::binaryPath();
    struct Case {
        std::vector<std::string> args;
        std::string argv0;
    } cases[] = {
        {{"-?"}, binary},
        {{"-?"}, "./some dir/brindleaf"},  // the name as typed, path and blank included
        {{"-o", "-?"}, binary},
        {{"-?", "-o"}, binary},
        {{"-?", "-fs"}, binary},  // nothing after "-?" is looked at
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Outcome r = runToEnd(c.args, dir.path(), c.argv0);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, testutil::expectedHelpText(c.argv0));
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(testutil::listNames(dir.path()).empty());
}

TEST_F(E2e, NoArgumentAndNoConfigEndsAtOnceSilently) {
    Outcome r = runToEnd({}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(testutil::listNames(dir.path()).empty());
}

TEST_F(E2e, ValueOptionWithoutValueIsRefused) {
    for (const char* option : {"-p", "-od", "-fs"}) {
        SCOPED_TRACE(option);
        Outcome r = runToEnd({"-o", option}, dir.path());
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(isOneMessageNaming(r.err, option));
    }
}

TEST_F(E2e, FileSizeOutOfRangeOrNotANumberIsRefused) {
    const unsigned short port = testutil::pickUdpPort(0);
    for (const char* value :
         {"0", "-1", "abc", "5abc", "", "2097152", "4294967297", "-o", "-?", "1 "}) {
        SCOPED_TRACE(std::string("-fs \"") + value + "\"");
        Outcome r = runToEnd({"-p", std::to_string(port), "-od", logs(), "-fs", value}, dir.path());
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");  // "-fs -?" takes "-?" as its value: no help
        EXPECT_TRUE(isOneMessageNaming(r.err, "-fs"));
    }
    EXPECT_FALSE(testutil::fileExists(logs()));
}

// The stop writes the buffer with byte-exact cuts: the lines are sent so that the buffer just
// passes the limit with the last one (more would be written out whole, past the limit, as
// entries arrive). Then the first file holds exactly the limit, the second the rest.
TEST_F(E2e, FileSizeInKilobytesCutsTheFilesThere) {
    struct Case {
        const char* value;
        size_t bytes;
    } cases[] = {{"1", 1024}, {" +7", 7 * 1024}, {"2097151", 2097151ull * 1024}};
    const unsigned short port = testutil::pickUdpPort(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("-fs \"") + c.value + "\"");
        testutil::removeTree(logs());
        const time_t begin = time(nullptr);
        ServerProcess server({"-p", std::to_string(port), "-od", logs(), "-fs", c.value},
                             dir.path());
        ASSERT_TRUE(server.waitListening(port)) << server.err();
        UdpSender sender("127.0.0.2", port);
        std::vector<std::string> texts;
        size_t total = 0;  // "DD-MM-YYYY;HH:MM;127.0.0.2;" text CR LF
        while (total <= c.bytes && texts.size() < 10) {
            texts.push_back("line " + std::to_string(texts.size()) + " " +
                            std::string(900, static_cast<char>('a' + texts.size())));
            total += 27 + texts.back().size() + 2;
            ASSERT_TRUE(sender.send(texts.back()));
        }
        ASSERT_TRUE(server.waitQueueEmpty(port));
        EXPECT_EQ(server.stop(), 0) << server.err();
        EXPECT_EQ(server.err(), "");
        const std::string directory = senderDir("127.0.0.2");
        EXPECT_TRUE(
            holdsCsvLines(directory, "127.0.0.2", texts, stampsBetween(begin, time(nullptr))));
        std::vector<size_t> sizes;
        for (const std::string& name : testutil::senderLogFiles(directory))
            sizes.push_back(testutil::readFile(directory + "/" + name).size());
        if (total > c.bytes)
            EXPECT_EQ(sizes, (std::vector<size_t>{c.bytes, total - c.bytes}));
        else
            EXPECT_EQ(sizes, std::vector<size_t>{total});
    }
}

TEST_F(E2e, PortInUseEndsWithTheBindMessage) {
    const unsigned short port = testutil::pickUdpPort(0);
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    Outcome r = runToEnd({"-p", std::to_string(port), "-od", logs()}, dir.path());
    close(holder);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "brindleaf: Set of local port failed (bind()): Address already in use\n");
    EXPECT_EQ(r.out, "");
}

// ---- Traffic -----------------------------------------------------------------------------

// 4 x 25,000 messages, cut into 64 KiB files: every line once, in order, in the CSV layout.
TEST_F(E2e, FourSendersManyMessagesEveryLineOnceInOrder) {
    constexpr int kSenders = 4, kMessages = 25000;
    const unsigned short port = testutil::pickUdpPort(0);
    const time_t begin = time(nullptr);
    ServerProcess server({"-p", std::to_string(port), "-od", logs(), "-fs", "64"}, dir.path());
    ASSERT_TRUE(server.waitListening(port)) << server.err();
    const unsigned long rcvbufErrorsBefore = testutil::udpRcvbufErrors();

    std::vector<std::unique_ptr<UdpSender>> senders;
    std::vector<std::vector<std::string>> texts(kSenders);
    for (int s = 0; s < kSenders; ++s)
        senders.emplace_back(new UdpSender("127.0.0." + std::to_string(s + 2), port));
    const auto started = std::chrono::steady_clock::now();
    unsigned sinceCheck = 0;
    for (int m = 0; m < kMessages; ++m) {
        for (int s = 0; s < kSenders; ++s) {
            // Lengths vary, and ";" and TAB must pass as they are.
            texts[s].push_back("s" + std::to_string(s) + ";m" + std::to_string(m) + "\t" +
                               std::string(static_cast<size_t>(m % 41), 'x'));
            pacedSend(server, port, *senders[s], texts[s].back(), sinceCheck);
            if (HasFatalFailure()) return;
        }
    }
    // Stopped at once: what the kernel still holds, and what is queued inside, must be kept.
    const testutil::UdpSocketRow atStop = server.socketRow(port);
    EXPECT_EQ(server.stop(), 0) << server.err();
    const unsigned long drops = atStop.drops;
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
    std::cout << "[ info ] " << kSenders * kMessages << " datagrams sent and stored in "
              << seconds.count() << " s; the kernel held " << atStop.rxQueue
              << " bytes at the stop; RcvbufErrors of the machine grew by "
              << testutil::udpRcvbufErrors() - rcvbufErrorsBefore << "\n";
    ASSERT_EQ(drops, 0u) << "the kernel dropped datagrams: the pacing, not the server";
    EXPECT_EQ(server.err(), "");

    const std::set<std::string> stamps = stampsBetween(begin, time(nullptr));
    EXPECT_EQ(testutil::listNames(logs()).size(), static_cast<size_t>(kSenders));
    for (int s = 0; s < kSenders; ++s) {
        const std::string address = "127.0.0." + std::to_string(s + 2);
        EXPECT_TRUE(holdsCsvLines(senderDir(address), address, texts[s], stamps));
        const std::vector<std::string> files = testutil::senderLogFiles(senderDir(address));
        EXPECT_GT(files.size(), 10u);  // the numeric order of the series is exercised
        // Cut at the limit by a pass, or past it when the buffer outgrew the limit between
        // passes and was written out whole (at most the limit plus one line).
        for (size_t i = 0; i + 1 < files.size(); ++i) {
            const size_t size = testutil::readFile(senderDir(address) + "/" + files[i]).size();
            EXPECT_GE(size, 65536u) << files[i];
            EXPECT_LE(size, 2 * 65536u + 1100) << files[i];
        }
    }
}

// Far more senders than the process may hold files open (1024, soft and hard limit alike, so
// raising its own limit is no way out): no line is lost.
TEST_F(E2e, FiveThousandSendersEveryLineOnDisk) {
    constexpr int kSenders = 5000, kMessages = 2;
    const unsigned short port = testutil::pickUdpPort(0);
    const time_t begin = time(nullptr);
    ServerProcess server({"-p", std::to_string(port), "-od", logs()}, dir.path(), "", "", 1024);
    ASSERT_TRUE(server.waitListening(port)) << server.err();
    auto addressOf = [](int i) {
        return "127.0." + std::to_string(1 + i / 250) + "." + std::to_string(1 + i % 250);
    };
    const auto started = std::chrono::steady_clock::now();
    unsigned sinceCheck = 0;
    for (int i = 0; i < kSenders; ++i) {
        UdpSender sender(addressOf(i), port);
        for (int m = 0; m < kMessages; ++m) {
            pacedSend(server, port, sender,
                      "sender " + std::to_string(i) + " #" + std::to_string(m), sinceCheck);
            if (HasFatalFailure()) return;
        }
    }
    ASSERT_TRUE(server.waitQueueEmpty(port, 60000));
    const unsigned long drops = server.socketRow(port).drops;
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(server.stop(SIGTERM, 120000), 0) << server.err();
    const auto stopped = std::chrono::steady_clock::now();
    std::cout << "[ info ] " << kSenders << " senders: sent and read in "
              << std::chrono::duration<double>(sent - started).count() << " s, stop took "
              << std::chrono::duration<double>(stopped - sent).count() << " s\n";
    ASSERT_EQ(drops, 0u) << "the kernel dropped datagrams: the pacing, not the server";
    EXPECT_EQ(server.err(), "");

    const std::set<std::string> stamps = stampsBetween(begin, time(nullptr));
    EXPECT_EQ(testutil::listNames(logs()).size(), static_cast<size_t>(kSenders));
    int failures = 0;
    for (int i = 0; i < kSenders && failures < 5; ++i) {
        const std::string address = addressOf(i);
        std::vector<std::string> texts;
        for (int m = 0; m < kMessages; ++m)
            texts.push_back("sender " + std::to_string(i) + " #" + std::to_string(m));
        ::testing::AssertionResult ok = holdsCsvLines(senderDir(address), address, texts, stamps);
        if (!ok) ++failures;
        EXPECT_TRUE(ok);
    }
}

// util-linux logger, a client no one here wrote. What it sends is caught on a socket of our
// own first; the server's line must hold those bytes, escaped. Only the time stamp in the
// datagram differs from run to run, so it is masked in both.
TEST_F(E2e, LoggerDatagramsAreStoredByteForByte) {
    const std::string loggerPath = "/usr/bin/logger";
    ASSERT_TRUE(testutil::fileExists(loggerPath))
        << "logger missing: scripts/setup.sh installs bsdutils";
    struct Form {
        const char* name;
        std::vector<std::string> options;
        std::regex time;  // the time stamp, kept with what stands around it in $1 and $2
    } forms[] = {
        {"RFC 5424",
         {},
         std::regex(R"(^(<\d+>1 )\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(?:\.\d+)?(?:Z|[+-]\d\d:\d\d)( ))")},
        {"RFC 3164",
         {"--rfc3164"},
         std::regex(R"(^(<\d+>)[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d( ))")},
    };
    const std::string message = "e2e; tab\there \xc3\xbc ctl\x01 esc\x1b[0m del\x7f end";
    auto runLogger = [&](const Form& f, unsigned short toPort) {
        std::vector<std::string> args = {"-d", "-n", "127.0.0.1", "-P", std::to_string(toPort)};
        args.insert(args.end(), f.options.begin(), f.options.end());
        args.push_back(message);
        ServerProcess logger(args, dir.path(), "logger", loggerPath);
        EXPECT_EQ(logger.wait(10000), 0) << logger.err();
    };

    // Capture.
    const unsigned short capturePort = testutil::pickUdpPort(1);
    int catcher = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(catcher, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(capturePort);
    ASSERT_EQ(bind(catcher, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    timeval fiveSeconds{5, 0};
    setsockopt(catcher, SOL_SOCKET, SO_RCVTIMEO, &fiveSeconds, sizeof fiveSeconds);
    std::vector<std::string> datagrams;
    for (const Form& f : forms) {
        runLogger(f, capturePort);
        char buf[4096];
        ssize_t n = recv(catcher, buf, sizeof buf, 0);
        ASSERT_GT(n, 0) << f.name << ": nothing caught";
        datagrams.emplace_back(buf, static_cast<size_t>(n));
    }
    close(catcher);

    // The server.
    const unsigned short port = testutil::pickUdpPort(0);
    ServerProcess server({"-p", std::to_string(port), "-od", logs()}, dir.path());
    ASSERT_TRUE(server.waitListening(port)) << server.err();
    for (const Form& f : forms) runLogger(f, port);
    ASSERT_TRUE(server.waitQueueEmpty(port));
    EXPECT_EQ(server.stop(), 0) << server.err();

    std::string rest;
    const std::vector<std::string> lines =
        testutil::splitCrLf(testutil::readSenderLog(senderDir("127.0.0.1")), &rest);
    EXPECT_EQ(rest, "");
    ASSERT_EQ(lines.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const Form& f = forms[i];
        SCOPED_TRACE(f.name);
        const std::string expected = testutil::expectedStoredText(receivedText(datagrams[i]));
        EXPECT_NE(expected.find(testutil::expectedStoredText(message)), std::string::npos)
            << expected;
        ASSERT_TRUE(hasStampShape(lines[i].substr(0, 16))) << lines[i];
        ASSERT_EQ(lines[i].substr(16, 11), ";127.0.0.1;") << lines[i];
        const std::string stored = lines[i].substr(27);
        ASSERT_TRUE(std::regex_search(expected, f.time)) << expected;
        ASSERT_TRUE(std::regex_search(stored, f.time)) << stored;
        EXPECT_EQ(std::regex_replace(stored, f.time, "$1<time>$2"),
                  std::regex_replace(expected, f.time, "$1<time>$2"));
    }
}

// Raw lines are the bare texts; the datagram rules show byte for byte.
TEST_F(E2e, RawModeWritesBareTexts) {
    struct Case {
        std::string datagram;
        std::string line;  // "" : no line at all
    } cases[] = {
        {"plain", "plain"},
        {"with;semicolon\tand tab", "with;semicolon\tand tab"},
        {"trailing line end\r\n", "trailing line end"},
        {"only one LF goes\n\n", "only one LF goes#012"},
        {"inner\nline\x01"
         "end",
         "inner#012line#001end"},
        {std::string("abc\0def", 7), "abc"},
        {std::string("\0first", 6), ""},
        {"", ""},
        {"\n", ""},
        {std::string(1100, 'L'), std::string(1024, 'L')},
        {"last", "last"},
    };
    const unsigned short port = testutil::pickUdpPort(0);
    ServerProcess server({"-r", "-p", std::to_string(port), "-od", logs()}, dir.path());
    ASSERT_TRUE(server.waitListening(port)) << server.err();
    UdpSender sender("127.0.0.2", port);
    std::string expected;
    for (const Case& c : cases) {
        ASSERT_TRUE(sender.send(c.datagram));
        if (!c.line.empty()) expected += c.line + "\r\n";
    }
    ASSERT_TRUE(server.waitQueueEmpty(port));
    EXPECT_EQ(server.stop(), 0) << server.err();
    EXPECT_EQ(testutil::readSenderLog(senderDir("127.0.0.2")), expected);
    EXPECT_EQ(testutil::listNames(logs()), std::vector<std::string>{"127.0.0.2"});
}

TEST_F(E2e, EchoOnScreenOnlyWithOptionO) {
    const unsigned short port = testutil::pickUdpPort(0);
    for (bool echo : {true, false}) {
        SCOPED_TRACE(echo ? "-o" : "no -o");
        testutil::removeTree(logs());
        std::vector<std::string> args = {"-p", std::to_string(port), "-od", logs()};
        if (echo) args.push_back("-o");
        const time_t begin = time(nullptr);
        ServerProcess server(args, dir.path());
        ASSERT_TRUE(server.waitListening(port)) << server.err();
        UdpSender("127.0.0.2", port).send("hello");
        ASSERT_TRUE(server.waitQueueEmpty(port));
        EXPECT_EQ(server.stop(), 0) << server.err();
        const std::set<std::string> stamps = stampsBetween(begin, time(nullptr));

        static const std::regex echoLine(
            R"(\[(\d\d-\d\d-\d{4};\d\d:\d\d)\] - \[127\.0\.0\.2\] hello)");
        std::vector<std::string> echoed;
        std::istringstream out(server.out());
        for (std::string line; std::getline(out, line);) {
            std::smatch m;
            if (std::regex_match(line, m, echoLine)) {
                EXPECT_TRUE(stamps.count(m[1])) << line;
                echoed.push_back(line);
            } else {
                EXPECT_NE(line.rfind('[', 0), 0u) << "unexpected echo: " << line;
            }
        }
        EXPECT_EQ(echoed.size(), echo ? 1u : 0u) << server.out();
        EXPECT_TRUE(holdsCsvLines(senderDir("127.0.0.2"), "127.0.0.2", {"hello"}, stamps));
    }
}

// ---- config.xml ------------------------------------------------------------------------

std::string configText(unsigned short port, const std::string& groups) {
    return "<?xml version=\"1.0\"?>\n"
           "<settings>\n"
           "  <output_dir>logs</output_dir>\n"
           "  <port>" +
           std::to_string(port) +
           "</port>\n"
           "</settings>\n"
           "<maps>\n" +
           groups + "</maps>\n";
}

// Started with no argument: config.xml alone sets the port and directory, and the group.
TEST_F(E2e, ConfigGroupSharesOneDirectoryWithEachSendersAddress) {
    const unsigned short port = testutil::pickUdpPort(0);
    testutil::writeFile(dir.file("config.xml"), configText(port,
                                                           "  <group name=\"routers\">\n"
                                                           "    <ip>127.0.0.2</ip>\n"
                                                           "    <ip>127.0.0.3</ip>\n"
                                                           "  </group>\n"));
    const time_t begin = time(nullptr);
    ServerProcess server({}, dir.path());
    ASSERT_TRUE(server.waitListening(port)) << server.out() << server.err();
    UdpSender two("127.0.0.2", port), three("127.0.0.3", port), four("127.0.0.4", port);
    std::vector<std::string> routers;
    for (int i = 0; i < 3; ++i) {
        routers.push_back("two " + std::to_string(i));
        two.send(routers.back());
        routers.push_back("three " + std::to_string(i));
        three.send(routers.back());
        four.send("four " + std::to_string(i));
    }
    ASSERT_TRUE(server.waitQueueEmpty(port));
    EXPECT_EQ(server.stop(), 0) << server.err();
    const std::set<std::string> stamps = stampsBetween(begin, time(nullptr));

    const std::string echo =
        "logs\n" + std::to_string(port) + "\nrouters\n127.0.0.2\n127.0.0.3\n1\n";
    EXPECT_EQ(server.out().substr(0, echo.size()), echo);
    EXPECT_EQ(server.err(), "");
    EXPECT_EQ(testutil::listNames(logs()), (std::vector<std::string>{"127.0.0.4", "routers"}));
    // Each line carries its own sender's address: check the two addresses line by line.
    std::string rest;
    const std::vector<std::string> lines =
        testutil::splitCrLf(testutil::readSenderLog(senderDir("routers")), &rest);
    EXPECT_EQ(rest, "");
    ASSERT_EQ(lines.size(), routers.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string address = i % 2 == 0 ? "127.0.0.2" : "127.0.0.3";
        EXPECT_EQ(lines[i].substr(16), ";" + address + ";" + routers[i]);
        EXPECT_TRUE(stamps.count(lines[i].substr(0, 16))) << lines[i];
    }
    EXPECT_TRUE(
        holdsCsvLines(senderDir("127.0.0.4"), "127.0.0.4", {"four 0", "four 1", "four 2"}, stamps));
}

TEST_F(E2e, ConfigEchoComesBeforeTheHelp) {
    testutil::writeFile(dir.file("config.xml"),
                        configText(5514, "  <group name=\"servers\"><ip>127.0.0.9</ip></group>\n"));
    Outcome r = runToEnd({"-?"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "logs\n5514\nservers\n127.0.0.9\n1\n" +
                         testutil::expectedHelpText(testutil::binaryPath()));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(testutil::listNames(dir.path()), std::vector<std::string>{"config.xml"});
}

// A group named ".." would put its files beside the output directory, not below it.
TEST_F(E2e, ConfigGroupDotDotIsRefused) {
    const unsigned short port = testutil::pickUdpPort(0);
    testutil::writeFile(dir.file("config.xml"),
                        configText(port, "  <group name=\"..\"><ip>127.0.0.2</ip></group>\n"));
    const time_t begin = time(nullptr);
    ServerProcess server({}, dir.path());
    ASSERT_TRUE(server.waitListening(port)) << server.out() << server.err();
    UdpSender("127.0.0.2", port).send("escape attempt");
    ASSERT_TRUE(server.waitQueueEmpty(port));
    EXPECT_EQ(server.stop(), 0) << server.err();

    EXPECT_TRUE(isOneMessageNaming(server.err(), "\"..\""));
    const std::string echo = "logs\n" + std::to_string(port) + "\n..\n127.0.0.2\n1\n";
    EXPECT_EQ(server.out().substr(0, echo.size()), echo);
    EXPECT_EQ(testutil::listNames(dir.path()), (std::vector<std::string>{"config.xml", "logs"}));
    EXPECT_EQ(testutil::listNames(logs()), std::vector<std::string>{"127.0.0.2"});
    EXPECT_TRUE(holdsCsvLines(senderDir("127.0.0.2"), "127.0.0.2", {"escape attempt"},
                              stampsBetween(begin, time(nullptr))));
}

// ---- The stop ----------------------------------------------------------------------------

char processState(pid_t pid) {
    const std::string stat = testutil::readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '?';
}

// Lines younger than a write pass and smaller than the cut are still in memory, and more
// datagrams wait in the kernel (the server was held with SIGSTOP while they came): the stop
// keeps them all.
TEST_F(E2e, StopSignalWritesBufferedAndPendingLines) {
    const unsigned short port = testutil::pickUdpPort(0);
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        testutil::removeTree(logs());
        const time_t begin = time(nullptr);
        ServerProcess server({"-p", std::to_string(port), "-od", logs()}, dir.path());
        ASSERT_TRUE(server.waitListening(port)) << server.err();
        UdpSender two("127.0.0.2", port), three("127.0.0.3", port);
        std::vector<std::string> texts = {"first", "second", "third"};
        std::vector<std::string> threes = {"first of three", "second of three", "third of three"};
        for (size_t i = 0; i < texts.size(); ++i) {
            two.send(texts[i]);
            three.send(threes[i]);
        }
        ASSERT_TRUE(server.waitQueueEmpty(port));
        EXPECT_EQ(testutil::readSenderLog(senderDir("127.0.0.2")), "") << "written before the stop";

        ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
        for (int i = 0; i < 1000 && processState(server.pid()) != 'T'; ++i) usleep(1000);
        ASSERT_EQ(processState(server.pid()), 'T');
        for (int i = 0; i < 200; ++i) {  // about 200 KiB of the kernel's accounting
            texts.push_back("pending " + std::to_string(i));
            two.send(texts.back());
        }
        const testutil::UdpSocketRow held = server.socketRow(port);
        ASSERT_GT(held.rxQueue, 0u);
        ASSERT_EQ(held.drops, 0u);
        ASSERT_EQ(kill(server.pid(), signal), 0);
        ASSERT_EQ(kill(server.pid(), SIGCONT), 0);
        EXPECT_EQ(server.wait(30000), 0) << server.err();
        EXPECT_EQ(server.err(), "");
        const std::set<std::string> stamps = stampsBetween(begin, time(nullptr));
        EXPECT_TRUE(holdsCsvLines(senderDir("127.0.0.2"), "127.0.0.2", texts, stamps));
        EXPECT_TRUE(holdsCsvLines(senderDir("127.0.0.3"), "127.0.0.3", threes, stamps));
    }
}

}  // namespace
