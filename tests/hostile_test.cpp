// What a sender or a failing disk can do to the real binary: bad datagrams, a burst, a disk
// that fills up or turns read-only while lines are written, and the same during archiving.
// Senders are bound to 127.0.0.x and send to 127.0.0.1 only.
#include <errno.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"

using testutil::ServerProcess;
using testutil::stampOf;
using testutil::stampsBetween;
using testutil::UdpSender;

namespace {

// ---- Expected lines ----------------------------------------------------------------------

// The bytes (all of a sender directory's files in date and number order) are exactly these
// lines: stamp within `stamps`, ";" address ";", the stored text, CR LF. Nothing else.
::testing::AssertionResult holdsExactly(const std::string& bytes, const std::string& address,
                                        const std::vector<std::string>& storedTexts,
                                        const std::set<std::string>& stamps) {
    std::string rest;
    const std::vector<std::string> lines = testutil::splitCrLf(bytes, &rest);
    if (!rest.empty())
        return ::testing::AssertionFailure()
               << "bytes after the last CR LF: \"" << rest.substr(0, 80) << "\"";
    if (lines.size() != storedTexts.size())
        return ::testing::AssertionFailure()
               << lines.size() << " lines, expected " << storedTexts.size();
    const std::string middle = ";" + address + ";";
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const std::string stamp = line.substr(0, 16);
        if (!stamps.count(stamp) || line.compare(16, std::string::npos, middle + storedTexts[i]))
            return ::testing::AssertionFailure()
                   << "line " << i << ": \"" << line.substr(0, 120) << "\", expected a stamp of "
                   << *stamps.begin() << ".." << *stamps.rbegin() << " and \""
                   << (middle + storedTexts[i]).substr(0, 120) << "\"";
    }
    return ::testing::AssertionSuccess();
}

// Polls `done` every 20 ms for up to timeoutMs.
bool eventually(const std::function<bool()>& done, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

size_t occurrences(const std::string& text, const std::string& word) {
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

// ---- Bad datagrams -----------------------------------------------------------------------

// `size` bytes starting with `tag`, then a repeating printable pattern.
std::string filled(const std::string& tag, size_t size) {
    std::string s = tag;
    while (s.size() < size) s += static_cast<char>('a' + s.size() % 26);
    s.resize(size);
    return s;
}

class Hostile : public testutil::TempDirTest {
  protected:
    std::string logs() const { return dir.file("logs"); }
    std::string senderDir(const std::string& address) const { return logs() + "/" + address; }
};

TEST_F(Hostile, BadDatagramsGiveExactlyTheirLinesInOrder) {
    std::string everyByte;
    for (int c = 1; c <= 0xff; ++c) everyByte += static_cast<char>(c);
    std::string big = filled("65507:", 65507);
    big[5000] = '\0';  // past the cut: the text is still 1024 bytes
    const std::string nul(1, '\0');
    struct Case {
        const char* name;
        std::string datagram;
        bool line;
        std::string stored;  // the text part of the line
    } cases[] = {
        {"empty", "", false, ""},
        {"NUL first", nul + "after", false, ""},
        {"NUL inside", "before" + nul + "after", true, "before"},
        {"LF before NUL", "lf\n" + nul + "junk", true, "lf"},
        {"1023 bytes", filled("1023:", 1023), true, filled("1023:", 1023)},
        {"1024 bytes", filled("1024:", 1024), true, filled("1024:", 1024)},
        {"1025 bytes", filled("1025:", 1025), true, filled("1025:", 1024)},
        // The cut comes first: an LF past byte 1024 is not the text's line end...
        {"1025 bytes ending in LF", filled("1024+LF:", 1024) + "\n", true,
         filled("1024+LF:", 1024)},
        // ...and a CR LF across the cut leaves its CR.
        {"1025 bytes ending in CR LF", filled("1023+CRLF:", 1023) + "\r\n", true,
         filled("1023+CRLF:", 1023) + "#015"},
        {"9000 bytes", filled("9000:", 9000), true, filled("9000:", 1024)},
        {"65507 bytes", big, true, big.substr(0, 1024)},
        {"only LF", "\n", false, ""},
        {"only CR LF", "\r\n", false, ""},
        {"trailing LF", "trailing\n", true, "trailing"},
        {"only one line end goes", "two\r\n\r\n", true, "two#015#012"},
        {"a CR alone stays", "cr\r", true, "cr#015"},
        {"inner CR, LF and ESC", "a\rb\nc\x1b[2Jd", true, "a#015b#012c#033[2Jd"},
        {"forged second line", "x\r\n11-12-2026;12:00;10.0.0.7;forged", true,
         "x#015#01211-12-2026;12:00;10.0.0.7;forged"},
        {"every byte 0x01 to 0xFF", everyByte, true, testutil::expectedStoredText(everyByte)},
        {"invalid UTF-8", "\xc3\x28|\xa0\xa1|\xed\xa0\x80|\xf8\x88\x80\x80\x80|\xc0\xaf|\xfe\xff",
         true, "\xc3\x28|\xa0\xa1|\xed\xa0\x80|\xf8\x88\x80\x80\x80|\xc0\xaf|\xfe\xff"},
        {"the last", "last", true, "last"},
    };
    // The table itself: each stored text is the escaped form of what the rules keep.
    ASSERT_EQ(testutil::expectedStoredText("a\rb\nc\x1b[2Jd"), "a#015b#012c#033[2Jd");

    const unsigned short port = testutil::pickUdpPort(0);
    const time_t begin = time(nullptr);
    ServerProcess server({"-p", std::to_string(port), "-od", logs()}, dir.path());
    ASSERT_TRUE(server.waitListening(port)) << server.err();
    UdpSender sender("127.0.0.2", port);
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        ASSERT_TRUE(sender.send(c.datagram)) << c.name << ": " << std::strerror(errno);
        if (c.line) expected.push_back(c.stored);
    }
    ASSERT_TRUE(server.waitQueueEmpty(port));
    EXPECT_EQ(server.socketRow(port).drops, 0u);
    EXPECT_EQ(server.stop(), 0) << server.err();
    EXPECT_EQ(server.err(), "");

    EXPECT_EQ(testutil::listNames(logs()), std::vector<std::string>{"127.0.0.2"});
    const std::string bytes = testutil::readSenderLog(senderDir("127.0.0.2"));
    EXPECT_TRUE(holdsExactly(bytes, "127.0.0.2", expected, stampsBetween(begin, time(nullptr))));
    // Named cases, for a readable failure.
    std::string rest;
    const std::vector<std::string> lines = testutil::splitCrLf(bytes, &rest);
    size_t at = 0;
    for (const Case& c : cases) {
        if (!c.line) continue;
        if (at >= lines.size()) {
            ADD_FAILURE() << c.name << ": no line";
            break;
        }
        EXPECT_EQ(lines[at].substr(std::min<size_t>(27, lines[at].size())), c.stored) << c.name;
        ++at;
    }
}

// A tight burst from one sender: every datagram the kernel handed over is one line, in order.
// The kernel may drop datagrams of a burst that outruns the reader (a slow sanitizer build);
// those are counted for the socket, and only those may be missing.
TEST_F(Hostile, TightBurstFromOneSenderKeepsEveryLineInOrder) {
    constexpr int kMessages = 10000;
    const unsigned short port = testutil::pickUdpPort(0);
    const time_t begin = time(nullptr);
    ServerProcess server({"-p", std::to_string(port), "-od", logs()}, dir.path());
    ASSERT_TRUE(server.waitListening(port)) << server.err();
    UdpSender sender("127.0.0.3", port);
    std::vector<std::string> texts;
    for (int i = 0; i < kMessages; ++i)
        texts.push_back("burst " + std::to_string(i) + " " + std::string(i % 97, '='));
    const auto started = std::chrono::steady_clock::now();
    for (const std::string& t : texts) ASSERT_TRUE(sender.send(t));
    const double sendMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    ASSERT_TRUE(server.waitQueueEmpty(port, 30000));
    const unsigned long drops = server.socketRow(port).drops;
    EXPECT_EQ(server.stop(), 0) << server.err();
    EXPECT_EQ(server.err(), "");
    std::cout << "[ info ] " << kMessages << " datagrams sent in " << sendMs
              << " ms; the kernel dropped " << drops << "\n";

    std::string rest;
    const std::vector<std::string> lines =
        testutil::splitCrLf(testutil::readSenderLog(senderDir("127.0.0.3")), &rest);
    EXPECT_EQ(rest, "");
    const std::set<std::string> stamps = stampsBetween(begin, time(nullptr));
    // Lines are a subsequence of the texts, in order, none twice.
    size_t next = 0;
    for (const std::string& line : lines) {
        ASSERT_TRUE(stamps.count(line.substr(0, 16))) << line;
        ASSERT_EQ(line.substr(16, 11), ";127.0.0.3;") << line;
        const std::string text = line.substr(27);
        while (next < texts.size() && texts[next] != text) ++next;
        ASSERT_LT(next, texts.size()) << "out of order, twice or never sent: " << text;
        ++next;
    }
    EXPECT_EQ(lines.size() + drops, static_cast<size_t>(kMessages));
}

// ---- Disk faults -------------------------------------------------------------------------

// The server's wall clock runs `offset` seconds ahead of the real one: libfaketime re-reads
// the offset from a file at every call, so the test moves the clock while the server runs.
class FakeClockFile {
  public:
    static constexpr const char* kLibrary = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
    static bool available() { return access(kLibrary, R_OK) == 0; }

    explicit FakeClockFile(std::string path) : path_(std::move(path)) { setOffset(0); }
    const std::string& path() const { return path_; }
    long offset() const { return offset_; }
    time_t now() const { return time(nullptr) + offset_; }
    // Written aside and renamed: the server never reads half a file.
    void setOffset(long seconds) {
        offset_ = seconds;
        testutil::writeFile(path_ + ".new",
                            (seconds < 0 ? "" : "+") + std::to_string(seconds) + "s\n");
        ASSERT_EQ(std::rename((path_ + ".new").c_str(), path_.c_str()), 0);
    }
    // The offset at which the server's clock reads `target` now.
    void setNow(time_t target) { setOffset(static_cast<long>(target - time(nullptr))); }

  private:
    std::string path_;
    long offset_ = 0;
};

// Sets environment variables for the children forked while it lives.
class ScopedEnv {
  public:
    void set(const std::string& name, const std::string& value) {
        const char* old = std::getenv(name.c_str());
        saved_.push_back({name, old != nullptr, old ? old : ""});
        setenv(name.c_str(), value.c_str(), 1);
    }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->existed)
                setenv(it->name.c_str(), it->value.c_str(), 1);
            else
                unsetenv(it->name.c_str());
        }
    }

  private:
    struct Saved {
        std::string name;
        bool existed;
        std::string value;
    };
    std::vector<Saved> saved_;
};

// Each test gets a 256 KiB tmpfs of its own as the disk of the output directory, unmounted
// in TearDown whatever happened.
class DiskFault : public testutil::TempDirTest {
  protected:
    void SetUp() override {
        disk_ = dir.file("disk");
        ASSERT_EQ(mkdir(disk_.c_str(), 0755), 0);
        if (mount("tmpfs", disk_.c_str(), "tmpfs", 0, "size=256k,mode=0755") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) umount2(disk_.c_str(), MNT_DETACH);
    }

    std::string logs() const { return disk_ + "/logs"; }
    std::string senderDir(const std::string& address) const { return logs() + "/" + address; }
    std::string filler() const { return disk_ + "/filler"; }

    // Fills the disk to its last byte (tmpfs counts whole pages: also the tail of a page that
    // a log file already holds stays writable, so callers send more than a page after it).
    void fill() {
        int fd = open(filler().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        const std::string chunk(16384, 'F');
        for (size_t size = chunk.size(); size > 0; size /= 2) {
            while (write(fd, chunk.data(), size) == static_cast<ssize_t>(size)) {
            }
        }
        close(fd);
        ASSERT_NE(write1(), 0) << "the disk is not full";
    }
    void unfill() { ASSERT_EQ(unlink(filler().c_str()), 0); }
    // 0 when one more byte fits in a new file, else its errno.
    int write1() {
        const std::string probe = disk_ + "/probe";
        int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) return errno;
        int e = write(fd, "x", 1) == 1 ? 0 : errno;
        close(fd);
        unlink(probe.c_str());
        return e;
    }
    void remount(bool readOnly) {
        const unsigned long flags =
            MS_REMOUNT | (readOnly ? static_cast<unsigned long>(MS_RDONLY) : 0ul);
        // A file the server holds open for writing makes the switch to read-only busy.
        ASSERT_TRUE(eventually([&] {
            return mount("tmpfs", disk_.c_str(), "tmpfs", flags, "size=256k,mode=0755") == 0;
        })) << std::strerror(errno);
    }

    // The server with its clock taken from `clock` (libfaketime); the monotonic clock stays
    // real, so its sleeps and timeouts run as they should.
    std::unique_ptr<ServerProcess> startWithClock(const std::vector<std::string>& args,
                                                  const FakeClockFile& clock) {
        ScopedEnv env;
        env.set("LD_PRELOAD", FakeClockFile::kLibrary);
        env.set("FAKETIME_TIMESTAMP_FILE", clock.path());
        env.set("FAKETIME_NO_CACHE", "1");
        env.set("FAKETIME_DONT_FAKE_MONOTONIC", "1");
        // A sanitizer runtime would refuse a library preloaded before it.
        const char* asan = std::getenv("ASAN_OPTIONS");
        env.set("ASAN_OPTIONS", std::string(asan ? asan : "") + (asan && *asan ? ":" : "") +
                                    "verify_asan_link_order=0");
        return std::unique_ptr<ServerProcess>(new ServerProcess(args, dir.path()));
    }

    // With -o the dispatcher echoes each message once it holds it as a line: only then may
    // the clock move, or the line would carry the moved time.
    static bool handled(ServerProcess& server, size_t messages) {
        return eventually(
            [&] { return occurrences(server.out(), "] - [127.0.0.2] ") >= messages; });
    }

    std::string disk_;
    bool mounted_ = false;
};

// Lines of `count` texts of about `size` bytes each, numbered from `first`.
std::vector<std::string> texts(const std::string& tag, int first, int count, size_t size = 300) {
    std::vector<std::string> out;
    for (int i = first; i < first + count; ++i)
        out.push_back(filled(tag + " " + std::to_string(i) + " ", size));
    return out;
}

void sendAll(UdpSender& sender, const std::vector<std::string>& texts,
             std::vector<std::string>& sent) {
    for (const std::string& t : texts) {
        ASSERT_TRUE(sender.send(t));
        sent.push_back(t);
    }
}

// Write-outs (-fs 2: every 2 KiB of lines) while the disk is full or read-only: one report,
// the server goes on, and after the disk is back the stop writes the rest, each line once.
TEST_F(DiskFault, FaultWhileRunningIsReportedOnceAndTheRestWrittenAtTheStop) {
    struct Fault {
        const char* name;
        const char* reason;
        std::function<void()> begin, end;
    } faults[] = {
        {"disk full", "No space left on device", [this] { fill(); }, [this] { unfill(); }},
        {"read-only", "Read-only file system", [this] { remount(true); },
         [this] { remount(false); }},
    };
    const unsigned short port = testutil::pickUdpPort(0);
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        testutil::removeTree(logs());
        const time_t begin = time(nullptr);
        ServerProcess server({"-p", std::to_string(port), "-od", logs(), "-fs", "2"}, dir.path());
        ASSERT_TRUE(server.waitListening(port)) << server.err();
        UdpSender sender("127.0.0.2", port);
        std::vector<std::string> sent;
        sendAll(sender, texts("before", 0, 12), sent);
        ASSERT_TRUE(server.waitQueueEmpty(port));
        ASSERT_TRUE(
            eventually([&] { return !testutil::readSenderLog(senderDir("127.0.0.2")).empty(); }));

        fault.begin();
        if (HasFatalFailure()) return;
        // Entries keep coming over more than a second, so write-outs are tried again.
        for (int round = 0; round < 3; ++round) {
            sendAll(sender, texts("during", round * 10, 10), sent);
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
        }
        ASSERT_TRUE(server.waitQueueEmpty(port));
        ASSERT_TRUE(eventually([&] {
            return server.err().find(fault.reason) != std::string::npos;
        })) << server.err();
        EXPECT_TRUE(server.running());

        fault.end();
        if (HasFatalFailure()) return;
        sendAll(sender, texts("after", 0, 3), sent);
        ASSERT_TRUE(server.waitQueueEmpty(port));
        EXPECT_EQ(server.stop(), 0) << server.err();

        const std::string err = server.err();
        EXPECT_EQ(occurrences(err, "brindleaf: cannot write "), 1u) << err;
        EXPECT_EQ(occurrences(err, ": " + std::string(fault.reason) + "\n"), 1u) << err;
        EXPECT_LE(occurrences(err, "\n"), 2u) << err;  // and at most the recovery line
        std::vector<std::string> stored;
        for (const std::string& t : sent) stored.push_back(testutil::expectedStoredText(t));
        EXPECT_TRUE(holdsExactly(testutil::readSenderLog(senderDir("127.0.0.2")), "127.0.0.2",
                                 stored, stampsBetween(begin, time(nullptr))));
    }
}

// The stop retries for 5 s: a disk that comes back within them gets every line (exit 0); one
// that does not is counted on standard error (exit 1).
TEST_F(DiskFault, FullDiskAtTheStop) {
    struct Case {
        const char* name;
        int freeAfterMs;  // < 0: never
        int status;
    } cases[] = {{"space returns during the retries", 1500, 0}, {"it never does", -1, 1}};
    const unsigned short port = testutil::pickUdpPort(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testutil::removeTree(logs());
        const time_t begin = time(nullptr);
        ServerProcess server({"-p", std::to_string(port), "-od", logs()}, dir.path());
        ASSERT_TRUE(server.waitListening(port)) << server.err();
        UdpSender sender("127.0.0.2", port);
        std::vector<std::string> sent;
        sendAll(sender, texts("held", 0, 5), sent);
        ASSERT_TRUE(server.waitQueueEmpty(port));
        fill();
        if (HasFatalFailure()) return;

        const auto signalled = std::chrono::steady_clock::now();
        std::thread freer;
        if (c.freeAfterMs >= 0) {
            freer = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.freeAfterMs));
                unlink(filler().c_str());
            });
        }
        const int status = server.stop(SIGTERM, 20000);
        if (freer.joinable()) freer.join();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
        EXPECT_EQ(status, c.status) << server.err();
        EXPECT_FALSE(server.killedAfterTimeout());

        const std::string err = server.err();
        const std::string bytes = testutil::readSenderLog(senderDir("127.0.0.2"));
        if (c.status == 0) {
            std::vector<std::string> stored;
            for (const std::string& t : sent) stored.push_back(testutil::expectedStoredText(t));
            EXPECT_TRUE(
                holdsExactly(bytes, "127.0.0.2", stored, stampsBetween(begin, time(nullptr))));
            EXPECT_EQ(occurrences(err, "could not be written"), 0u) << err;
        } else {
            EXPECT_EQ(bytes, "");
            EXPECT_GE(seconds, 4.5);
            EXPECT_EQ(occurrences(err, "brindleaf: 5 lines could not be written\n"), 1u) << err;
            EXPECT_EQ(occurrences(err, "No space left on device"), 1u) << err;
            unfill();
        }
    }
}

// Without a stop: a write pass (due 61 s after the last one: the clock is moved) that fails
// keeps the lines, and a later pass writes them once space has returned.
TEST_F(DiskFault, FullDiskAtAPassIsRetriedAtTheNextPass) {
    if (!FakeClockFile::available()) GTEST_SKIP() << "libfaketime missing";
    FakeClockFile clock(dir.file("clock"));
    const unsigned short port = testutil::pickUdpPort(0);
    const time_t begin = clock.now();
    auto server = startWithClock({"-o", "-p", std::to_string(port), "-od", logs()}, clock);
    ASSERT_TRUE(server->waitListening(port)) << server->err();
    UdpSender sender("127.0.0.2", port);
    const std::string dir2 = senderDir("127.0.0.2");
    std::vector<std::string> sent, stored;
    auto storedNow = [&] {
        stored.clear();
        for (const std::string& t : sent) stored.push_back(testutil::expectedStoredText(t));
    };

    sendAll(sender, texts("first", 0, 3), sent);
    ASSERT_TRUE(handled(*server, sent.size()));
    EXPECT_EQ(testutil::readSenderLog(dir2), "") << "written before any pass";
    clock.setOffset(65);
    storedNow();
    ASSERT_TRUE(eventually([&] {
        return holdsExactly(testutil::readSenderLog(dir2), "127.0.0.2", stored,
                            stampsBetween(begin, clock.now()));
    })) << "the pass 65 s later did not write";

    fill();
    sendAll(sender, texts("second", 0, 20), sent);  // more than the page the file holds
    ASSERT_TRUE(handled(*server, sent.size()));
    clock.setOffset(130);
    ASSERT_TRUE(eventually([&] {
        return server->err().find("No space left") != std::string::npos;
    })) << server->err();
    EXPECT_TRUE(server->running());

    unfill();
    clock.setOffset(195);
    storedNow();
    ASSERT_TRUE(eventually([&] {
        return holdsExactly(testutil::readSenderLog(dir2), "127.0.0.2", stored,
                            stampsBetween(begin, clock.now()));
    })) << "the next pass did not write the rest";

    EXPECT_EQ(server->stop(), 0) << server->err();
    const std::string err = server->err();
    EXPECT_EQ(occurrences(err, "brindleaf: cannot write "), 1u) << err;
    EXPECT_EQ(occurrences(err, "brindleaf: writing "), 1u) << err;
    EXPECT_EQ(occurrences(err, "\n"), 2u) << err;
}

// The roll-over at midnight archives yesterday's file while the disk cannot take the archive
// (full, or with room for a part of it): the log file stays whole and no archive, complete or
// partial, is left beside it.
TEST_F(DiskFault, ArchivingOnAFullDiskKeepsTheLogFile) {
    if (!FakeClockFile::available()) GTEST_SKIP() << "libfaketime missing";
    struct Case {
        const char* name;
        size_t leaveFree;  // bytes freed from the filler again before midnight
    } cases[] = {{"no room at all", 0}, {"room for a part of the archive", 24 * 1024}};
    const unsigned short port = testutil::pickUdpPort(0);
    std::mt19937 random(7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testutil::removeTree(logs());
        unlink(filler().c_str());
        FakeClockFile clock(dir.file("clock"));
        const time_t evening = testutil::localTimeOf(2026, 12, 11, 23, 58, 0);
        clock.setNow(evening);
        auto server = startWithClock({"-o", "-p", std::to_string(port), "-od", logs()}, clock);
        ASSERT_TRUE(server->waitListening(port)) << server->err();
        UdpSender sender("127.0.0.2", port);
        const std::string sdir = senderDir("127.0.0.2");

        // About 100 KiB that gzip cannot shrink much: 120 texts of random letters and digits.
        std::vector<std::string> sent;
        for (int i = 0; i < 120; ++i) {
            std::string t = "day one " + std::to_string(i) + " ";
            while (t.size() < 900)
                t += "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+/"[random() %
                                                                                        64];
            ASSERT_TRUE(sender.send(t));
            sent.push_back(t);
        }
        ASSERT_TRUE(handled(*server, sent.size()));
        clock.setNow(evening + 70);  // 23:59:10: a pass writes day one's file
        const std::string dayOne = "log11122026.0.csv";
        std::vector<std::string> stored;
        for (const std::string& t : sent) stored.push_back(testutil::expectedStoredText(t));
        const std::set<std::string> dayOneStamps = {"11-12-2026;23:58", "11-12-2026;23:59"};
        ASSERT_TRUE(eventually([&] {
            return holdsExactly(testutil::readFile(sdir + "/" + dayOne), "127.0.0.2", stored,
                                dayOneStamps);
        })) << server->err();
        const std::string dayOneBytes = testutil::readFile(sdir + "/" + dayOne);

        fill();
        if (HasFatalFailure()) return;
        if (c.leaveFree > 0) {
            struct stat sb;
            ASSERT_EQ(stat(filler().c_str(), &sb), 0);
            ASSERT_EQ(truncate(filler().c_str(), sb.st_size - static_cast<off_t>(c.leaveFree)), 0);
        }
        clock.setNow(testutil::localTimeOf(2026, 12, 12, 0, 0, 10));
        ASSERT_TRUE(sender.send("day two"));
        sent.push_back("day two");
        ASSERT_TRUE(handled(*server, sent.size()));
        ASSERT_TRUE(eventually([&] {
            return server->err().find("cannot archive") != std::string::npos;
        })) << server->err();
        EXPECT_TRUE(server->running());
        EXPECT_EQ(testutil::readFile(sdir + "/" + dayOne), dayOneBytes);
        for (const std::string& name : testutil::listNames(sdir))
            EXPECT_EQ(name.find(".gz"), std::string::npos) << name;

        unlink(filler().c_str());
        EXPECT_EQ(server->stop(), 0) << server->err();
        EXPECT_EQ(testutil::readFile(sdir + "/" + dayOne), dayOneBytes);
        stored.push_back("day two");
        std::set<std::string> stamps = dayOneStamps;
        stamps.insert("12-12-2026;00:00");
        EXPECT_TRUE(holdsExactly(testutil::readSenderLog(sdir), "127.0.0.2", stored, stamps));
        EXPECT_EQ(testutil::senderLogFiles(sdir),
                  (std::vector<std::string>{dayOne, "log12122026.0.csv"}));
        const std::string err = server->err();
        EXPECT_EQ(occurrences(err, "brindleaf: cannot archive " + sdir + "/" + dayOne + ": "), 1u)
            << err;
    }
}

}  // namespace
