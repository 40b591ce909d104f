// Shared helpers for the tests: a fresh temporary directory per test, reading files back,
// running the real binary.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace testutil {

// Creates a fresh directory under /tmp; removes it (recursively) when destroyed.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Fixture: every test gets its own temporary directory, dir.
class TempDirTest : public ::testing::Test {
  protected:
    TempDir dir;
};

std::string readFile(const std::string& path);  // whole file as bytes; "" when missing
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
std::vector<std::string> listNames(const std::string& dir);  // sorted, without . and ..
std::string gunzipFile(const std::string& path);             // decompressed bytes; throws on error
void removeTree(const std::string& path);

// Runs a command line through /bin/sh, returns its exit status; stdout/stderr captured.
struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};
RunResult runCommand(const std::string& commandLine, const std::string& workDir = "");

// Path of the brindleaf binary under test.
std::string binaryPath();

// Captures what the current process writes to its standard output (fd 1) between
// construction and take().
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    std::string take();

  private:
    int saved_ = -1;
    std::string file_;
    bool taken_ = false;
};

// Same for standard error (fd 2).
class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    std::string take();

  private:
    int saved_ = -1;
    std::string file_;
    bool taken_ = false;
};

// Pins the platform clock for the life of the object.
class FakeClock {
  public:
    explicit FakeClock(time_t start);
    ~FakeClock();
    void set(time_t t);
    void advance(time_t seconds);
};

// The help text the binary prints, with the program name as typed.
std::string expectedHelpText(const std::string& programName);
// The stored form of a message text, written here independently of the server: control
// bytes but TAB as "#" + three octal digits ("a\nb" -> "a#012b").
std::string expectedStoredText(const std::string& text);

// "DD-MM-YYYY;HH:MM" of t in local time, as log lines carry it.
std::string stampOf(time_t t);
// Every such stamp the wall clock showed from `from` to `to`: a line stamped during a run
// carries one of them (today's date, or yesterday's across midnight).
std::set<std::string> stampsBetween(time_t from, time_t to);

// Seconds since the epoch of a local date and time (mktime).
time_t localTimeOf(int year, int month, int day, int hour, int minute, int second = 0);

// ---- The real binary over loopback ------------------------------------------------------

// A UDP port for a test, 20000 + (pid % 1000) * 10 + index (ctest runs test processes side by
// side), moved on by 10000 while something already holds it. index: 0..9.
unsigned short pickUdpPort(unsigned index = 0);

// One UDP socket's row of /proc/net/udp.
struct UdpSocketRow {
    bool found = false;
    unsigned long inode = 0;
    int state = 0;              // 7: bound, unconnected
    unsigned long rxQueue = 0;  // bytes the kernel holds for the reader (buffer accounting)
    unsigned long drops = 0;    // datagrams the kernel dropped for this socket
};
// The rows bound to local `port` (any address).
std::vector<UdpSocketRow> udpSocketsOnPort(unsigned short port);
// "Udp:" RcvbufErrors of /proc/net/snmp: drops of every socket of the machine.
unsigned long udpRcvbufErrors();

// Runs a program (the brindleaf binary by default) in `workDir` by fork/exec, standard input
// /dev/null, standard output and error into files of its own. Signals go to its PID alone;
// the destructor kills (SIGKILL) a process still running.
class ServerProcess {
  public:
    // argv0: the program name as typed (argv[0]); empty: the program path. openFiles > 0: the
    // soft and hard limit of open descriptors of the process (RLIMIT_NOFILE).
    explicit ServerProcess(const std::vector<std::string>& args, const std::string& workDir = "",
                           const std::string& argv0 = "", const std::string& program = "",
                           unsigned openFiles = 0);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // True once this process's own socket is bound to `port` (/proc/net/udp, state 07); false
    // at the timeout or when the process ended first.
    bool waitListening(unsigned short port, int timeoutMs = 10000);
    // True once the kernel holds nothing more for this process's socket on `port`.
    bool waitQueueEmpty(unsigned short port, int timeoutMs = 10000);
    // Waits while the kernel holds more than `bytes` for the socket; false at the timeout.
    bool waitQueueAtMost(unsigned short port, unsigned long bytes, int timeoutMs = 10000);
    // This process's socket on `port`; found is false when it has none.
    UdpSocketRow socketRow(unsigned short port);
    // Waits for the process to end by itself: its status (see stop), -1 at the timeout.
    int wait(int timeoutMs = 10000);
    // Sends `signal`, waits up to timeoutMs, then SIGKILL. Returns the exit code, or 128 + the
    // signal number that ended it.
    int stop(int signal = SIGTERM, int timeoutMs = 30000);
    bool killedAfterTimeout() const { return killed_; }
    std::string out() const;  // standard output so far
    std::string err() const;  // standard error so far

  private:
    TempDir capture_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool killed_ = false;
    bool reap(bool block);
    std::vector<unsigned long> socketInodes() const;
};

// A UDP socket bound to `sourceAddress` (127.0.0.x), sending to 127.0.0.1:port.
class UdpSender {
  public:
    UdpSender(const std::string& sourceAddress, unsigned short port);
    ~UdpSender();
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;
    // One datagram of exactly these bytes; false when the send failed.
    bool send(const std::string& bytes);

  private:
    int fd_ = -1;
    unsigned short port_;
};

// A sender directory's log files (logDDMMYYYY.N.csv, also .csv.gz) concatenated by date, then
// by N as a number (.10 after .9); other names are passed over.
std::string readSenderLog(const std::string& dir);
// The log file names of a directory in that order.
std::vector<std::string> senderLogFiles(const std::string& dir);
// Lines ended by CR LF, without it; bytes after the last CR LF go to *rest.
std::vector<std::string> splitCrLf(const std::string& text, std::string* rest = nullptr);

}  // namespace testutil
