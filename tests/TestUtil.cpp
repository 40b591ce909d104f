#include "TestUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform.h"

namespace testutil {

TempDir::TempDir() {
    char tmpl[] = "/tmp/brindleaf-test-XXXXXX";
    char* made = mkdtemp(tmpl);
    if (!made) throw std::runtime_error("mkdtemp failed");
    path_ = made;
}

TempDir::~TempDir() {
    removeTree(path_);
}

void removeTree(const std::string& path) {
    struct stat sb;
    if (lstat(path.c_str(), &sb) != 0) return;
    if (S_ISDIR(sb.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR* d = opendir(path.c_str())) {
            std::vector<std::string> names;
            while (struct dirent* e = readdir(d)) {
                if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                    names.push_back(e->d_name);
            }
            closedir(d);
            for (const auto& n : names) removeTree(path + "/" + n);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool fileExists(const std::string& path) {
    struct stat sb;
    return lstat(path.c_str(), &sb) == 0;
}

std::vector<std::string> listNames(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string gunzipFile(const std::string& path) {
    gzFile gz = gzopen(path.c_str(), "rb");
    if (!gz) throw std::runtime_error("gzopen failed: " + path);
    std::string out;
    char buf[65536];
    int n;
    while ((n = gzread(gz, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    int errnum = 0;
    const char* msg = gzerror(gz, &errnum);
    std::string error = (n < 0 || errnum < 0) ? std::string(msg ? msg : "gzread failed") : "";
    gzclose(gz);
    if (!error.empty()) throw std::runtime_error(error + ": " + path);
    return out;
}

RunResult runCommand(const std::string& commandLine, const std::string& workDir) {
    TempDir capture;
    std::string outFile = capture.file("out"), errFile = capture.file("err");
    std::string cmd;
    if (!workDir.empty()) cmd = "cd '" + workDir + "' && ";
    cmd += "( " + commandLine + " ) >'" + outFile + "' 2>'" + errFile + "' </dev/null";
    RunResult r;
    int rc = std::system(cmd.c_str());
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = readFile(outFile);
    r.err = readFile(errFile);
    return r;
}

std::string binaryPath() {
    const char* env = std::getenv("BRINDLEAF_BINARY");
    return env && *env ? env : BRINDLEAF_BINARY;
}

namespace {
int redirect(int fd, std::string& file) {
    char tmpl[] = "/tmp/brindleaf-capture-XXXXXX";
    int tmp = mkstemp(tmpl);
    file = tmpl;
    std::fflush(nullptr);
    int saved = dup(fd);
    dup2(tmp, fd);
    close(tmp);
    return saved;
}
std::string restore(int fd, int saved, const std::string& file) {
    std::fflush(nullptr);
    dup2(saved, fd);
    close(saved);
    std::string text = readFile(file);
    unlink(file.c_str());
    return text;
}
}  // namespace

StdoutCapture::StdoutCapture() {
    saved_ = redirect(1, file_);
}
StdoutCapture::~StdoutCapture() {
    if (!taken_) take();
}
std::string StdoutCapture::take() {
    taken_ = true;
    return restore(1, saved_, file_);
}

StderrCapture::StderrCapture() {
    saved_ = redirect(2, file_);
}
StderrCapture::~StderrCapture() {
    if (!taken_) take();
}
std::string StderrCapture::take() {
    taken_ = true;
    return restore(2, saved_, file_);
}

FakeClock::FakeClock(time_t start) {
    platform::setFakeTime(start);
}
FakeClock::~FakeClock() {
    platform::clearFakeTime();
}
void FakeClock::set(time_t t) {
    platform::setFakeTime(t);
}
void FakeClock::advance(time_t seconds) {
    platform::advanceFakeTime(seconds);
}

time_t localTimeOf(int year, int month, int day, int hour, int minute, int second) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
}

}  // namespace testutil
