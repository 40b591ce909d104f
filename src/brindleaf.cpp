#include "brindleaf.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <ostream>

#include "LogFormat.h"
#include "LogRotator.h"
#include "PracticalSocket.h"
#include "platform.h"

// ---- Command line -----------------------------------------------------------------------

void printHelp(const char* programName, std::ostream& out) {
    out << "BRINDLEAF 1.06 " << std::endl;
    out << "Usage: " << programName << " [options] " << std::endl;
    out << std::endl;
    out << " Available options: " << std::endl;
    out << "   -o          also output to screen. " << std::endl;
    out << "   -r          log syslog messages, without formatting them to csv. " << std::endl;
    out << "   -fs <size>  log file cut size, how big should the pieces be, in Kilobytes. "
        << std::endl;
    out << "   -od <dir>   output directory " << std::endl;
    out << "   -p  <port>  port number where the server will listen on. (default: 514) "
        << std::endl;
    out << "   -?  show this help. " << std::endl;
    out << std::endl;
}

namespace {
constexpr long kMaxKilobytes = 2097151;  // the largest size whose bytes fit a signed 32-bit count

// Blanks and one "+" may lead (as atoi allows); then digits only, 1 to kMaxKilobytes. The
// range is checked on the whole number, so 4294967297 is refused rather than wrapped to 1.
bool parseKilobytes(const char* text, int& kilobytes) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '+') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        if (value <= kMaxKilobytes) value = value * 10 + (*p - '0');
    }
    if (*p != '\0' || value < 1 || value > kMaxKilobytes) return false;
    kilobytes = static_cast<int>(value);
    return true;
}

// atoi's reading, reduced modulo 65536: 70000 gives 4464.
unsigned short parsePort(const char* text) {
    long long n = std::strtoll(text, nullptr, 10);
    return static_cast<unsigned short>(static_cast<unsigned long long>(n) & 0xffffu);
}
}  // namespace

ArgumentOutcome parseArguments(int argc, const char* const* argv, StartupValues& values,
                               std::ostream& out, std::ostream& err) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-?") {
            printHelp(argv[0], out);
            return ArgumentOutcome::Help;
        }
        if (arg == "-o") {
            values.output = true;
        } else if (arg == "-r") {
            values.raw = true;
        } else if (arg == "-fs" || arg == "-od" || arg == "-p") {
            if (i + 1 >= argc) {
                err << "brindleaf: option " << arg << " needs a value" << std::endl;
                return ArgumentOutcome::Error;
            }
            const char* value = argv[++i];
            if (arg == "-fs") {
                int kilobytes = 0;
                if (!parseKilobytes(value, kilobytes)) {
                    err << "brindleaf: -fs takes a size in kilobytes from 1 to " << kMaxKilobytes
                        << ", not \"" << value << "\"" << std::endl;
                    return ArgumentOutcome::Error;
                }
                values.logfilesize = kilobytes * 1024;
            } else if (arg == "-od") {
                values.outputdir = value;
            } else {
                values.echoServPort = parsePort(value);
            }
        }
        // Anything else is skipped.
    }
    return ArgumentOutcome::Run;
}

// ---- Receiver ---------------------------------------------------------------------------

bool MemoryGuard::mustPause(int64_t nowMs) {
    if (dropping_ || nowMs - lastReadMs_ >= 100) {
        load_ = platform::memoryLoadPercent();
        lastReadMs_ = nowMs;
    }
    if (load_ > 89) {
        if (!dropping_ || nowMs - lastReportMs_ >= 1000) {
            std::fputs("dropping messages\n", out_);
            std::fflush(out_);
            lastReportMs_ = nowMs;
        }
        dropping_ = true;
        return true;
    }
    dropping_ = false;
    return false;
}

size_t trimLineEnd(const char* text, size_t length) {
    if (length > 0 && text[length - 1] == '\n') {
        --length;
        if (length > 0 && text[length - 1] == '\r') --length;
    }
    return length;
}

size_t messageTextLength(const char* datagram, size_t received) {
    const size_t kept = std::min<size_t>(received, ECHOMAX);
    const void* nul = std::memchr(datagram, '\0', kept);
    const size_t length =
        nul ? static_cast<size_t>(static_cast<const char*>(nul) - datagram) : kept;
    return trimLineEnd(datagram, length);
}

namespace {
// Whatever the kernel cannot queue for the socket is lost, so when the cores are short the
// server's two threads go before other work of the machine (nice -10). This needs privileges;
// without them a thread keeps the default priority.
void raiseThreadPriority() {
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -10);
}
}  // namespace

void* receiver(void* ptr) {
    ReceiverArgs* args = static_cast<ReceiverArgs*>(ptr);
    ServerControl* control = args->control;
    std::unique_ptr<UDPSocket> sock;
    try {
        sock.reset(new UDPSocket(args->echoServPort));
    } catch (const SocketException& e) {
        std::fprintf(stderr, "brindleaf: %s\n", e.what());
        control->exitStatus.store(1);
        control->stopRequested.store(true);
        control->receiverDone.store(true, std::memory_order_release);
        return nullptr;
    }
    // A burst must fit the kernel's queue while the threads are busy elsewhere.
    sock->setReceiveBufferSize(args->receiveBufferBytes);
    // Wakes the blocking read now and then, so a stop is seen without traffic.
    sock->setReceiveTimeout(100);
    control->receiverReady.store(true);

    constexpr unsigned kBatch = 64;
    std::vector<char> buffers(kBatch * (ECHOMAX + 1));
    std::vector<struct mmsghdr> msgs(kBatch);
    std::vector<struct iovec> iov(kBatch);
    std::vector<struct sockaddr_in> from(kBatch);
    for (unsigned i = 0; i < kBatch; ++i) {
        iov[i].iov_base = &buffers[i * (ECHOMAX + 1)];
        iov[i].iov_len = ECHOMAX;  // a longer datagram is cut to its first ECHOMAX bytes
        std::memset(&msgs[i], 0, sizeof msgs[i]);
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &from[i];
    }

    raiseThreadPriority();
    MemoryGuard guard;
    MessageBatch batch;
    int64_t stopSeenMs = -1;
    for (;;) {
        const bool stopping = control->stopRequested.load();
        if (stopping && stopSeenMs < 0) stopSeenMs = platform::monotonicMs();
        if (!stopping && guard.mustPause(platform::monotonicMs())) {
            platform::sleepMs(10);
            continue;
        }
        // The kernel changes only these between calls.
        for (unsigned i = 0; i < kBatch; ++i) msgs[i].msg_hdr.msg_namelen = sizeof from[i];
        // At the stop: only what the kernel already holds, without waiting for more.
        int n = sock->recvBatch(msgs.data(), kBatch, stopping ? MSG_DONTWAIT : MSG_WAITFORONE);
        if (n <= 0) {
            if (stopping) break;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                platform::sleepMs(1);  // a failed receive yields no message
            }
            continue;
        }
        for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
            const char* text = static_cast<const char*>(iov[i].iov_base);
            batch.add(from[i].sin_addr.s_addr, text, messageTextLength(text, msgs[i].msg_len));
        }
        args->messageBuffer->appendBatch(batch);
        // A short batch means the queue ran dry: let the next datagrams gather for a moment
        // rather than waking for each of them (the socket buffer holds far more than that).
        if (!stopping && static_cast<unsigned>(n) < kBatch) {
            struct timespec pause = {0, 100 * 1000L};  // 100 us: 40 datagrams at 400,000/s
            nanosleep(&pause, nullptr);
        }
        // A batch that comes back without buffers gets room for a full one at once.
        if (batch.capacityBytes() < kBatch * ECHOMAX) batch.reserve(kBatch, kBatch * ECHOMAX);
        // Senders that go on flat out must not hold the stop for ever.
        if (stopping && platform::monotonicMs() - stopSeenMs > 2000) break;
    }
    control->receiverDone.store(true, std::memory_order_release);
    return nullptr;
}

// ---- Dispatcher -------------------------------------------------------------------------

Dispatcher::Dispatcher(const settings& s, FILE* echo) : settings_(s), echo_(echo) {}

Dispatcher::~Dispatcher() {
    for (LogRotator* r : myLogRotatorList) delete r;
}

size_t Dispatcher::homeSlot(uint32_t address) const {
    return (static_cast<size_t>(address) * 0x9E3779B97F4A7C15ull >> 32) & (senders_.size() - 1);
}

Dispatcher::Sender& Dispatcher::slotOf(uint32_t address) {
    const size_t mask = senders_.size() - 1;
    size_t i = homeSlot(address);
    while (senders_[i].textLength != 0 && senders_[i].address != address) i = (i + 1) & mask;
    return senders_[i];
}

Dispatcher::Sender& Dispatcher::senderOf(uint32_t address) {
    Sender* slot = &slotOf(address);
    if (slot->textLength != 0) return *slot;
    if (2 * (senderCount_ + 1) > senders_.size()) {
        std::vector<Sender> old(senders_.size() * 2);
        old.swap(senders_);
        for (const Sender& s : old) {
            if (s.textLength != 0) slotOf(s.address) = s;
        }
        slot = &slotOf(address);
    }
    const std::string text = addressText(address);
    slot->address = address;
    slot->textLength = static_cast<uint8_t>(text.size());
    std::memcpy(slot->text, text.data(), text.size());
    ++senderCount_;
    return *slot;
}

LogRotator* Dispatcher::rotatorFor(const std::string& group) {
    auto it = byIdentity_.find(group);
    if (it != byIdentity_.end()) return it->second;
    const std::string tempdir = settings_.outputdir + "/" + group + "/";
    LogRotator* r = new LogRotator(tempdir.c_str(), settings_.logfilesize, settings_.raw);
    r->setIdentity(group);
    if (myLogRotatorList.empty()) earliestWrite_ = r->lastWriteTime();
    earliestWrite_ = std::min(earliestWrite_, r->lastWriteTime());
    myLogRotatorList.push_back(r);
    byIdentity_.emplace(group, r);
    return r;
}

// Every rotator whose pass is due gets it, in order of creation.
void Dispatcher::runDuePasses(time_t now, bool onlyWithLines) {
    (void)now;
    for (LogRotator* r : myLogRotatorList) {
        if (!onlyWithLines || r->bufferedBytes() > 0) r->TimelyFileWrite();
    }
    earliestWrite_ = myLogRotatorList.front()->lastWriteTime();
    for (LogRotator* r : myLogRotatorList)
        earliestWrite_ = std::min(earliestWrite_, r->lastWriteTime());
}

void Dispatcher::dispatch(uint32_t address, const char* text, size_t length) {
    if (length == 0) return;
    Sender& sender = senderOf(address);
    // One comparison per message decides whether any pass is due at all.
    const time_t now = platform::now();
    if (!myLogRotatorList.empty() && difftime(now, earliestWrite_) > 60.0) runDuePasses(now, false);
    if (!sender.rotator) {
        const std::string dotted(sender.text, sender.textLength);
        auto group = settings_.mymap.find(dotted);
        sender.rotator = rotatorFor(group != settings_.mymap.end() ? group->second : dotted);
    }
    LogRotator* r = sender.rotator;
    if (settings_.output) {
        echoLine_ = "[";
        echoLine_ += r->getTodayTimeDate();
        echoLine_ += "] - [";
        echoLine_.append(sender.text, sender.textLength);
        echoLine_ += "] ";
        logformat::appendEscaped(echoLine_, text, length);
        echoLine_ += '\n';
    }
    r->addEntry(sender.text, sender.textLength, text, length);
    earliestWrite_ = std::min(earliestWrite_, r->lastWriteTime());
    if (settings_.output) {
        std::fwrite(echoLine_.data(), 1, echoLine_.size(), echo_);
        std::fflush(echo_);
    }
}

void Dispatcher::dispatch(const MessageBatch& batch) {
    // With thousands of senders each message touches its own sender slot, rotator and buffer:
    // ask for them a few messages ahead so that the misses overlap.
    const size_t n = batch.size();
    for (size_t i = 0; i < n; ++i) {
        if (i + 8 < n) __builtin_prefetch(&senders_[homeSlot(batch.item(i + 8).address)]);
        if (i + 4 < n) {
            const uint32_t ahead = batch.item(i + 4).address;
            const Sender& s = senders_[homeSlot(ahead)];
            if (s.address == ahead && s.rotator) s.rotator->prefetchForEntry();
        }
        const MessageBatch::Item& it = batch.item(i);
        dispatch(it.address, batch.text(it), it.length);
    }
    relieveMemoryPressure();
}

// Thousands of busy senders can gather more than the memory bound within one write interval
// on a healthy disk. Past half the bound every buffer is written early, at most once a second,
// so that lines are dropped only when the disk keeps refusing them.
void Dispatcher::relieveMemoryPressure() {
    if (static_cast<uint64_t>(LogRotator::unwrittenBytesOfAll()) <= LogRotator::memoryBound() / 2) {
        return;
    }
    const time_t now = platform::now();
    if (now == lastPressurePass_) return;
    lastPressurePass_ = now;
    for (LogRotator* r : myLogRotatorList) {
        if (r->bufferedBytes() > 0) r->flushAll();
        earliestWrite_ = std::min(earliestWrite_, r->lastWriteTime());
    }
}

void Dispatcher::idlePasses() {
    if (myLogRotatorList.empty()) return;
    const time_t now = platform::now();
    if (difftime(now, earliestWrite_) > 60.0) runDuePasses(now, true);
}

size_t Dispatcher::flushAll(unsigned retrySeconds) {
    const int64_t deadline = platform::monotonicMs() + static_cast<int64_t>(retrySeconds) * 1000;
    for (;;) {
        size_t left = 0;
        for (LogRotator* r : myLogRotatorList) {
            if (!r->flushAll()) left += r->unwrittenLines();
        }
        if (left == 0 || platform::monotonicMs() >= deadline) return left;
        platform::sleepMs(250);
    }
}

void* logrotate(void* ptr) {
    settings* s = static_cast<settings*>(ptr);
    ServerControl* control = s->control;
    raiseThreadPriority();
    Dispatcher dispatcher(*s);
    std::vector<MessageBatch> batches;
    time_t lastIdleCheck = platform::now();
    try {
        for (;;) {
            const bool receiverDone = control->receiverDone.load(std::memory_order_acquire);
            if (s->messageBuffer->takeBatches(batches)) {
                for (const MessageBatch& batch : batches) dispatcher.dispatch(batch);
                continue;
            }
            if (receiverDone) break;
            // Idle: look at the wall clock about once a second for passes that fell due.
            const time_t now = platform::now();
            if (now != lastIdleCheck) {
                lastIdleCheck = now;
                dispatcher.idlePasses();
            }
            platform::sleepMs(1);
        }
        if (size_t left = dispatcher.flushAll(5)) {
            std::fprintf(stderr, "brindleaf: %zu lines could not be written\n", left);
            control->exitStatus.store(1);
        }
    } catch (const DirectoryListError& e) {
        if (size_t left = dispatcher.flushAll(2)) {
            std::fprintf(stderr, "brindleaf: %zu lines could not be written\n", left);
        }
        std::printf("Invalid File Handle. GetLastError reports %d\n", e.code());
        std::fflush(stdout);
        control->exitStatus.store(1);
    }
    control->stopRequested.store(true);
    control->dispatcherDone.store(true);
    return nullptr;
}

// ---- Start-up ---------------------------------------------------------------------------

int brindleafMain(int argc, char** argv) {
    StartupValues values;
    std::unique_ptr<settings> s(new settings);
    readConfigFile("config.xml", values, s->mymap, std::cout, std::cerr);
    if (argc > 1) {
        switch (parseArguments(argc, argv, values, std::cout, std::cerr)) {
            case ArgumentOutcome::Help:
                return 0;
            case ArgumentOutcome::Error:
                return 2;
            case ArgumentOutcome::Run:
                break;
        }
    } else if (!values.configFileUsed) {
        return 0;
    }

    IncomingList list;
    ServerControl control;
    s->messageBuffer = &list;
    s->outputdir = values.outputdir;
    s->logfilesize = values.logfilesize;
    s->raw = values.raw;
    s->output = values.output;
    s->control = &control;
    ReceiverArgs receiverArgs;
    receiverArgs.messageBuffer = &list;
    receiverArgs.echoServPort = values.echoServPort;
    receiverArgs.control = &control;

    // The stop signals are taken by this thread alone (sigtimedwait below).
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    pthread_t messageReceiverThread, logRotatorsThread;
    if (int e = pthread_create(&messageReceiverThread, nullptr, receiver, &receiverArgs)) {
        std::fprintf(stderr, "brindleaf: cannot start the receiver thread: %s\n", std::strerror(e));
        return 1;
    }
    if (int e = pthread_create(&logRotatorsThread, nullptr, logrotate, s.get())) {
        std::fprintf(stderr, "brindleaf: cannot start the dispatcher thread: %s\n",
                     std::strerror(e));
        control.stopRequested.store(true);
        pthread_join(messageReceiverThread, nullptr);
        return 1;
    }
    while (!control.dispatcherDone.load()) {
        struct timespec wait = {0, 100 * 1000 * 1000};
        int sig = sigtimedwait(&stopSignals, nullptr, &wait);
        if (sig == SIGINT || sig == SIGTERM) {
            control.stopRequested.store(true);
            break;
        }
    }
    pthread_join(logRotatorsThread, nullptr);
    pthread_join(messageReceiverThread, nullptr);
    return control.exitStatus.load();
}
