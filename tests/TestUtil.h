// Shared helpers for the tests: a fresh temporary directory per test, reading files back,
// running the real binary.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

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

// Seconds since the epoch of a local date and time (mktime).
time_t localTimeOf(int year, int month, int day, int hour, int minute, int second = 0);

}  // namespace testutil
