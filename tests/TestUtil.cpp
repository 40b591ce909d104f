#include "TestUtil.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <tuple>

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

std::string expectedHelpText(const std::string& programName) {
    return "BRINDLEAF 1.06 \n"
           "Usage: " +
           programName +
           " [options] \n"
           "\n"
           " Available options: \n"
           "   -o          also output to screen. \n"
           "   -r          log syslog messages, without formatting them to csv. \n"
           "   -fs <size>  log file cut size, how big should the pieces be, in Kilobytes. \n"
           "   -od <dir>   output directory \n"
           "   -p  <port>  port number where the server will listen on. (default: 514) \n"
           "   -?  show this help. \n"
           "\n";
}

std::string expectedStoredText(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            char code[8];
            std::snprintf(code, sizeof code, "#%03o", c);
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string stampOf(time_t t) {
    struct tm local;
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%d-%m-%Y;%H:%M", &local);
    return text;
}

std::set<std::string> stampsBetween(time_t from, time_t to) {
    std::set<std::string> stamps;
    for (time_t t = from; t < to; t += 60) stamps.insert(stampOf(t));
    stamps.insert(stampOf(to));
    return stamps;
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

// ---- The real binary over loopback ------------------------------------------------------

namespace {
int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

unsigned short pickUdpPort(unsigned index) {
    const unsigned base = 20000 + static_cast<unsigned>(getpid() % 1000) * 10 + index % 10;
    for (unsigned k = 0; k < 3; ++k) {
        const auto port = static_cast<unsigned short>(base + k * 10000);
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) break;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(port);
        const bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (free) return port;
    }
    throw std::runtime_error("no free UDP port for index " + std::to_string(index));
}

std::vector<UdpSocketRow> udpSocketsOnPort(unsigned short port) {
    std::vector<UdpSocketRow> rows;
    std::istringstream in(readFile("/proc/net/udp"));
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops
        std::istringstream f(line);
        std::string sl, local, remote, st, queues, timer, retr, uid, timeout, inode, ref, ptr,
            drops;
        if (!(f >> sl >> local >> remote >> st >> queues >> timer >> retr >> uid >> timeout >>
              inode >> ref >> ptr >> drops))
            continue;
        const size_t colon = local.find(':');
        if (colon == std::string::npos || std::stoul(local.substr(colon + 1), nullptr, 16) != port)
            continue;
        UdpSocketRow row;
        row.found = true;
        row.state = static_cast<int>(std::stoul(st, nullptr, 16));
        row.rxQueue = std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16);
        row.inode = std::stoul(inode);
        row.drops = std::stoul(drops);
        rows.push_back(row);
    }
    return rows;
}

unsigned long udpRcvbufErrors() {
    // Two "Udp:" lines: the names, then the values.
    std::istringstream in(readFile("/proc/net/snmp"));
    std::string line, names;
    while (std::getline(in, line)) {
        if (line.compare(0, 4, "Udp:") != 0) continue;
        if (names.empty()) {
            names = line;
            continue;
        }
        std::istringstream n(names), v(line);
        std::string name, value;
        while (n >> name && v >> value) {
            if (name == "RcvbufErrors") return std::stoul(value);
        }
    }
    return 0;
}

ServerProcess::ServerProcess(const std::vector<std::string>& args, const std::string& workDir,
                             const std::string& argv0, const std::string& program,
                             unsigned openFiles) {
    const std::string path = program.empty() ? binaryPath() : program;
    std::vector<std::string> words;
    words.push_back(argv0.empty() ? path : argv0);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    const std::string outFile = capture_.file("out"), errFile = capture_.file("err");

    // Only async-signal-safe calls between fork and exec.
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        if (openFiles > 0) {
            struct rlimit limit = {openFiles, openFiles};
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
        }
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
        int in = open("/dev/null", O_RDONLY);
        int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        close(in);
        close(out);
        close(err);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0 && !reap(false)) {
        kill(pid_, SIGKILL);
        reap(true);
    }
}

bool ServerProcess::reap(bool block) {
    if (status_ >= 0) return true;
    int st = 0;
    pid_t r;
    do {
        r = waitpid(pid_, &st, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r != pid_) return false;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : 255;
    return true;
}

bool ServerProcess::running() {
    return !reap(false);
}

int ServerProcess::wait(int timeoutMs) {
    const int64_t deadline = steadyMs() + timeoutMs;
    while (!reap(false)) {
        if (steadyMs() >= deadline) return -1;
        usleep(2000);
    }
    return status_;
}

int ServerProcess::stop(int signal, int timeoutMs) {
    if (reap(false)) return status_;
    kill(pid_, signal);
    if (wait(timeoutMs) < 0) {
        killed_ = true;
        kill(pid_, SIGKILL);
        reap(true);
    }
    return status_;
}

std::vector<unsigned long> ServerProcess::socketInodes() const {
    std::vector<unsigned long> inodes;
    const std::string fdDir = "/proc/" + std::to_string(pid_) + "/fd";
    for (const std::string& name : listNames(fdDir)) {
        char target[128];
        ssize_t n = readlink((fdDir + "/" + name).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        unsigned long inode = 0;
        if (std::sscanf(target, "socket:[%lu]", &inode) == 1) inodes.push_back(inode);
    }
    return inodes;
}

UdpSocketRow ServerProcess::socketRow(unsigned short port) {
    const std::vector<UdpSocketRow> rows = udpSocketsOnPort(port);
    if (rows.empty() || !running()) return UdpSocketRow();
    const std::vector<unsigned long> mine = socketInodes();
    for (const UdpSocketRow& row : rows) {
        if (std::find(mine.begin(), mine.end(), row.inode) != mine.end()) return row;
    }
    return UdpSocketRow();
}

bool ServerProcess::waitListening(unsigned short port, int timeoutMs) {
    const int64_t deadline = steadyMs() + timeoutMs;
    for (;;) {
        const UdpSocketRow row = socketRow(port);
        if (row.found && row.state == 7) return true;
        if (!running() || steadyMs() >= deadline) return false;
        usleep(5000);
    }
}

bool ServerProcess::waitQueueAtMost(unsigned short port, unsigned long bytes, int timeoutMs) {
    const int64_t deadline = steadyMs() + timeoutMs;
    for (;;) {
        const UdpSocketRow row = socketRow(port);
        if (!row.found) return false;
        if (row.rxQueue <= bytes) return true;
        if (steadyMs() >= deadline) return false;
        usleep(500);
    }
}

bool ServerProcess::waitQueueEmpty(unsigned short port, int timeoutMs) {
    return waitQueueAtMost(port, 0, timeoutMs);
}

std::string ServerProcess::out() const {
    return readFile(capture_.file("out"));
}
std::string ServerProcess::err() const {
    return readFile(capture_.file("err"));
}

UdpSender::UdpSender(const std::string& sourceAddress, unsigned short port) : port_(port) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (inet_pton(AF_INET, sourceAddress.c_str(), &a.sin_addr) != 1 ||
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        const std::string why = std::strerror(errno);
        close(fd_);
        throw std::runtime_error("cannot bind a sender to " + sourceAddress + ": " + why);
    }
}

UdpSender::~UdpSender() {
    if (fd_ >= 0) close(fd_);
}

bool UdpSender::send(const std::string& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port_);
    ssize_t n =
        sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return n == static_cast<ssize_t>(bytes.size());
}

namespace {
struct LogFileKey {
    int year, month, day;
    unsigned long long number;
    std::string name;
    bool operator<(const LogFileKey& o) const {
        return std::tie(year, month, day, number, name) <
               std::tie(o.year, o.month, o.day, o.number, o.name);
    }
};
}  // namespace

std::vector<std::string> senderLogFiles(const std::string& dir) {
    static const std::regex pattern(R"(log(\d\d)(\d\d)(\d{4})\.(\d{1,18})\.csv(\.gz)?)");
    std::vector<LogFileKey> keys;
    for (const std::string& name : listNames(dir)) {
        std::smatch m;
        if (!std::regex_match(name, m, pattern)) continue;
        keys.push_back(
            {std::stoi(m[3]), std::stoi(m[2]), std::stoi(m[1]), std::stoull(m[4]), name});
    }
    std::sort(keys.begin(), keys.end());
    std::vector<std::string> names;
    for (const LogFileKey& k : keys) names.push_back(k.name);
    return names;
}

std::string readSenderLog(const std::string& dir) {
    std::string all;
    for (const std::string& name : senderLogFiles(dir)) {
        const std::string path = dir + "/" + name;
        const bool gz = name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0;
        all += gz ? gunzipFile(path) : readFile(path);
    }
    return all;
}

std::vector<std::string> splitCrLf(const std::string& text, std::string* rest) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (rest) *rest = text.substr(start);
    return lines;
}

}  // namespace testutil
