// The server process: start-up values, the receiver and dispatcher threads, the stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "Config.h"
#include "IncomingList.h"

class LogRotator;

// How the threads learn that the process is to stop, and what it ends with.
struct ServerControl {
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> receiverReady{false};  // socket bound, reading
    std::atomic<bool> receiverDone{false};   // nothing more will be appended
    std::atomic<bool> dispatcherDone{false};
    std::atomic<int> exitStatus{0};
};

// What the main thread hands to the dispatcher.
struct settings {
    IncomingList* messageBuffer = nullptr;
    std::map<std::string, std::string> mymap;  // sender address -> group name
    std::string outputdir;
    int logfilesize = 0;
    bool raw = false;
    bool output = false;
    ServerControl* control = nullptr;
};

// What the main thread hands to the receiver.
struct ReceiverArgs {
    IncomingList* messageBuffer = nullptr;
    unsigned short echoServPort = 514;
    ServerControl* control = nullptr;
    int receiveBufferBytes = 16 << 20;
};

// ---- Command line -----------------------------------------------------------------------
enum class ArgumentOutcome { Run, Help, Error };
// Walks the arguments over `values`. "-?" prints the help text on `out`; a refused value
// prints one line on `err`.
ArgumentOutcome parseArguments(int argc, const char* const* argv, StartupValues& values,
                               std::ostream& out, std::ostream& err);
void printHelp(const char* programName, std::ostream& out);

// ---- Memory guard -----------------------------------------------------------------------
// Decides, before each read, whether the receiver may read: not while the memory load is
// 90 percent or more. Reuses a load reading for 100 ms; says "dropping messages" when the
// state begins and then at most once a second.
class MemoryGuard {
  public:
    explicit MemoryGuard(FILE* out = stdout) : out_(out) {}
    // True: do not read now, wait about 10 ms and ask again.
    bool mustPause(int64_t nowMs);

  private:
    FILE* out_;
    int64_t lastReadMs_ = INT64_MIN / 2;
    int load_ = 0;
    bool dropping_ = false;
    int64_t lastReportMs_ = INT64_MIN / 2;
};

// Strips one trailing LF, with an optional CR before it. Returns the new length.
size_t trimLineEnd(const char* text, size_t length);
// The text a datagram of `received` bytes gives: its first ECHOMAX bytes, up to the first
// NUL, less one trailing line end. Returns the text's length.
size_t messageTextLength(const char* datagram, size_t received);

// ---- Dispatcher -------------------------------------------------------------------------
// Hands every message to the rotator of its group and runs the due write passes.
class Dispatcher {
  public:
    explicit Dispatcher(const settings& s, FILE* echo = stdout);
    ~Dispatcher();
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    void dispatch(const MessageBatch& batch);
    void dispatch(uint32_t address, const char* text, size_t length);
    // While idle: the due passes of the rotators that hold lines.
    void idlePasses();
    // Writes every buffer (retrying for up to `retrySeconds`); returns the lines left unwritten.
    size_t flushAll(unsigned retrySeconds);
    size_t rotatorCount() const { return myLogRotatorList.size(); }
    const std::vector<LogRotator*>& rotators() const { return myLogRotatorList; }

  private:
    // One slot of the open-addressing table of senders: everything a message needs in one
    // cache line, so the cost per message stays flat with thousands of senders.
    struct Sender {
        uint32_t address = 0;
        uint8_t textLength = 0;  // 0: free slot
        char text[15];           // dotted text, "255.255.255.255" at most
        LogRotator* rotator = nullptr;
    };
    const settings& settings_;
    FILE* echo_;
    std::vector<LogRotator*> myLogRotatorList;  // in order of creation
    std::unordered_map<std::string, LogRotator*> byIdentity_;
    std::vector<Sender> senders_ = std::vector<Sender>(1024);
    size_t senderCount_ = 0;
    time_t earliestWrite_ = 0;  // no later than the oldest last write of any rotator
    std::string echoLine_;
    time_t lastPressurePass_ = -1;

    Sender& senderOf(uint32_t address);
    Sender& slotOf(uint32_t address);
    size_t homeSlot(uint32_t address) const;
    LogRotator* rotatorFor(const std::string& group);
    void runDuePasses(time_t now, bool onlyWithLines);
    void relieveMemoryPressure();
};

// Thread start routines.
void* receiver(void* ptr);   // ptr: ReceiverArgs*
void* logrotate(void* ptr);  // ptr: settings*

// The whole program; returns the exit status.
int brindleafMain(int argc, char** argv);
