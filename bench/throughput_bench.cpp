// Throughput benchmark: offers a bounded syslog load over loopback to the real server and to a
// bare receiver that only counts datagrams, and prints what each took in, what it lost and what
// it cost. It prints figures and asserts nothing.
//
//   throughput_bench --rate 400k --seconds 5        # both targets, 4 senders, 200-byte texts
//   throughput_bench --rate 0 --count 500000 --mode server --keep
//   throughput_bench --sweep                        # highest zero-loss rate of each target
//
// Each datagram reads "<13>bench s=3 seq=0000012345 xxxx..." so that the server's files can be
// checked line by line: sender s sends from 127.0.0.(2+s), its seq counts up from 0.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifndef BRINDLEAF_BINARY
#define BRINDLEAF_BINARY "brindleaf"
#endif

namespace {

constexpr unsigned kBatch = 64;            // datagrams per sendmmsg / recvmmsg call
constexpr size_t kEchoMax = 1024;          // the server keeps at most this many payload bytes
constexpr double kMaxSeconds = 600;        // hard cap on one run's sending time
constexpr uint64_t kMaxCount = 100000000;  // hard cap on datagrams per sender
constexpr unsigned kMaxSenders = 4096;
constexpr uint32_t kFirstSender = 0x7f000002;  // 127.0.0.2
constexpr const char* kChildFlag = "--bare-receiver-child";

enum class Target { Bare, Server };
const char* targetName(Target t) {
    return t == Target::Bare ? "bare" : "server";
}

struct Options {
    unsigned senders = 4;
    unsigned threads = 0;  // 0: min(senders, 4)
    size_t size = 200;
    double rate = 0;  // total msgs/s, 0 = flat out
    double seconds = 0;
    uint64_t count = 0;  // per sender
    uint16_t port = 15514;
    int rcvbuf = 16 << 20;  // what the server asks for
    int bareNice = 0;       // the bare receiver's priority; the server's threads ask for -10
    bool runBare = true;
    bool runServer = true;
    bool sweep = false;
    double sweepMin = 50000;
    double sweepMax = 1000000;
    std::string binary = BRINDLEAF_BINARY;
    long fsKb = 0;  // 0: the server's default
    bool keep = false;
    bool perSender = false;
};

// ---- small helpers -----------------------------------------------------------------------

double monoNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void sleepSeconds(double s) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(s);
    ts.tv_nsec = static_cast<long>((s - static_cast<double>(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::atomic<bool> gInterrupted{false};
void onInterrupt(int) {
    gInterrupted.store(true);
}

std::string senderAddress(unsigned index) {
    in_addr a{};
    a.s_addr = htonl(kFirstSender + index);
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

// "400k" -> 400000, "1M" -> 1000000, "1.5m" -> 1500000.
bool parseRate(const char* s, double& out) {
    char* end = nullptr;
    errno = 0;
    double v = strtod(s, &end);
    if (errno != 0 || end == s || v < 0) return false;
    if (*end == 'k' || *end == 'K') {
        v *= 1e3;
        ++end;
    } else if (*end == 'm' || *end == 'M') {
        v *= 1e6;
        ++end;
    }
    if (*end != '\0') return false;
    out = v;
    return true;
}

// Plain count, or with K / M meaning KiB / MiB.
bool parseBytes(const char* s, uint64_t& out) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 10);
    if (errno != 0 || end == s || *s == '-') return false;
    if (*end == 'k' || *end == 'K') {
        v <<= 10;
        ++end;
    } else if (*end == 'm' || *end == 'M') {
        v <<= 20;
        ++end;
    }
    if (*end != '\0') return false;
    out = v;
    return true;
}

// Count with optional k / M (decimal), for --count.
bool parseCount(const char* s, uint64_t& out) {
    double v = 0;
    if (!parseRate(s, v) || v != std::floor(v)) return false;
    out = static_cast<uint64_t>(v);
    return true;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}
void removeTree(const std::string& path) {
    nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string readSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string tail(const std::string& s, size_t n) {
    return s.size() <= n ? s : s.substr(s.size() - n);
}

// ---- kernel figures ----------------------------------------------------------------------

// The 1-minute load average: other work on the machine skews every figure here.
double loadAverage() {
    double l = -1;
    std::ifstream("/proc/loadavg") >> l;
    return l;
}

// Udp: RcvbufErrors from /proc/net/snmp (system-wide), -1 when unreadable.
int64_t readRcvbufErrors() {
    std::ifstream in("/proc/net/snmp");
    std::string header, values;
    while (std::getline(in, header)) {
        if (header.rfind("Udp:", 0) != 0) continue;
        if (!std::getline(in, values) || values.rfind("Udp:", 0) != 0) return -1;
        std::istringstream hs(header), vs(values);
        std::string name, value;
        while (hs >> name && vs >> value) {
            if (name == "RcvbufErrors") return std::strtoll(value.c_str(), nullptr, 10);
        }
        return -1;
    }
    return -1;
}

// The UDP sockets bound to a local port, from /proc/net/udp (summed when there are several).
struct PortState {
    int sockets = 0;
    uint64_t rxQueue = 0;  // bytes waiting, kernel accounting
    uint64_t drops = 0;
};

PortState readPortState(uint16_t port) {
    PortState st;
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops
        std::istringstream ls(line);
        std::string sl, local, rem, state, queues, timer, retr, uid, timeout, inode, ref, ptr,
            drops;
        if (!(ls >> sl >> local >> rem >> state >> queues >> timer >> retr >> uid >> timeout >>
              inode >> ref >> ptr >> drops))
            continue;
        size_t colon = local.find(':');
        if (colon == std::string::npos) continue;
        unsigned long p = std::strtoul(local.c_str() + colon + 1, nullptr, 16);
        if (p != port) continue;
        size_t qc = queues.find(':');
        if (qc == std::string::npos) continue;
        ++st.sockets;
        st.rxQueue += std::strtoull(queues.c_str() + qc + 1, nullptr, 16);
        st.drops += std::strtoull(drops.c_str(), nullptr, 10);
    }
    return st;
}

// The receive buffer size (as the kernel accounts it: twice what SO_RCVBUF asked for) of the
// UDP socket bound to a local port, through sock_diag. -1 when unknown.
int64_t readRcvbuf(uint16_t port) {
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return -1;
    struct {
        nlmsghdr nlh;
        inet_diag_req_v2 req;
    } request{};
    request.nlh.nlmsg_len = sizeof request;
    request.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.req.sdiag_family = AF_INET;
    request.req.sdiag_protocol = IPPROTO_UDP;
    request.req.idiag_states = ~0u;
    request.req.idiag_ext = 1 << (INET_DIAG_SKMEMINFO - 1);
    int64_t result = -1;
    if (send(fd, &request, sizeof request, 0) < 0) {
        close(fd);
        return -1;
    }
    std::vector<char> buf(1 << 16);
    bool done = false;
    while (!done) {
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        size_t left = static_cast<size_t>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buf.data()); left >= sizeof(nlmsghdr) &&
                                                                h->nlmsg_len >= sizeof(nlmsghdr) &&
                                                                h->nlmsg_len <= left;) {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            auto* d = reinterpret_cast<inet_diag_msg*>(NLMSG_DATA(h));
            if (ntohs(d->id.idiag_sport) == port) {
                size_t attrLeft = h->nlmsg_len - NLMSG_LENGTH(sizeof(*d));
                auto* a = reinterpret_cast<rtattr*>(d + 1);
                while (attrLeft >= sizeof(rtattr) && a->rta_len >= sizeof(rtattr) &&
                       a->rta_len <= attrLeft) {
                    if (a->rta_type == INET_DIAG_SKMEMINFO &&
                        a->rta_len >= RTA_LENGTH(sizeof(uint32_t) * (SK_MEMINFO_RCVBUF + 1))) {
                        auto* mem = reinterpret_cast<const uint32_t*>(RTA_DATA(a));
                        result = std::max<int64_t>(result, mem[SK_MEMINFO_RCVBUF]);
                    }
                    size_t step = RTA_ALIGN(a->rta_len);
                    if (step >= attrLeft) break;
                    attrLeft -= step;
                    a = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(a) + step);
                }
            }
            size_t step = NLMSG_ALIGN(h->nlmsg_len);
            if (step >= left) break;
            left -= step;
            h = reinterpret_cast<nlmsghdr*>(reinterpret_cast<char*>(h) + step);
        }
    }
    close(fd);
    return result;
}

// ---- bare receiver (a child process: its own rusage) --------------------------------------

volatile sig_atomic_t gChildStop = 0;
void onChildTerm(int) {
    gChildStop = 1;
}

// Binds the port on all local addresses with the given receive buffer and counts datagrams in
// recvmmsg batches until SIGTERM, then takes what the kernel still holds and writes the count
// (8 bytes) to reportFd.
int bareReceiverMain(uint16_t port, int rcvbuf, int reportFd, int nice) {
    // The server's threads ask for nice -10; --bare-nice -10 lets the bare receiver meet the
    // load generator on the same terms.
    if (nice != 0) setpriority(PRIO_PROCESS, 0, nice);
    struct sigaction sa {};
    sa.sa_handler = onChildTerm;  // no SA_RESTART: a blocked recvmmsg returns EINTR
    sigaction(SIGTERM, &sa, nullptr);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return 2;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    // Wakes now and then so that a SIGTERM landing just before the call cannot be missed.
    timeval tv{0, 50000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        perror("bare receiver: bind");
        return 3;
    }

    // The same work per datagram as a server: payload up to kEchoMax bytes and the sender.
    static char bufs[kBatch][kEchoMax + 1];
    sockaddr_in from[kBatch];
    iovec iov[kBatch];
    mmsghdr msgs[kBatch];
    for (unsigned i = 0; i < kBatch; ++i) {
        iov[i] = {bufs[i], kEchoMax};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &from[i];
    }
    uint64_t count = 0;
    for (;;) {
        bool stopping = gChildStop != 0;
        for (unsigned i = 0; i < kBatch; ++i) msgs[i].msg_hdr.msg_namelen = sizeof from[i];
        int n = recvmmsg(fd, msgs, kBatch, stopping ? MSG_DONTWAIT : MSG_WAITFORONE, nullptr);
        if (n > 0) {
            count += static_cast<unsigned>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            perror("bare receiver: recvmmsg");
            break;
        }
        if (stopping) break;  // drained
    }
    ssize_t w = write(reportFd, &count, sizeof count);
    return w == static_cast<ssize_t>(sizeof count) ? 0 : 4;
}

// ---- load generator ----------------------------------------------------------------------

// A sender's datagram: "<13>bench s=S seq=" + 10 digits + " " + 'x' up to the size.
struct TextLayout {
    std::string head;  // "<13>bench s=S seq="
    size_t seqAt = 0;  // offset of the 10 digits
};

TextLayout layoutFor(unsigned sender) {
    TextLayout t;
    t.head = "<13>bench s=" + std::to_string(sender) + " seq=";
    t.seqAt = t.head.size();
    return t;
}

void writeSeq(char* at, uint64_t seq) {
    for (int i = 9; i >= 0; --i) {
        at[i] = static_cast<char>('0' + seq % 10);
        seq /= 10;
    }
}

struct SenderPlan {
    std::vector<unsigned> senders;  // indices this thread sends for, round robin by batch
};

struct ThreadReport {
    std::vector<uint64_t> sent;  // per sender of the plan
    double lastSend = 0;         // monotonic time of the last datagram
    uint64_t sendErrors = 0;
    double cpuSeconds = 0;
    std::string error;
};

struct LoadResult {
    std::vector<uint64_t> sentPer;  // by sender index
    uint64_t sent = 0;
    double seconds = 0;  // first to last datagram
    uint64_t sendErrors = 0;
    double senderCpuSeconds = 0;
    unsigned threads = 0;
    bool capped = false;
    std::string error;
};

// Sends from the given sockets (one per sender of the plan). rate: this thread's msgs/s, 0 =
// flat out; stops at `seconds` of sending or `count` per sender, whichever comes first.
void senderThread(const Options& opt, const SenderPlan& plan, const std::vector<int>& fds,
                  double rate, double seconds, uint64_t count, const std::atomic<bool>& go,
                  double start, ThreadReport& rep) {
    const size_t m = plan.senders.size();
    rep.sent.assign(m, 0);
    std::vector<TextLayout> layouts;
    for (unsigned s : plan.senders) layouts.push_back(layoutFor(s));

    std::vector<std::vector<char>> bufs(kBatch, std::vector<char>(opt.size, 'x'));
    std::vector<size_t> bufOwner(kBatch, SIZE_MAX);
    iovec iov[kBatch];
    mmsghdr msgs[kBatch];
    for (unsigned i = 0; i < kBatch; ++i) {
        iov[i] = {bufs[i].data(), opt.size};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    // Small bursts: about 200 µs of this thread's share at the paced rate.
    unsigned burst = kBatch;
    if (rate > 0) burst = static_cast<unsigned>(std::clamp(std::lround(rate * 200e-6), 1L, 64L));

    prctl(PR_SET_TIMERSLACK, 1000UL);  // 1 µs, so that a wake-up is not 50 µs late
    while (!go.load(std::memory_order_acquire)) std::this_thread::yield();

    uint64_t total = 0;
    size_t next = 0;  // round robin over the plan's senders
    size_t finished = 0;
    std::vector<bool> done(m, false);
    timespec cpu0{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    for (;;) {
        if (gInterrupted.load(std::memory_order_relaxed)) break;
        double now = monoNow();
        double elapsed = now - start;
        if (elapsed >= seconds || finished == m) break;
        unsigned n = kBatch;
        if (rate > 0) {
            auto due = static_cast<uint64_t>(elapsed * rate);
            if (total >= due) {
                double wake = start + static_cast<double>(total + burst) / rate;
                timespec ts{};
                ts.tv_sec = static_cast<time_t>(wake);
                ts.tv_nsec = static_cast<long>((wake - static_cast<double>(ts.tv_sec)) * 1e9);
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
                continue;
            }
            n = static_cast<unsigned>(std::min<uint64_t>(due - total, kBatch));
        }
        while (done[next]) next = (next + 1) % m;
        const size_t j = next;
        next = (next + 1) % m;
        if (count > 0) n = static_cast<unsigned>(std::min<uint64_t>(n, count - rep.sent[j]));
        const TextLayout& lay = layouts[j];
        for (unsigned i = 0; i < n; ++i) {
            char* b = bufs[i].data();
            if (bufOwner[i] != j) {
                // Heads differ in length ("s=8" / "s=992"): rewrite the padding too.
                memcpy(b, lay.head.data(), lay.head.size());
                b[lay.seqAt + 10] = ' ';
                memset(b + lay.seqAt + 11, 'x', opt.size - lay.seqAt - 11);
                bufOwner[i] = j;
            }
            writeSeq(b + lay.seqAt, rep.sent[j] + i);
        }
        unsigned off = 0;
        while (off < n) {
            int r = sendmmsg(fds[j], msgs + off, n - off, 0);
            if (r > 0) {
                off += static_cast<unsigned>(r);
                continue;
            }
            if (errno == EINTR) continue;
            ++rep.sendErrors;
            // A refused port (the target died) or a full queue: the datagram was not sent.
            if (errno == ECONNREFUSED || errno == ENOBUFS || errno == EAGAIN) {
                if (rep.sendErrors > 100000) {
                    rep.error = std::string("sendmmsg keeps failing: ") + strerror(errno);
                    break;
                }
                continue;
            }
            rep.error = std::string("sendmmsg: ") + strerror(errno);
            break;
        }
        // Only the datagrams that went out count, and the seq numbers stay dense.
        rep.sent[j] += off;
        total += off;
        if (count > 0 && rep.sent[j] >= count) {
            done[j] = true;
            ++finished;
        }
        if (!rep.error.empty()) break;
    }
    rep.lastSend = monoNow();
    timespec cpu1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    rep.cpuSeconds = static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) +
                     static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec) * 1e-9;
}

LoadResult runLoad(const Options& opt, double rate, double seconds, uint64_t count) {
    LoadResult res;
    const unsigned threads =
        opt.threads ? std::min(opt.threads, opt.senders) : std::min(opt.senders, 4u);
    res.threads = threads;
    std::vector<SenderPlan> plans(threads);
    for (unsigned s = 0; s < opt.senders; ++s) plans[s % threads].senders.push_back(s);

    std::vector<std::vector<int>> fds(threads);
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(opt.port);
    dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (unsigned t = 0; t < threads && res.error.empty(); ++t) {
        for (unsigned s : plans[t].senders) {
            int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in src{};
            src.sin_family = AF_INET;
            src.sin_addr.s_addr = htonl(kFirstSender + s);
            if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0 ||
                connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
                res.error = "sender socket for " + senderAddress(s) + ": " + strerror(errno);
                if (fd >= 0) close(fd);
                break;
            }
            fds[t].push_back(fd);
        }
    }
    if (res.error.empty()) {
        std::vector<ThreadReport> reps(threads);
        std::vector<std::thread> pool;
        std::atomic<bool> go{false};
        const double start = monoNow() + 0.05;  // all threads ready by then
        for (unsigned t = 0; t < threads; ++t) {
            double share = rate * static_cast<double>(plans[t].senders.size()) /
                           static_cast<double>(opt.senders);
            pool.emplace_back(senderThread, std::cref(opt), std::cref(plans[t]), std::cref(fds[t]),
                              share, seconds, count, std::cref(go), start, std::ref(reps[t]));
        }
        while (monoNow() < start) std::this_thread::yield();
        go.store(true, std::memory_order_release);
        for (auto& th : pool) th.join();
        res.sentPer.assign(opt.senders, 0);
        double last = start;
        for (unsigned t = 0; t < threads; ++t) {
            for (size_t k = 0; k < plans[t].senders.size(); ++k)
                res.sentPer[plans[t].senders[k]] = reps[t].sent[k];
            last = std::max(last, reps[t].lastSend);
            res.sendErrors += reps[t].sendErrors;
            res.senderCpuSeconds += reps[t].cpuSeconds;
            if (res.error.empty() && !reps[t].error.empty()) res.error = reps[t].error;
        }
        for (uint64_t v : res.sentPer) res.sent += v;
        res.seconds = last - start;
        for (uint64_t v : res.sentPer) res.capped = res.capped || (count > 0 && v < count);
    }
    for (auto& v : fds)
        for (int fd : v) close(fd);
    return res;
}

// ---- reading the server's output back ---------------------------------------------------

struct SenderTally {
    std::vector<uint64_t> seen;  // bitmap over seq
    uint64_t sent = 0;
    uint64_t delivered = 0;
    uint64_t duplicated = 0;
    uint64_t outOfOrder = 0;
    uint64_t malformed = 0;
    int64_t maxSeq = -1;
};

struct Tally {
    std::vector<SenderTally> senders;
    uint64_t malformed = 0;  // lines not attributable to a sender (foreign directory, partial)
    uint64_t lines = 0;
    uint64_t bytes = 0;
    unsigned files = 0;
    unsigned malformedSamples = 0;
    std::vector<std::string> notes;
};

bool digits(std::string_view s, size_t at, size_t n) {
    for (size_t i = at; i < at + n; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

// One line without its CR LF: "DD-MM-YYYY;HH:MM;<ip>;<text>". False when it is not a line of
// this sender; seq is set on success.
bool parseLine(std::string_view line, std::string_view ip, unsigned sender, size_t textLen,
               uint64_t& seq) {
    if (line.size() < 17 || !digits(line, 0, 2) || line[2] != '-' || !digits(line, 3, 2) ||
        line[5] != '-' || !digits(line, 6, 4) || line[10] != ';' || !digits(line, 11, 2) ||
        line[13] != ':' || !digits(line, 14, 2) || line[16] != ';')
        return false;
    std::string_view rest = line.substr(17);
    if (rest.size() <= ip.size() || rest.compare(0, ip.size(), ip) != 0 || rest[ip.size()] != ';')
        return false;
    std::string_view text = rest.substr(ip.size() + 1);
    if (text.size() != textLen) return false;
    constexpr std::string_view kHead = "<13>bench s=";
    if (text.compare(0, kHead.size(), kHead) != 0) return false;
    size_t p = kHead.size();
    uint64_t s = 0;
    size_t start = p;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9' && p - start < 6)
        s = s * 10 + static_cast<uint64_t>(text[p++] - '0');
    if (p == start || s != sender) return false;
    constexpr std::string_view kSeq = " seq=";
    if (text.size() < p + kSeq.size() + 11 || text.compare(p, kSeq.size(), kSeq) != 0) return false;
    p += kSeq.size();
    if (!digits(text, p, 10) || text[p + 10] != ' ') return false;
    seq = 0;
    for (size_t i = p; i < p + 10; ++i) seq = seq * 10 + static_cast<uint64_t>(text[i] - '0');
    for (size_t i = p + 11; i < text.size(); ++i)
        if (text[i] != 'x') return false;
    return true;
}

// Keeps the first few malformed lines, printable, for the notes.
void sampleMalformed(std::string_view line, std::string_view ip, Tally& t) {
    if (++t.malformedSamples > 3) return;
    std::string shown;
    for (char c : line.substr(0, 160)) {
        if (c >= 0x20 && c < 0x7f) {
            shown += c;
        } else {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", static_cast<unsigned char>(c));
            shown += b;
        }
    }
    t.notes.push_back("malformed line in " + std::string(ip) + ": \"" + shown + "\"" +
                      (line.size() > 160 ? "..." : ""));
}

void tallyLine(std::string_view line, std::string_view ip, int sender, size_t textLen, Tally& t) {
    ++t.lines;
    if (sender < 0) {
        ++t.malformed;
        sampleMalformed(line, ip, t);
        return;
    }
    SenderTally& st = t.senders[static_cast<size_t>(sender)];
    uint64_t seq = 0;
    if (line.empty() || line.back() != '\r' ||
        !parseLine(line.substr(0, line.size() - 1), ip, static_cast<unsigned>(sender), textLen,
                   seq) ||
        seq >= st.sent) {
        ++st.malformed;
        sampleMalformed(line, ip, t);
        return;
    }
    uint64_t& word = st.seen[seq / 64];
    uint64_t bit = uint64_t{1} << (seq % 64);
    if (word & bit) {
        ++st.duplicated;
        return;
    }
    word |= bit;
    ++st.delivered;
    if (static_cast<int64_t>(seq) < st.maxSeq)
        ++st.outOfOrder;
    else
        st.maxSeq = static_cast<int64_t>(seq);
}

struct LogName {
    std::string name;
    int dateKey = 0;  // YYYYMMDD
    unsigned long number = 0;
    bool gz = false;
};

// "logDDMMYYYY.N.csv" or the same + ".gz".
bool parseLogName(const std::string& name, LogName& out) {
    if (name.size() < 17 || name.compare(0, 3, "log") != 0 || !digits(name, 3, 8) ||
        name[11] != '.')
        return false;
    size_t p = 12, start = p;
    unsigned long n = 0;
    while (p < name.size() && name[p] >= '0' && name[p] <= '9' && p - start < 9)
        n = n * 10 + static_cast<unsigned long>(name[p++] - '0');
    if (p == start) return false;
    std::string suffix = name.substr(p);
    if (suffix != ".csv" && suffix != ".csv.gz") return false;
    out.name = name;
    out.gz = suffix == ".csv.gz";
    out.number = n;
    int d = std::atoi(name.substr(3, 2).c_str());
    int mo = std::atoi(name.substr(5, 2).c_str());
    int y = std::atoi(name.substr(7, 4).c_str());
    out.dateKey = y * 10000 + mo * 100 + d;
    return true;
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Reads one sender directory: files by date then number, concatenated, split at LF (a cut may
// fall anywhere, even between CR and LF).
void readSenderDir(const std::string& dir, const std::string& ip, int sender, size_t textLen,
                   Tally& t) {
    std::vector<LogName> logs;
    for (const std::string& n : listDir(dir)) {
        LogName ln;
        if (parseLogName(n, ln))
            logs.push_back(ln);
        else
            t.notes.push_back("unexpected file " + dir + "/" + n);
    }
    std::sort(logs.begin(), logs.end(), [](const LogName& a, const LogName& b) {
        if (a.dateKey != b.dateKey) return a.dateKey < b.dateKey;
        if (a.number != b.number) return a.number < b.number;
        return !a.gz && b.gz;
    });
    std::string pending;
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < logs.size(); ++i) {
        const LogName& ln = logs[i];
        if (i > 0 && logs[i - 1].dateKey == ln.dateKey && logs[i - 1].number == ln.number) {
            t.notes.push_back("both plain and gzipped: " + dir + "/" + ln.name + " (skipped)");
            continue;
        }
        // gzread reads plain files as they are, so one path serves both.
        gzFile gz = gzopen((dir + "/" + ln.name).c_str(), "rb");
        if (!gz) {
            t.notes.push_back("cannot open " + dir + "/" + ln.name);
            continue;
        }
        gzbuffer(gz, 1 << 18);
        ++t.files;
        for (;;) {
            int n = gzread(gz, chunk.data(), static_cast<unsigned>(chunk.size()));
            if (n < 0) {
                int err = 0;
                t.notes.push_back("read error in " + dir + "/" + ln.name + ": " +
                                  gzerror(gz, &err));
                break;
            }
            if (n == 0) break;
            t.bytes += static_cast<uint64_t>(n);
            std::string_view data(chunk.data(), static_cast<size_t>(n));
            size_t pos = 0;
            for (;;) {
                size_t lf = data.find('\n', pos);
                if (lf == std::string_view::npos) {
                    pending.append(data.substr(pos));
                    break;
                }
                if (!pending.empty()) {
                    pending.append(data.substr(pos, lf - pos));
                    tallyLine(pending, ip, sender, textLen, t);
                    pending.clear();
                } else {
                    tallyLine(data.substr(pos, lf - pos), ip, sender, textLen, t);
                }
                pos = lf + 1;
            }
        }
        gzclose(gz);
    }
    if (!pending.empty()) {
        t.notes.push_back("unterminated last line in " + dir);
        tallyLine(pending, ip, sender, textLen, t);  // no CR LF: counted malformed
    }
}

Tally readOutput(const Options& opt, const std::string& outDir,
                 const std::vector<uint64_t>& sentPer) {
    Tally t;
    t.senders.resize(opt.senders);
    for (unsigned s = 0; s < opt.senders; ++s) {
        t.senders[s].sent = sentPer[s];
        t.senders[s].seen.assign((sentPer[s] + 63) / 64, 0);
    }
    const size_t textLen = std::min(opt.size, kEchoMax);
    for (const std::string& n : listDir(outDir)) {
        std::string path = outDir + "/" + n;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            t.notes.push_back("unexpected entry " + path);
            continue;
        }
        in_addr a{};
        int sender = -1;
        if (inet_pton(AF_INET, n.c_str(), &a) == 1) {
            uint32_t v = ntohl(a.s_addr);
            if (v >= kFirstSender && v - kFirstSender < opt.senders)
                sender = static_cast<int>(v - kFirstSender);
        }
        if (sender < 0) t.notes.push_back("directory of no sender: " + path);
        readSenderDir(path, n, sender, textLen, t);
    }
    return t;
}

// ---- one run against one target ---------------------------------------------------------

struct RunResult {
    Target target = Target::Bare;
    bool ok = false;
    std::string error;
    double requested = 0;
    LoadResult load;
    uint64_t delivered = 0;
    bool checked = false;  // per-line figures below are known (server only)
    uint64_t missing = 0, duplicated = 0, outOfOrder = 0, malformed = 0;
    double cpuSeconds = 0;
    long maxRssKb = 0;
    int64_t rcvbuf = -1;
    uint64_t socketDrops = 0;
    int64_t rcvbufErrorsDelta = -1;
    int exitStatus = -1;
    double loadBefore = -1;
    double drainSeconds = 0, stopSeconds = 0, readSeconds = 0;
    uint64_t outputBytes = 0;
    unsigned outputFiles = 0;
    Tally tally;
    std::string outDir;
    std::vector<std::string> notes;

    double lossPercent() const {
        return load.sent ? 100.0 * static_cast<double>(load.sent - std::min(delivered, load.sent)) /
                               static_cast<double>(load.sent)
                         : 0.0;
    }
    double offered() const {
        return load.seconds > 0 ? static_cast<double>(load.sent) / load.seconds : 0.0;
    }
    bool lossless() const { return ok && load.sent > 0 && delivered >= load.sent && missing == 0; }
};

// Waits for pid to end, at most `timeout` seconds; true when it ended (status and usage set).
bool waitChild(pid_t pid, double timeout, int& status, rusage& ru) {
    double until = monoNow() + timeout;
    for (;;) {
        pid_t r = wait4(pid, &status, WNOHANG, &ru);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return false;
        if (monoNow() >= until) return false;
        sleepSeconds(0.005);
    }
}

// Ends a child we started: SIGTERM, then SIGKILL after the timeout.
bool stopChild(pid_t pid, double timeout, int& status, rusage& ru,
               std::vector<std::string>& notes) {
    kill(pid, SIGTERM);
    if (waitChild(pid, timeout, status, ru)) return true;
    notes.push_back("no exit within " + std::to_string(static_cast<int>(timeout)) +
                    " s of SIGTERM: killed");
    kill(pid, SIGKILL);
    return waitChild(pid, 10, status, ru);
}

// Forks and execs argv with stdout/stderr to the given files (or inherited when empty) in
// workDir; the child gets SIGTERM should this process die first.
pid_t spawn(const std::vector<std::string>& argv, const std::string& workDir,
            const std::string& outFile, const std::string& errFile, int keepFd) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0) return pid;
    // Child: async-signal-safe calls only until exec.
    setpgid(0, 0);  // out of the terminal's group: Ctrl-C reaches the bench, which stops us
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
    if (!outFile.empty()) {
        int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) dup2(fd, 1);
    }
    if (!errFile.empty()) {
        int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) dup2(fd, 2);
    }
    if (keepFd >= 0) fcntl(keepFd, F_SETFD, 0);
    execv(args[0], args.data());
    _exit(127);
}

// Polls until a socket is bound on the port, the child ended (reaped, status set), or the
// timeout.
bool waitListening(uint16_t port, pid_t pid, double timeout, bool& reaped, int& status,
                   std::string& error) {
    double until = monoNow() + timeout;
    for (;;) {
        if (readPortState(port).sockets > 0) return true;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            reaped = true;
            error = "exited before listening (status " + std::to_string(status) + ")";
            return false;
        }
        if (monoNow() >= until) {
            error = "not listening on port " + std::to_string(port) + " after " +
                    std::to_string(static_cast<int>(timeout)) + " s";
            return false;
        }
        sleepSeconds(0.01);
    }
}

// Waits until the port's receive queue is empty; returns the seconds waited, or -1 on timeout.
double waitDrained(uint16_t port, double timeout) {
    double t0 = monoNow();
    for (;;) {
        PortState st = readPortState(port);
        if (st.sockets == 0 || st.rxQueue == 0) return monoNow() - t0;
        if (monoNow() - t0 >= timeout) return -1;
        sleepSeconds(0.005);
    }
}

RunResult runOnce(const Options& opt, Target target, double rate, double seconds, uint64_t count,
                  const std::string& workRoot, int runNo) {
    RunResult r;
    r.target = target;
    r.requested = rate;
    if (readPortState(opt.port).sockets > 0) {
        r.error = "port " + std::to_string(opt.port) + " is already bound by someone else";
        return r;
    }
    std::string runDir = workRoot + "/run" + std::to_string(runNo) + "-" + targetName(target);
    mkdir(runDir.c_str(), 0755);
    int pipeFds[2] = {-1, -1};
    std::vector<std::string> argv;
    std::string outFile, errFile;
    if (target == Target::Server) {
        r.outDir = runDir + "/out";
        mkdir(r.outDir.c_str(), 0755);
        argv = {opt.binary, "-p", std::to_string(opt.port), "-od", r.outDir};
        if (opt.fsKb > 0) {
            argv.push_back("-fs");
            argv.push_back(std::to_string(opt.fsKb));
        }
        outFile = runDir + "/server.stdout";
        errFile = runDir + "/server.stderr";
    } else {
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            r.error = std::string("pipe: ") + strerror(errno);
            return r;
        }
        argv = {"/proc/self/exe",           kChildFlag,
                std::to_string(opt.port),   std::to_string(opt.rcvbuf),
                std::to_string(pipeFds[1]), std::to_string(opt.bareNice)};
        errFile = runDir + "/bare.stderr";
    }
    pid_t pid = spawn(argv, runDir, outFile, errFile, pipeFds[1]);
    if (pipeFds[1] >= 0) close(pipeFds[1]);
    if (pid < 0) {
        r.error = std::string("fork: ") + strerror(errno);
        if (pipeFds[0] >= 0) close(pipeFds[0]);
        return r;
    }
    int status = 0;
    rusage ru{};
    bool reaped = false;
    if (!waitListening(opt.port, pid, 10, reaped, status, r.error)) {
        if (!reaped) stopChild(pid, 5, status, ru, r.notes);
        std::string err = tail(readSmallFile(errFile), 400);
        if (!err.empty()) r.error += ": " + err;
        if (pipeFds[0] >= 0) close(pipeFds[0]);
        return r;
    }

    r.loadBefore = loadAverage();
    int64_t errs0 = readRcvbufErrors();
    r.load = runLoad(opt, rate, seconds, count);
    if (!r.load.error.empty()) r.notes.push_back("load generator: " + r.load.error);
    if (r.load.capped)
        r.notes.push_back("the time bound ended the run before every count was sent");
    r.drainSeconds = waitDrained(opt.port, 30);
    if (r.drainSeconds < 0) r.notes.push_back("receive queue not empty after 30 s");
    PortState ps = readPortState(opt.port);
    r.socketDrops = ps.drops;
    r.rcvbuf = readRcvbuf(opt.port);

    double t0 = monoNow();
    bool ended = stopChild(pid, 120, status, ru, r.notes);
    r.stopSeconds = monoNow() - t0;
    int64_t errs1 = readRcvbufErrors();
    if (errs0 >= 0 && errs1 >= 0) r.rcvbufErrorsDelta = errs1 - errs0;
    if (ended) {
        r.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.cpuSeconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
        r.maxRssKb = ru.ru_maxrss;
    }
    if (r.exitStatus != 0) {
        std::string err = tail(readSmallFile(errFile), 400);
        r.notes.push_back("exit status " + std::to_string(r.exitStatus) +
                          (err.empty() ? "" : ": " + err));
    }

    if (target == Target::Bare) {
        uint64_t n = 0;
        ssize_t got = read(pipeFds[0], &n, sizeof n);
        close(pipeFds[0]);
        if (got != static_cast<ssize_t>(sizeof n)) {
            r.error = "bare receiver reported no count";
            return r;
        }
        r.delivered = n;
        r.missing = r.load.sent > n ? r.load.sent - n : 0;
    } else {
        double rt0 = monoNow();
        r.tally = readOutput(opt, r.outDir, r.load.sentPer);
        r.readSeconds = monoNow() - rt0;
        r.checked = true;
        r.malformed = r.tally.malformed;
        for (const SenderTally& st : r.tally.senders) {
            r.delivered += st.delivered;
            r.duplicated += st.duplicated;
            r.outOfOrder += st.outOfOrder;
            r.malformed += st.malformed;
            r.missing += st.sent - st.delivered;
        }
        r.outputBytes = r.tally.bytes;
        r.outputFiles = r.tally.files;
        for (const std::string& n : r.tally.notes) r.notes.push_back(n);
        for (SenderTally& st : r.tally.senders) std::vector<uint64_t>().swap(st.seen);
    }
    if (!opt.keep) removeTree(runDir);
    r.ok = true;
    return r;
}

// ---- printing ----------------------------------------------------------------------------

std::string fmt(const char* f, double v) {
    char b[64];
    snprintf(b, sizeof b, f, v);
    return b;
}
std::string fmtU(uint64_t v) {
    return std::to_string(v);
}

void printTable(const Options& opt, const std::vector<RunResult>& all) {
    std::vector<RunResult> runs;
    for (const RunResult& r : all) {
        if (r.ok)
            runs.push_back(r);
        else
            printf("%s: failed: %s\n", targetName(r.target), r.error.c_str());
    }
    std::vector<std::pair<std::string, std::vector<std::string>>> rows;
    auto row = [&](const std::string& name, auto cell) {
        std::vector<std::string> cells;
        for (const RunResult& r : runs) cells.push_back(cell(r));
        rows.emplace_back(name, cells);
    };
    row("requested rate (msgs/s)", [](const RunResult& r) {
        return r.requested > 0 ? fmt("%.0f", r.requested) : std::string("flat out");
    });
    row("offered rate (msgs/s)", [](const RunResult& r) { return fmt("%.0f", r.offered()); });
    row("sending time (s)", [](const RunResult& r) { return fmt("%.2f", r.load.seconds); });
    row("sent", [](const RunResult& r) { return fmtU(r.load.sent); });
    row("delivered", [](const RunResult& r) { return fmtU(r.delivered); });
    row("loss %", [](const RunResult& r) { return fmt("%.3f", r.lossPercent()); });
    row("CPU us / delivered msg", [](const RunResult& r) {
        return r.delivered ? fmt("%.3f", r.cpuSeconds * 1e6 / static_cast<double>(r.delivered))
                           : std::string("-");
    });
    row("CPU s (user+sys)", [](const RunResult& r) { return fmt("%.3f", r.cpuSeconds); });
    row("peak RSS (MiB)",
        [](const RunResult& r) { return fmt("%.1f", static_cast<double>(r.maxRssKb) / 1024.0); });
    row("receive buffer (KiB)", [](const RunResult& r) {
        return r.rcvbuf >= 0 ? fmt("%.0f", static_cast<double>(r.rcvbuf) / 1024.0)
                             : std::string("?");
    });
    row("socket drops", [](const RunResult& r) { return fmtU(r.socketDrops); });
    // What the kernel queued for the receiver; the server must write every one of them.
    row("taken in (sent - socket drops)", [](const RunResult& r) {
        return fmtU(r.load.sent - std::min(r.socketDrops, r.load.sent));
    });
    row("taken in but not written", [](const RunResult& r) {
        if (!r.checked) return std::string("-");
        auto taken = static_cast<int64_t>(r.load.sent - std::min(r.socketDrops, r.load.sent));
        return std::to_string(taken - static_cast<int64_t>(r.delivered));
    });
    row("RcvbufErrors delta", [](const RunResult& r) {
        return r.rcvbufErrorsDelta >= 0 ? std::to_string(r.rcvbufErrorsDelta) : std::string("?");
    });
    auto checked = [](uint64_t RunResult::*field) {
        return
            [field](const RunResult& r) { return r.checked ? fmtU(r.*field) : std::string("-"); };
    };
    row("missing", [](const RunResult& r) { return fmtU(r.missing); });
    row("out of order", checked(&RunResult::outOfOrder));
    row("duplicated", checked(&RunResult::duplicated));
    row("malformed", checked(&RunResult::malformed));
    row("output files / MiB", [](const RunResult& r) {
        return r.checked ? std::to_string(r.outputFiles) + " / " +
                               fmt("%.1f", static_cast<double>(r.outputBytes) / 1048576.0)
                         : std::string("-");
    });
    row("queue drain / stop / read (s)", [](const RunResult& r) {
        return fmt("%.2f", r.drainSeconds) + " / " + fmt("%.2f", r.stopSeconds) + " / " +
               (r.checked ? fmt("%.2f", r.readSeconds) : std::string("-"));
    });
    row("exit status", [](const RunResult& r) { return std::to_string(r.exitStatus); });
    row("sender CPU % (per thread)", [](const RunResult& r) {
        return r.load.seconds > 0 && r.load.threads
                   ? fmt("%.0f", 100.0 * r.load.senderCpuSeconds / r.load.seconds /
                                     static_cast<double>(r.load.threads))
                   : std::string("-");
    });
    row("send errors", [](const RunResult& r) { return fmtU(r.load.sendErrors); });
    row("load average before", [](const RunResult& r) { return fmt("%.2f", r.loadBefore); });

    size_t w0 = 0;
    for (auto& rw : rows) w0 = std::max(w0, rw.first.size());
    std::vector<size_t> w(runs.size(), 0);
    for (size_t i = 0; i < runs.size(); ++i) {
        w[i] = std::strlen(targetName(runs[i].target));
        for (auto& rw : rows) w[i] = std::max(w[i], rw.second[i].size());
    }
    if (!runs.empty()) {
        printf("\n%-*s", static_cast<int>(w0), "");
        for (size_t i = 0; i < runs.size(); ++i)
            printf("  %*s", static_cast<int>(w[i]), targetName(runs[i].target));
        printf("\n");
        for (auto& rw : rows) {
            printf("%-*s", static_cast<int>(w0), rw.first.c_str());
            for (size_t i = 0; i < runs.size(); ++i)
                printf("  %*s", static_cast<int>(w[i]), rw.second[i].c_str());
            printf("\n");
        }
    }
    for (const RunResult& r : all) {
        size_t shown = 0;
        for (const std::string& n : r.notes) {
            if (++shown > 10) {
                printf("%s: ... %zu more notes\n", targetName(r.target), r.notes.size() - 10);
                break;
            }
            printf("%s: %s\n", targetName(r.target), n.c_str());
        }
        if (opt.keep && !r.outDir.empty())
            printf("%s: output kept in %s\n", targetName(r.target), r.outDir.c_str());
        if (opt.perSender && r.checked) {
            printf(
                "%s per sender: address sent delivered missing out-of-order duplicated "
                "malformed\n",
                targetName(r.target));
            for (size_t s = 0; s < r.tally.senders.size(); ++s) {
                const SenderTally& st = r.tally.senders[s];
                printf("  %-15s %10" PRIu64 " %10" PRIu64 " %8" PRIu64 " %8" PRIu64 " %6" PRIu64
                       " %6" PRIu64 "\n",
                       senderAddress(static_cast<unsigned>(s)).c_str(), st.sent, st.delivered,
                       st.sent - st.delivered, st.outOfOrder, st.duplicated, st.malformed);
            }
        }
    }
    fflush(stdout);
}

void printStep(const RunResult& r) {
    if (!r.ok) {
        printf("  %-6s %9.0f/s  failed: %s\n", targetName(r.target), r.requested, r.error.c_str());
    } else {
        printf(
            "  %-6s %9.0f/s  offered %9.0f/s  sent %9" PRIu64 "  delivered %9" PRIu64
            "  loss %7.3f %%  %s\n",
            targetName(r.target), r.requested, r.offered(), r.load.sent, r.delivered,
            r.lossPercent(),
            r.delivered
                ? fmt("%.3f us/msg", r.cpuSeconds * 1e6 / static_cast<double>(r.delivered)).c_str()
                : "-");
    }
    fflush(stdout);
}

// ---- sweep -------------------------------------------------------------------------------

struct SweepResult {
    Target target;
    double best = 0;  // highest requested rate with zero loss (0: none)
    double bestOffered = 0;
    double bestCpuUs = 0;
    double firstLossy = 0;  // lowest requested rate that lost (0: none found)
    double firstLossyPercent = 0;
    bool generatorLimited = false;
    int steps = 0;
};

// Doubling from the low end, then bisection between the last lossless and the first lossy rate,
// down to a 5 % gap. A lossless step whose offered rate fell well short of the request means
// the load generator is the limit, and the sweep ends there.
SweepResult sweep(const Options& opt, Target target, double seconds, uint64_t count,
                  const std::string& workRoot, int& runNo) {
    SweepResult s;
    s.target = target;
    const int maxSteps = 16;
    auto step = [&](double rate) {
        RunResult r = runOnce(opt, target, rate, seconds, count, workRoot, ++runNo);
        ++s.steps;
        printStep(r);
        return r;
    };
    auto good = [&](const RunResult& r, double rate) {
        s.best = rate;
        s.bestOffered = r.offered();
        s.bestCpuUs = r.delivered ? r.cpuSeconds * 1e6 / static_cast<double>(r.delivered) : 0;
    };
    double lo = 0, hi = 0;
    for (double rate = opt.sweepMin; s.steps < maxSteps && !gInterrupted.load();) {
        RunResult r = step(rate);
        if (!r.ok) return s;
        if (!r.lossless()) {
            hi = rate;
            s.firstLossy = rate;
            s.firstLossyPercent = r.lossPercent();
            break;
        }
        good(r, rate);
        lo = rate;
        if (r.offered() < 0.9 * rate) {
            s.generatorLimited = true;
            return s;
        }
        if (rate >= opt.sweepMax) return s;
        rate = std::min(rate * 2, opt.sweepMax);
    }
    while (hi > 0 && hi - lo > std::max(0.05 * lo, 5000.0) && s.steps < maxSteps &&
           !gInterrupted.load()) {
        double mid = std::round((lo + hi) / 2 / 1000) * 1000;
        if (mid <= lo || mid >= hi) break;
        RunResult r = step(mid);
        if (!r.ok) break;
        if (r.lossless()) {
            good(r, mid);
            lo = mid;
            if (r.offered() < 0.9 * mid) {
                s.generatorLimited = true;
                break;
            }
        } else {
            hi = mid;
            s.firstLossy = mid;
            s.firstLossyPercent = r.lossPercent();
        }
    }
    return s;
}

// ---- command line ------------------------------------------------------------------------

void usage(FILE* f) {
    fprintf(
        f,
        "usage: throughput_bench [options]\n"
        "  --senders N     sender addresses 127.0.0.2 ... (default 4)\n"
        "  --threads T     sending threads (default min(senders, 4))\n"
        "  --size BYTES    datagram size (default 200)\n"
        "  --rate R        total msgs/s, k and M allowed; 0 = flat out (default 0)\n"
        "  --seconds S     sending time per run (default 5, 3 per sweep step)\n"
        "  --count C       datagrams per sender (stops at C or S, whichever first)\n"
        "  --port P        UDP port on 127.0.0.1 (default 15514)\n"
        "  --rcvbuf BYTES  the bare receiver's SO_RCVBUF, K and M allowed (default 16M, as the "
        "server)\n"
        "  --bare-nice N   the bare receiver's nice value (default 0; the server asks for -10)\n"
        "  --mode M        server, bare or both (default both)\n"
        "  --sweep         find each target's highest rate with zero loss\n"
        "  --sweep-min R   first sweep rate (default 50k)\n"
        "  --sweep-max R   last sweep rate (default 1M)\n"
        "  --binary PATH   the server (default %s)\n"
        "  --fs KB         the server's file cut size (-fs)\n"
        "  --keep          keep the server's output directory\n"
        "  --per-sender    print the server's figures per sender\n",
        BRINDLEAF_BINARY);
}

bool parseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char*& v) {
            if (i + 1 >= argc) {
                fprintf(stderr, "%s needs a value\n", a.c_str());
                return false;
            }
            v = argv[++i];
            return true;
        };
        const char* v = nullptr;
        uint64_t u = 0;
        double d = 0;
        bool okv = true;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            exit(0);
        } else if (a == "--senders") {
            okv = value(v) && parseBytes(v, u) && u >= 1 && u <= kMaxSenders;
            o.senders = static_cast<unsigned>(u);
        } else if (a == "--threads") {
            okv = value(v) && parseBytes(v, u) && u >= 1 && u <= 64;
            o.threads = static_cast<unsigned>(u);
        } else if (a == "--size") {
            okv = value(v) && parseBytes(v, u) && u >= 40 && u <= 65000;
            o.size = static_cast<size_t>(u);
        } else if (a == "--rate") {
            okv = value(v) && parseRate(v, d) && d <= 1e8;
            o.rate = d;
        } else if (a == "--seconds") {
            okv = value(v) && parseRate(v, d) && d > 0 && d <= kMaxSeconds;
            o.seconds = d;
        } else if (a == "--count") {
            okv = value(v) && parseCount(v, u) && u >= 1 && u <= kMaxCount;
            o.count = u;
        } else if (a == "--port") {
            okv = value(v) && parseBytes(v, u) && u >= 1 && u <= 65535;
            o.port = static_cast<uint16_t>(u);
        } else if (a == "--bare-nice") {
            okv = value(v);
            o.bareNice = okv ? std::atoi(v) : 0;
        } else if (a == "--rcvbuf") {
            okv = value(v) && parseBytes(v, u) && u >= 1024 && u <= (1u << 30);
            o.rcvbuf = static_cast<int>(u);
        } else if (a == "--mode") {
            okv = value(v);
            std::string m = okv ? v : "";
            o.runBare = m == "bare" || m == "both";
            o.runServer = m == "server" || m == "both";
            okv = okv && (o.runBare || o.runServer);
        } else if (a == "--sweep") {
            o.sweep = true;
        } else if (a == "--sweep-min") {
            okv = value(v) && parseRate(v, d) && d >= 1000;
            o.sweepMin = d;
        } else if (a == "--sweep-max") {
            okv = value(v) && parseRate(v, d) && d >= 1000;
            o.sweepMax = d;
        } else if (a == "--binary") {
            okv = value(v);
            if (okv) o.binary = v;
        } else if (a == "--fs") {
            okv = value(v) && parseBytes(v, u) && u >= 1 && u <= 2097151;
            o.fsKb = static_cast<long>(u);
        } else if (a == "--keep") {
            o.keep = true;
        } else if (a == "--per-sender") {
            o.perSender = true;
        } else {
            fprintf(stderr, "unknown option %s\n", a.c_str());
            usage(stderr);
            return false;
        }
        if (!okv) {
            fprintf(stderr, "bad value for %s\n", a.c_str());
            return false;
        }
    }
    if (o.sweepMax < o.sweepMin) {
        fprintf(stderr, "--sweep-max is below --sweep-min\n");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], kChildFlag) == 0)
        return bareReceiverMain(static_cast<uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]),
                                std::atoi(argv[4]), std::atoi(argv[5]));

    Options opt;
    if (!parseArgs(argc, argv, opt)) return 2;
    if (opt.runServer) {
        // The server starts in its run directory: a relative path would no longer hold there.
        char* full = realpath(opt.binary.c_str(), nullptr);
        if (!full || access(full, X_OK) != 0) {
            fprintf(stderr, "server binary %s: %s\n", opt.binary.c_str(), strerror(errno));
            free(full);
            return 2;
        }
        opt.binary = full;
        free(full);
    }
    // Without a count the run is timed; with one, the time cap still bounds it.
    double seconds =
        opt.seconds > 0 ? opt.seconds : (opt.count > 0 ? kMaxSeconds : (opt.sweep ? 3.0 : 5.0));
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const char* tmp = getenv("TMPDIR");
    std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/brindleaf-bench.XXXXXX";
    if (!mkdtemp(&root[0])) {
        perror("mkdtemp");
        return 1;
    }

    printf(
        "throughput_bench: %u senders (127.0.0.2..%s) in %u threads, %zu-byte datagrams, "
        "port %u, bare SO_RCVBUF %d nice %d, %s\n",
        opt.senders, senderAddress(opt.senders - 1).c_str(),
        opt.threads ? std::min(opt.threads, opt.senders) : std::min(opt.senders, 4u), opt.size,
        opt.port, opt.rcvbuf, opt.bareNice, opt.binary.c_str());
    if (opt.count > 0)
        printf("each run: %" PRIu64 " per sender, at most %.0f s\n", opt.count, seconds);
    else
        printf("each run: %.1f s of sending\n", seconds);
    fflush(stdout);

    std::vector<Target> targets;
    if (opt.runBare) targets.push_back(Target::Bare);
    if (opt.runServer) targets.push_back(Target::Server);
    int runNo = 0;
    int rc = 0;
    if (opt.sweep) {
        std::vector<SweepResult> results;
        for (Target t : targets) {
            printf("sweep %s from %.0f to %.0f msgs/s:\n", targetName(t), opt.sweepMin,
                   opt.sweepMax);
            results.push_back(sweep(opt, t, seconds, opt.count, root, runNo));
        }
        printf("\nhighest rate with zero loss:\n");
        for (const SweepResult& s : results) {
            printf("  %-6s %9.0f msgs/s requested, %9.0f offered, %.3f us/msg",
                   targetName(s.target), s.best, s.bestOffered, s.bestCpuUs);
            if (s.generatorLimited)
                printf("  (load generator limit: no loss up to what it could offer)");
            else if (s.firstLossy > 0)
                printf("  (lost %.3f %% at %.0f)", s.firstLossyPercent, s.firstLossy);
            else
                printf("  (no loss up to the sweep's end)");
            printf("  [%d steps]\n", s.steps);
        }
    } else {
        std::vector<RunResult> runs;
        for (Target t : targets) {
            runs.push_back(runOnce(opt, t, opt.rate, seconds, opt.count, root, ++runNo));
            if (!runs.back().ok) rc = 1;
            if (gInterrupted.load()) break;
        }
        printTable(opt, runs);
    }
    if (gInterrupted.load()) printf("interrupted: the figures cover what ran until then\n");
    if (opt.keep)
        printf("work directory kept: %s\n", root.c_str());
    else
        removeTree(root);
    return rc;
}
