// Soak run: the real server under a steady moderate load from many senders while its wall
// clock (libfaketime) crosses two midnights, then SIGTERM. Afterwards every message must be on
// disk or in an archive exactly once and in order, and the server's RSS and open descriptors
// must not have grown. Prints the figures; exits 1 when a check fails.
//
//   soak [--seconds 180] [--rate 2000] [--senders 50] [--fs 128] [--keep]
//
// Sender s (0-based) sends from 127.0.0.(2+s) to 127.0.0.1 the texts "soak s=<s> n=<n> ...",
// n counting up from 0. The clock: for the first half of the run it is the real clock moved to
// a quarter of the run before midnight of 11 Dec 2026; at half time it jumps to a quarter of
// the run before the next midnight. So day 11's files are archived at the first midnight, day
// 12's at the second, day 13's stay as they are.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#ifndef BRINDLEAF_BINARY
#define BRINDLEAF_BINARY "brindleaf"
#endif

extern char** environ;

namespace {

constexpr const char* kFakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";

struct Options {
    double seconds = 180;
    double rate = 2000;  // messages per second, all senders together
    int senders = 50;
    int fileKilobytes = 128;
    bool keep = false;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "soak: %s\nusage: soak [--seconds S (20..1800)] [--rate R (1..50000)] "
                 "[--senders N (1..200)] [--fs KB] [--keep]\n",
                 why);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> double {
            if (i + 1 >= argc) usage(("missing value of " + a).c_str());
            return std::atof(argv[++i]);
        };
        if (a == "--seconds")
            o.seconds = value();
        else if (a == "--rate")
            o.rate = value();
        else if (a == "--senders")
            o.senders = static_cast<int>(value());
        else if (a == "--fs")
            o.fileKilobytes = static_cast<int>(value());
        else if (a == "--keep")
            o.keep = true;
        else
            usage(("unknown option " + a).c_str());
    }
    if (o.seconds < 20 || o.seconds > 1800) usage("--seconds out of range");
    if (o.rate < 1 || o.rate > 50000) usage("--rate out of range");
    if (o.senders < 1 || o.senders > 200) usage("--senders out of range");
    if (o.fileKilobytes < 1 || o.fileKilobytes > 2097151) usage("--fs out of range");
    return o;
}

double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool gunzip(const std::string& path, std::string& out) {
    gzFile gz = gzopen(path.c_str(), "rb");
    if (!gz) return false;
    char buf[65536];
    int n;
    while ((n = gzread(gz, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    int errnum = 0;
    gzerror(gz, &errnum);
    gzclose(gz);
    return n == 0 && errnum == Z_OK;
}

std::vector<std::string> listNames(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void removeTree(const std::string& path) {
    struct stat sb;
    if (lstat(path.c_str(), &sb) != 0) return;
    if (S_ISDIR(sb.st_mode))
        for (const std::string& n : listNames(path)) removeTree(path + "/" + n);
    if (S_ISDIR(sb.st_mode))
        rmdir(path.c_str());
    else
        unlink(path.c_str());
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

// The server's clock: real time plus an offset read from a file at every call.
void setClock(const std::string& file, time_t target) {
    const long offset = static_cast<long>(target - time(nullptr));
    {
        std::ofstream out(file + ".new", std::ios::trunc);
        out << (offset < 0 ? "" : "+") << offset << "s\n";
    }
    std::rename((file + ".new").c_str(), file.c_str());
}

long vmRssKb(pid_t pid) {
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// The fewest of a few readings: a log file is open only while a pass writes it.
long openFds(pid_t pid) {
    long fewest = -1;
    for (int i = 0; i < 5; ++i) {
        const long n = static_cast<long>(listNames("/proc/" + std::to_string(pid) + "/fd").size());
        if (fewest < 0 || n < fewest) fewest = n;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return fewest;
}

// Queue and drops of the UDP socket bound to `port` (/proc/net/udp).
bool udpRow(unsigned short port, unsigned long& rxQueue, unsigned long& drops) {
    std::istringstream in(readFile("/proc/net/udp"));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string sl, local, remote, st, queues, t1, t2, t3, t4, inode, ref, ptr, dr;
        if (!(f >> sl >> local >> remote >> st >> queues >> t1 >> t2 >> t3 >> t4 >> inode >> ref >>
              ptr >> dr))
            continue;
        if (std::stoul(local.substr(local.find(':') + 1), nullptr, 16) != port) continue;
        rxQueue = std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16);
        drops = std::stoul(dr);
        return true;
    }
    return false;
}

unsigned short freePort() {
    for (unsigned p = 40000 + static_cast<unsigned>(getpid() % 5000); p < 65000; p += 97) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<unsigned short>(p));
        const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (ok) return static_cast<unsigned short>(p);
    }
    return 0;
}

pid_t startServer(const std::vector<std::string>& args, const std::string& dir,
                  const std::string& clockFile) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string v = *e;
        if (v.compare(0, 11, "LD_PRELOAD=") && v.compare(0, 9, "FAKETIME_")) env.push_back(v);
    }
    env.push_back(std::string("LD_PRELOAD=") + kFakeTime);
    env.push_back("FAKETIME_TIMESTAMP_FILE=" + clockFile);
    env.push_back("FAKETIME_NO_CACHE=1");
    env.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
    std::vector<std::string> words = {BRINDLEAF_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    for (auto& v : env) envp.push_back(&v[0]);
    envp.push_back(nullptr);
    const std::string out = dir + "/server.out", err = dir + "/server.err";
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int n = open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || n < 0 || chdir(dir.c_str()) != 0) _exit(126);
        dup2(n, 0);
        dup2(o, 1);
        dup2(e, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// Waits up to `seconds` for the child; its status, or -1 (then it is killed).
int waitFor(pid_t pid, double seconds) {
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (since(t0) > seconds) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

struct SenderResult {
    long found = 0, missing = 0, duplicated = 0, outOfOrder = 0, foreign = 0;
};

// The sender's files in date, then number order; .csv.gz read through zlib.
SenderResult check(const std::string& dir, int sender, long sent, std::string& problems) {
    static const std::regex name(R"(log(\d\d)(\d\d)(\d{4})\.(\d+)\.csv(\.gz)?)");
    std::vector<std::tuple<int, int, int, long, std::string>> files;
    for (const std::string& n : listNames(dir)) {
        std::smatch m;
        if (!std::regex_match(n, m, name)) {
            problems += " " + dir + "/" + n + ": not a log file name\n";
            continue;
        }
        files.emplace_back(std::stoi(m[3]), std::stoi(m[2]), std::stoi(m[1]), std::stol(m[4]), n);
    }
    std::sort(files.begin(), files.end());
    std::string all;
    for (const auto& f : files) {
        const std::string& n = std::get<4>(f);
        const std::string path = dir + "/" + n;
        if (n.size() > 3 && n.compare(n.size() - 3, 3, ".gz") == 0) {
            if (!gunzip(path, all)) problems += " " + path + ": not a complete gzip file\n";
        } else {
            all += readFile(path);
        }
    }
    SenderResult r;
    std::vector<int> seen(static_cast<size_t>(sent), 0);
    const std::string prefix = "soak s=" + std::to_string(sender) + " n=";
    long last = -1;
    size_t start = 0;
    for (size_t end; (end = all.find("\r\n", start)) != std::string::npos; start = end + 2) {
        // DD-MM-YYYY;HH:MM;address;text
        const size_t text = all.find(';', all.find(';', all.find(';', start) + 1) + 1) + 1;
        if (text == 0 || text > end || all.compare(text, prefix.size(), prefix) != 0) {
            ++r.foreign;
            continue;
        }
        const long n = std::atol(all.c_str() + text + prefix.size());
        if (n < 0 || n >= sent) {
            ++r.foreign;
            continue;
        }
        ++r.found;
        if (seen[static_cast<size_t>(n)]++ > 0) ++r.duplicated;
        if (n <= last) ++r.outOfOrder;
        last = n;
    }
    if (start != all.size()) problems += " " + dir + ": bytes after the last line end\n";
    for (int s : seen) r.missing += s == 0;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    if (access(kFakeTime, R_OK) != 0) {
        std::fprintf(stderr, "soak: %s missing (Debian package libfaketime)\n", kFakeTime);
        return 2;
    }
    char tmpl[] = "/tmp/brindleaf-soak-XXXXXX";
    if (!mkdtemp(tmpl)) return 2;
    const std::string dir = tmpl, logs = dir + "/logs", clockFile = dir + "/clock";
    const unsigned short port = freePort();

    const time_t midnight1 = localTimeOf(2026, 12, 12, 0, 0, 0);
    const time_t midnight2 = localTimeOf(2026, 12, 13, 0, 0, 0);
    const time_t quarter = static_cast<time_t>(o.seconds / 4);
    setClock(clockFile, midnight1 - quarter);
    const pid_t pid = startServer(
        {"-p", std::to_string(port), "-od", logs, "-fs", std::to_string(o.fileKilobytes)}, dir,
        clockFile);
    unsigned long queue = 0, drops = 0;
    const auto boot = std::chrono::steady_clock::now();
    while (!udpRow(port, queue, drops)) {
        if (since(boot) > 10 || waitpid(pid, nullptr, WNOHANG) == pid) {
            std::fprintf(stderr, "soak: the server did not start:\n%s",
                         readFile(dir + "/server.err").c_str());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    std::vector<int> fds;
    for (int s = 0; s < o.senders; ++s) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7f000002u + static_cast<uint32_t>(s));
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            std::perror("soak: sender");
            kill(pid, SIGKILL);
            return 2;
        }
        fds.push_back(fd);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);

    const long rssStart = vmRssKb(pid), fdsStart = openFds(pid);
    std::vector<long> sent(static_cast<size_t>(o.senders), 0);
    long total = 0, sendErrors = 0;
    long rssHalf = -1, rssPeak = rssStart;
    bool jumped = false;
    const auto t0 = std::chrono::steady_clock::now();
    std::string text;
    double nextSample = 0;
    std::printf("soak: %d senders, %.0f msg/s, %.0f s, -fs %d, port %u, in %s\n", o.senders, o.rate,
                o.seconds, o.fileKilobytes, port, dir.c_str());
    std::printf("  t(s)  server clock          sent     RSS kB  fds\n");
    for (;;) {
        const double t = since(t0);
        if (t >= o.seconds) break;
        if (!jumped && t >= o.seconds / 2) {
            setClock(clockFile, midnight2 - quarter);
            jumped = true;
        }
        if (t >= nextSample) {
            const long rss = vmRssKb(pid);
            rssPeak = std::max(rssPeak, rss);
            if (rssHalf < 0 && t >= o.seconds / 2) rssHalf = rss;
            const long offset = std::atol(readFile(clockFile).c_str());
            const time_t serverNow = time(nullptr) + offset;
            char when[32];
            struct tm local;
            localtime_r(&serverNow, &local);
            std::strftime(when, sizeof when, "%d-%m-%Y %H:%M:%S", &local);
            std::printf("  %4.0f  %s  %8ld  %8ld  %3ld\n", t, when, total, rss, openFds(pid));
            std::fflush(stdout);
            nextSample += 10;
        }
        const long due = static_cast<long>(t * o.rate);
        while (total < due) {
            const int s = static_cast<int>(total % o.senders);
            text = "soak s=" + std::to_string(s) +
                   " n=" + std::to_string(sent[static_cast<size_t>(s)]) + " " +
                   std::string(static_cast<size_t>(total % 61), '.');
            if (sendto(fds[static_cast<size_t>(s)], text.data(), text.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to),
                       sizeof to) != static_cast<ssize_t>(text.size()))
                ++sendErrors;
            ++sent[static_cast<size_t>(s)];
            ++total;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int fd : fds) close(fd);
    const auto drain = std::chrono::steady_clock::now();
    while (udpRow(port, queue, drops) && queue > 0 && since(drain) < 30)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long rssEnd = vmRssKb(pid), fdsEnd = openFds(pid);
    rssPeak = std::max(rssPeak, rssEnd);
    udpRow(port, queue, drops);
    kill(pid, SIGTERM);
    const int status = waitFor(pid, 60);

    // The results.
    long found = 0, missing = 0, duplicated = 0, outOfOrder = 0, foreign = 0;
    std::string problems;
    for (int s = 0; s < o.senders; ++s) {
        const std::string sdir = logs + "/127.0.0." + std::to_string(2 + s);
        SenderResult r = check(sdir, s, sent[static_cast<size_t>(s)], problems);
        found += r.found;
        missing += r.missing;
        duplicated += r.duplicated;
        outOfOrder += r.outOfOrder;
        foreign += r.foreign;
    }
    // Days 11 and 12 archived, day 13 not; no temporary archive left.
    long archives[3] = {0, 0, 0}, plain[3] = {0, 0, 0}, leftovers = 0;
    for (const std::string& group : listNames(logs)) {
        for (const std::string& n : listNames(logs + "/" + group)) {
            const bool gz = n.size() > 3 && n.compare(n.size() - 3, 3, ".gz") == 0;
            if (n.find(".tmp") != std::string::npos) ++leftovers;
            for (int d = 0; d < 3; ++d) {
                if (n.compare(0, 11, "log" + std::to_string(11 + d) + "122026") == 0)
                    ++(gz ? archives : plain)[d];
            }
        }
    }
    const std::string serverErr = readFile(dir + "/server.err");

    std::printf("\nmessages: sent %ld, found %ld, missing %ld, duplicated %ld, out of order %ld",
                total, found, missing, duplicated, outOfOrder);
    std::printf(", foreign lines %ld; send errors %ld; kernel drops %lu\n", foreign, sendErrors,
                drops);
    std::printf(
        "files: day 11 %ld archives / %ld plain, day 12 %ld / %ld, day 13 %ld / %ld, "
        "temporary left %ld\n",
        archives[0], plain[0], archives[1], plain[1], archives[2], plain[2], leftovers);
    std::printf("RSS kB: start %ld, half time %ld, end %ld, peak %ld\n", rssStart, rssHalf, rssEnd,
                rssPeak);
    std::printf("open descriptors: start %ld, end %ld\n", fdsStart, fdsEnd);
    std::printf("server exit status %d; stderr: %s\n", status,
                serverErr.empty() ? "(empty)" : ("\n" + serverErr).c_str());

    // Flat: the second half (the buffers are at their steady size by then) adds at most a
    // tenth and 2 MiB.
    const bool rssFlat = rssHalf > 0 && rssEnd <= rssHalf + rssHalf / 10 + 2048;
    const bool ok = missing == 0 && duplicated == 0 && outOfOrder == 0 && foreign == 0 &&
                    problems.empty() && status == 0 && serverErr.empty() && fdsEnd == fdsStart &&
                    rssFlat && archives[0] > 0 && plain[0] == 0 && archives[1] > 0 &&
                    plain[1] == 0 && archives[2] == 0 && plain[2] > 0 && leftovers == 0;
    if (!problems.empty()) std::printf("problems:\n%s", problems.c_str());
    std::printf("%s\n", ok ? "soak: PASS" : "soak: FAIL");
    if (!o.keep && ok)
        removeTree(dir);
    else
        std::printf("kept %s\n", dir.c_str());
    return ok ? 0 : 1;
}
