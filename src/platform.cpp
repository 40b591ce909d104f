#include "platform.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace platform {

namespace {
constexpr int64_t kRealClock = INT64_MIN;
std::atomic<int64_t> gFakeTime{kRealClock};
Hooks gHooks;
}  // namespace

time_t now() {
    int64_t fake = gFakeTime.load(std::memory_order_relaxed);
    if (fake != kRealClock) return static_cast<time_t>(fake);
    return ::time(nullptr);
}

void setFakeTime(time_t t) {
    gFakeTime.store(static_cast<int64_t>(t));
}
void advanceFakeTime(time_t seconds) {
    gFakeTime.fetch_add(static_cast<int64_t>(seconds));
}
void clearFakeTime() {
    gFakeTime.store(kRealClock);
}
bool fakeTimeActive() {
    return gFakeTime.load() != kRealClock;
}

struct tm localTime(time_t t) {
    struct tm result {};
    localtime_r(&t, &result);
    return result;
}

namespace {
// Reads MemTotal and MemAvailable in kB; false when either is missing.
bool readMeminfo(uint64_t& totalKb, uint64_t& availableKb) {
    FILE* f = std::fopen("/proc/meminfo", "re");
    if (!f) return false;
    char line[256];
    bool haveTotal = false, haveAvail = false;
    unsigned long long value = 0;
    while (std::fgets(line, sizeof line, f) && !(haveTotal && haveAvail)) {
        if (std::sscanf(line, "MemTotal: %llu", &value) == 1) {
            totalKb = value;
            haveTotal = true;
        } else if (std::sscanf(line, "MemAvailable: %llu", &value) == 1) {
            availableKb = value;
            haveAvail = true;
        }
    }
    std::fclose(f);
    return haveTotal && haveAvail && totalKb > 0;
}
}  // namespace

int memoryLoadPercent() {
    if (gHooks.memoryLoad) return gHooks.memoryLoad();
    uint64_t total = 0, avail = 0;
    if (!readMeminfo(total, avail)) return 0;
    if (avail > total) return 0;
    return static_cast<int>((total - avail) * 100 / total);
}

uint64_t physicalMemoryBytes() {
    uint64_t total = 0, avail = 0;
    if (!readMeminfo(total, avail)) return 0;
    return total * 1024;
}

void sleepMs(unsigned milliseconds) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(milliseconds / 1000);
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int64_t monotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

PathStatus pathStatus(const std::string& path) {
    PathStatus st;
    struct stat sb;
    if (::stat(path.c_str(), &sb) != 0) return st;
    st.exists = true;
    st.isDirectory = S_ISDIR(sb.st_mode);
    st.size = static_cast<int64_t>(sb.st_size);
    return st;
}

int makeDirectories(const std::string& path) {
    if (gHooks.makeDirectories) return gHooks.makeDirectories(path);
    if (path.empty()) return ENOENT;
    // Walk the components left to right: "a/b/c/" creates a, a/b, a/b/c.
    std::string partial;
    partial.reserve(path.size());
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (!partial.empty() && partial != "/" && partial != "." && partial != "..") {
                if (::mkdir(partial.c_str(), 0750) != 0 && errno != EEXIST) return errno;
            }
        }
        if (i < path.size()) partial.push_back(path[i]);
    }
    return pathStatus(path).isDirectory ? 0 : ENOTDIR;
}

int listDirectory(const std::string& path, std::vector<std::string>& names) {
    if (gHooks.listDirectory) return gHooks.listDirectory(path, names);
    names.clear();
    DIR* dir = ::opendir(path.empty() ? "." : path.c_str());
    if (!dir) return errno != 0 ? errno : EIO;
    while (struct dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        names.emplace_back(name);
    }
    ::closedir(dir);
    return 0;
}

Hooks& hooks() {
    return gHooks;
}

}  // namespace platform
