#include "brindleaf.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "LogRotator.h"
#include "PracticalSocket.h"
#include "TestUtil.h"
#include "platform.h"

using testutil::readFile;

namespace {

// ---- Command line -----------------------------------------------------------------------

struct Parsed {
    ArgumentOutcome outcome;
    StartupValues values;
    std::string out, err;
};

Parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "brindleaf");
    Parsed p;
    std::ostringstream out, err;
    p.outcome = parseArguments(static_cast<int>(args.size()), args.data(), p.values, out, err);
    p.out = out.str();
    p.err = err.str();
    return p;
}

TEST(Arguments, ValuesAndFlags) {
    Parsed d = parse({});
    EXPECT_EQ(d.outcome, ArgumentOutcome::Run);
    EXPECT_FALSE(d.values.output);
    EXPECT_FALSE(d.values.raw);
    EXPECT_EQ(d.values.logfilesize, 10485760);
    EXPECT_EQ(d.values.outputdir, ".");
    EXPECT_EQ(d.values.echoServPort, 514);

    Parsed p = parse({"-o", "-r", "-fs", "1", "-od", "logs/", "-p", "1514", "-O", "stray"});
    EXPECT_EQ(p.outcome, ArgumentOutcome::Run);
    EXPECT_TRUE(p.values.output);
    EXPECT_TRUE(p.values.raw);
    EXPECT_EQ(p.values.logfilesize, 1024);
    EXPECT_EQ(p.values.outputdir, "logs/");
    EXPECT_EQ(p.values.echoServPort, 1514);
    EXPECT_EQ(p.out + p.err, "");

    // Later values replace earlier ones; a value is taken whatever it looks like.
    Parsed later = parse({"-p", "1", "-p", "2", "-od", "-o"});
    EXPECT_EQ(later.values.echoServPort, 2);
    EXPECT_EQ(later.values.outputdir, "-o");
    EXPECT_FALSE(later.values.output);
}

TEST(Arguments, PortsAreReadAsAtoiModulo65536) {
    struct Case {
        const char* text;
        unsigned short port;
    } cases[] = {{"70000", 4464}, {"65536", 0},  {"abc", 0}, {"514abc", 514},
                 {" 99", 99},     {"-1", 65535}, {"0", 0}};
    for (const Case& c : cases)
        EXPECT_EQ(parse({"-p", c.text}).values.echoServPort, c.port) << c.text;
}

TEST(Arguments, CutSizes) {
    struct Case {
        const char* text;
        int bytes;  // 0: refused
    } cases[] = {{"1", 1024},       {" +7", 7 * 1024}, {"2097151", 2097151 * 1024},
                 {"0", 0},          {"-1", 0},         {"abc", 0},
                 {"5abc", 0},       {"", 0},           {"2097152", 0},
                 {"4294967297", 0}, {"-o", 0},         {"-?", 0},
                 {"++1", 0}};
    for (const Case& c : cases) {
        Parsed p = parse({"-fs", c.text});
        if (c.bytes) {
            EXPECT_EQ(p.outcome, ArgumentOutcome::Run) << c.text;
            EXPECT_EQ(p.values.logfilesize, c.bytes) << c.text;
        } else {
            EXPECT_EQ(p.outcome, ArgumentOutcome::Error) << c.text;
            EXPECT_NE(p.err.find("-fs"), std::string::npos) << c.text;
            EXPECT_EQ(p.out, "") << c.text;
        }
    }
}

TEST(Arguments, AValueOptionWithoutItsValueIsRefused) {
    for (const char* option : {"-fs", "-od", "-p"}) {
        Parsed p = parse({"-o", option});
        EXPECT_EQ(p.outcome, ArgumentOutcome::Error) << option;
        EXPECT_EQ(p.err, std::string("brindleaf: option ") + option + " needs a value\n");
    }
}

TEST(Arguments, HelpEndsTheWalk) {
    const std::string help = testutil::expectedHelpText("brindleaf");
    for (auto args : {std::vector<const char*>{"-?"}, {"-o", "-?"}, {"-?", "-o"}, {"-?", "-fs"}}) {
        Parsed p = parse(args);
        EXPECT_EQ(p.outcome, ArgumentOutcome::Help);
        EXPECT_EQ(p.out, help);
    }
}

// ---- Receiver ---------------------------------------------------------------------------

TEST(TrimLineEnd, DropsOneTrailingLineEnd) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {{"abc\n", "abc"},   {"abc\r\n", "abc"}, {"abc\n\n", "abc\n"},
                 {"abc\r", "abc\r"}, {"\n", ""},         {"\r\n", ""},
                 {"", ""},           {"a\nb", "a\nb"}};
    for (const Case& c : cases) {
        std::string in = c.in;
        EXPECT_EQ(in.substr(0, trimLineEnd(in.data(), in.size())), c.out) << c.in;
    }
}

int gLoad = 0;
int fakeLoad() {
    return gLoad;
}

TEST(MemoryGuard, PausesFromNinetyPercentAndSaysSoAtMostOnceASecond) {
    platform::hooks().memoryLoad = fakeLoad;
    FILE* out = tmpfile();
    MemoryGuard guard(out);
    gLoad = 89;
    EXPECT_FALSE(guard.mustPause(0));
    gLoad = 90;
    EXPECT_FALSE(guard.mustPause(50));  // the reading of 0 ms still holds
    EXPECT_TRUE(guard.mustPause(100));
    EXPECT_TRUE(guard.mustPause(110));  // while dropping every test reads afresh
    EXPECT_TRUE(guard.mustPause(900));
    EXPECT_TRUE(guard.mustPause(1100));  // a second after the first report
    gLoad = 89;
    EXPECT_FALSE(guard.mustPause(1110));
    gLoad = 100;
    EXPECT_TRUE(guard.mustPause(1300));  // a new state begins: reported at once
    platform::hooks().memoryLoad = nullptr;

    std::fflush(out);
    rewind(out);
    char buf[256] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, out);
    std::fclose(out);
    EXPECT_EQ(std::string(buf, n), "dropping messages\ndropping messages\ndropping messages\n");
}

unsigned short testPort(int index) {
    return static_cast<unsigned short>(30000 + (getpid() % 1000) * 10 + index);
}

// Runs the receiver thread on a port; stop() ends it and returns what it queued.
class ReceiverRun {
  public:
    explicit ReceiverRun(unsigned short port) {
        args_.messageBuffer = &list_;
        args_.echoServPort = port;
        args_.control = &control_;
        pthread_create(&thread_, nullptr, receiver, &args_);
        for (int i = 0; i < 500 && !control_.receiverReady && !control_.receiverDone; ++i) {
            platform::sleepMs(10);
        }
    }
    ~ReceiverRun() {
        if (!joined_) stop();
    }
    std::vector<message> stop() {
        control_.stopRequested = true;
        pthread_join(thread_, nullptr);
        joined_ = true;
        MessageBatch batch;
        list_.takeAll(batch);
        return batch.toMessages();
    }
    ServerControl& control() { return control_; }

  private:
    IncomingList list_;
    ServerControl control_;
    ReceiverArgs args_;
    pthread_t thread_;
    bool joined_ = false;
};

TEST(Receiver, QueuesEachDatagramWithItsSenderInOrder) {
    const unsigned short port = testPort(1);
    ReceiverRun run(port);
    ASSERT_TRUE(run.control().receiverReady);
    UDPSocket a("127.0.0.2", 0), b("127.0.0.3", 0);
    const std::string k1024(1024, 'k');
    const std::string k1025 = std::string(1024, 'm') + "Z";
    struct Sent {
        UDPSocket* from;
        std::string bytes;
        std::string text;
    } sent[] = {
        {&a, "<13>first", "<13>first"},
        {&b, "from b", "from b"},
        {&a, k1024, k1024},
        {&a, k1025, std::string(1024, 'm')},
        {&b, std::string("abc\0def", 7), "abc"},
        {&b, std::string("\0xyz", 4), ""},
        {&a, "", ""},
        {&a, "line end\n", "line end"},
        {&a, "crlf\r\n", "crlf"},
        {&a, "\n", ""},
        {&b, "last", "last"},
    };
    for (const Sent& s : sent) {
        s.from->sendTo(s.bytes.data(), static_cast<int>(s.bytes.size()), "127.0.0.1", port);
    }
    platform::sleepMs(100);
    std::vector<message> got = run.stop();
    ASSERT_EQ(got.size(), std::size(sent));
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].sourceaddress, sent[i].from == &a ? "127.0.0.2" : "127.0.0.3") << i;
        EXPECT_EQ(got[i].m_message, sent[i].text) << i;
    }
}

TEST(Receiver, APortInUseEndsWithTheSocketLayersText) {
    const unsigned short port = testPort(2);
    UDPSocket holder(port);
    testutil::StderrCapture err;
    ReceiverRun run(port);
    run.stop();
    EXPECT_EQ(err.take(), std::string("brindleaf: Set of local port failed (bind()): ") +
                              std::strerror(EADDRINUSE) + "\n");
    EXPECT_EQ(run.control().exitStatus, 1);
    EXPECT_TRUE(run.control().receiverDone);
}

// ---- Dispatcher -------------------------------------------------------------------------

uint32_t ip(const char* text) {
    struct in_addr a {};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

class DispatcherTest : public testutil::TempDirTest {
  protected:
    DispatcherTest() {
        s.outputdir = dir.path() + "/logs";
        s.logfilesize = 1 << 20;
    }
    ~DispatcherTest() override {
        if (echo) std::fclose(echo);
    }
    std::string echoed() {
        std::fflush(echo);
        rewind(echo);
        std::string text;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, echo)) > 0) text.append(buf, n);
        return text;
    }
    std::string logOf(const std::string& group, const char* date) {
        return readFile(s.outputdir + "/" + group + "/log" + date + ".0.csv");
    }
    void send(Dispatcher& d, const char* from, const std::string& text) {
        d.dispatch(ip(from), text.data(), text.size());
    }
    settings s;
    FILE* echo = tmpfile();
    testutil::FakeClock clock{testutil::localTimeOf(2008, 12, 9, 18, 27, 5)};
};

TEST_F(DispatcherTest, EchoesWithOutputOnAndOnlyThen) {
    s.output = true;
    Dispatcher d(s, echo);
    send(d, "10.0.0.7", "hello");
    send(d, "10.0.0.7", "two\nlines");
    EXPECT_EQ(
        echoed(),
        "[09-12-2008;18:27] - [10.0.0.7] hello\n[09-12-2008;18:27] - [10.0.0.7] two#012lines\n");

    settings quiet = s;
    quiet.output = false;
    FILE* none = tmpfile();
    Dispatcher q(quiet, none);
    send(q, "10.0.0.7", "hello");
    EXPECT_EQ(std::ftell(none), 0);
    std::fclose(none);
}

TEST_F(DispatcherTest, GroupsShareARotatorAndEachLineKeepsItsSender) {
    s.mymap["192.168.0.5"] = "routers";
    s.mymap["192.168.0.6"] = "routers";
    s.mymap["192.168.0.9"] = "10.0.0.7";  // a group named like an unmapped sender
    {
        Dispatcher d(s, echo);
        send(d, "192.168.0.5", "a");
        send(d, "192.168.0.6", "b");
        send(d, "10.0.0.7", "c");
        send(d, "192.168.0.9", "d");
        send(d, "10.0.0.8", "");  // empty: nothing at all
        EXPECT_EQ(d.rotatorCount(), 2u);
        testutil::StdoutCapture out;
        EXPECT_EQ(d.flushAll(0), 0u);
    }
    EXPECT_EQ(logOf("routers", "09122008"),
              "09-12-2008;18:27;192.168.0.5;a\r\n09-12-2008;18:27;192.168.0.6;b\r\n");
    EXPECT_EQ(logOf("10.0.0.7", "09122008"),
              "09-12-2008;18:27;10.0.0.7;c\r\n09-12-2008;18:27;192.168.0.9;d\r\n");
    EXPECT_EQ(testutil::listNames(s.outputdir), (std::vector<std::string>{"10.0.0.7", "routers"}));
}

TEST_F(DispatcherTest, AMessageRunsTheDuePassesInOrderOfCreationBeforeItsEntry) {
    Dispatcher d(s, echo);
    testutil::StdoutCapture out;
    send(d, "10.0.0.1", "first");  // created at t
    clock.advance(5);
    send(d, "10.0.0.2", "second");  // created at t+5
    clock.advance(50);
    send(d, "10.0.0.3", "third");  // created at t+55
    clock.advance(57);             // t+112: the first two are due, the third is not
    send(d, "10.0.0.3", "fourth");
    std::string trace = out.take();
    const std::string one = s.outputdir + "/10.0.0.1/log09122008.0.csv  33  ][  0\n";
    const std::string two = s.outputdir + "/10.0.0.2/log09122008.0.csv  34  ][  0\n";
    EXPECT_EQ(trace, one + two);
    EXPECT_EQ(logOf("10.0.0.3", "09122008"), "");  // not due: still buffered, "fourth" too
    EXPECT_EQ(d.rotators()[2]->bufferedBytes(), 33u + 34u);
}

TEST_F(DispatcherTest, ARotatorMadeForAMessageGetsNoPassForIt) {
    Dispatcher d(s, echo);
    testutil::StdoutCapture out;
    send(d, "10.0.0.1", "x");
    clock.advance(120);
    send(d, "10.0.0.2", "y");  // the first rotator's pass runs, the new one's does not
    EXPECT_EQ(out.take(), s.outputdir + "/10.0.0.1/log09122008.0.csv  29  ][  0\n");
}

TEST_F(DispatcherTest, BuffersPastHalfTheMemoryBoundAreWrittenEarlyNotDropped) {
    LogRotator::setMemoryBound(6000);
    std::string err;
    {
        Dispatcher d(s, echo);
        MessageBatch batch;
        const std::string text(100, 'x');  // 128-byte lines
        for (int i = 0; i < 30; ++i)
            batch.add(ip(i % 2 ? "10.0.0.1" : "10.0.0.2"), text.data(), text.size());
        testutil::StdoutCapture out;
        testutil::StderrCapture capture;
        d.dispatch(batch);  // 3840 bytes: past half the bound, within the same second
        err = capture.take();
        EXPECT_EQ(LogRotator::unwrittenBytesOfAll(), 0);
    }
    LogRotator::setMemoryBound(0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(logOf("10.0.0.1", "09122008").size(), 15u * 128);
    EXPECT_EQ(logOf("10.0.0.2", "09122008").size(), 15u * 128);
}

// The dispatcher thread on its own, fed through the incoming list.
class DispatcherThread {
  public:
    explicit DispatcherThread(settings& s) : s_(s) {
        s_.messageBuffer = &list;
        s_.control = &control;
        pthread_create(&thread_, nullptr, logrotate, &s_);
    }
    ~DispatcherThread() { stop(); }
    void stop() {
        if (joined_) return;
        control.receiverDone = true;
        pthread_join(thread_, nullptr);
        joined_ = true;
    }
    IncomingList list;
    ServerControl control;

  private:
    settings& s_;
    pthread_t thread_;
    bool joined_ = false;
};

bool waitFor(const std::function<bool()>& done, int ms = 5000) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (done()) return true;
        platform::sleepMs(10);
    }
    return done();
}

TEST_F(DispatcherTest, IdleBuffersReachTheirFilesOnceTheirPassIsDue) {
    testutil::StdoutCapture out;
    DispatcherThread t(s);
    t.list.append(message{"10.0.0.7", "quiet hour"});
    ASSERT_TRUE(waitFor([&] { return t.list.empty(); }));
    platform::sleepMs(50);
    EXPECT_EQ(logOf("10.0.0.7", "09122008"), "");
    clock.advance(61);
    EXPECT_TRUE(waitFor([&] { return !logOf("10.0.0.7", "09122008").empty(); }, 3000));
    EXPECT_EQ(logOf("10.0.0.7", "09122008"), "09-12-2008;18:27;10.0.0.7;quiet hour\r\n");
    t.stop();
    EXPECT_EQ(t.control.exitStatus, 0);
}

TEST_F(DispatcherTest, TheStopWritesEveryBufferAndQueuedMessage) {
    testutil::StdoutCapture out;
    DispatcherThread t(s);
    for (int i = 0; i < 100; ++i)
        t.list.append(message{"10.0.0." + std::to_string(i % 5), std::to_string(i)});
    t.stop();
    EXPECT_EQ(t.control.exitStatus, 0);
    for (int k = 0; k < 5; ++k) {
        std::string expected;
        for (int i = k; i < 100; i += 5)
            expected +=
                "09-12-2008;18:27;10.0.0." + std::to_string(k) + ";" + std::to_string(i) + "\r\n";
        EXPECT_EQ(logOf("10.0.0." + std::to_string(k), "09122008"), expected);
    }
}

std::string gUnlistable;
int listUnlessBad(const std::string& path, std::vector<std::string>& names) {
    if (path.find(gUnlistable) != std::string::npos) return EACCES;
    platform::hooks().listDirectory = nullptr;
    int rc = platform::listDirectory(path, names);
    platform::hooks().listDirectory = listUnlessBad;
    return rc;
}

TEST_F(DispatcherTest, AnUnlistableDirectoryEndsTheRunAfterTheOthersAreWritten) {
    gUnlistable = "/10.0.0.66/";
    platform::hooks().listDirectory = listUnlessBad;
    std::string trace;
    {
        testutil::StdoutCapture out;
        DispatcherThread t(s);
        t.list.append(message{"10.0.0.1", "kept"});
        t.list.append(message{"10.0.0.66", "cannot"});
        ASSERT_TRUE(waitFor([&] { return t.control.dispatcherDone.load(); }));
        t.stop();
        EXPECT_EQ(t.control.exitStatus, 1);
        trace = out.take();
    }
    platform::hooks().listDirectory = nullptr;
    EXPECT_NE(
        trace.find("Invalid File Handle. GetLastError reports " + std::to_string(EACCES) + "\n"),
        std::string::npos)
        << trace;
    EXPECT_EQ(logOf("10.0.0.1", "09122008"), "09-12-2008;18:27;10.0.0.1;kept\r\n");
}

}  // namespace
