// The host services the server needs, in one place: the wall clock, the memory load,
// sleeping, path status, directory creation and listing. Each of the fallible ones can be
// replaced by tests (see Hooks) so that failure paths run without breaking a real machine.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace platform {

// ---- Wall clock -------------------------------------------------------------------------
// Every time of day and every interval of the log files is read here: the C library's
// CLOCK_REALTIME, so tools that shift a process's clock move the server too. Tests pin it.
time_t now();
void setFakeTime(time_t t);  // pins now() to t until clearFakeTime()
void advanceFakeTime(time_t seconds);
void clearFakeTime();
bool fakeTimeActive();

// Local calendar time of t (localtime_r).
struct tm localTime(time_t t);

// ---- Memory load ------------------------------------------------------------------------
// Share of physical memory in use, 0..100: (MemTotal - MemAvailable) / MemTotal from
// /proc/meminfo. A load that cannot be read is 0.
int memoryLoadPercent();
// Physical memory in bytes (MemTotal), 0 when unknown.
uint64_t physicalMemoryBytes();

// ---- Sleeping ---------------------------------------------------------------------------
void sleepMs(unsigned milliseconds);
// Monotonic milliseconds, for pacing only (never for the times the log files depend on).
int64_t monotonicMs();

// ---- File system ------------------------------------------------------------------------
struct PathStatus {
    bool exists = false;
    bool isDirectory = false;
    int64_t size = 0;
};
PathStatus pathStatus(const std::string& path);

// Creates a directory and its missing parents (mode 0750, the umask applies on top).
// Returns 0, or the errno of the step that failed. An existing directory is success.
int makeDirectories(const std::string& path);

// Names of every entry of a directory ("." and ".." left out). Returns 0, or the errno
// of a listing that could not begin.
int listDirectory(const std::string& path, std::vector<std::string>& names);

// ---- Seams for tests --------------------------------------------------------------------
// A null member means the real implementation. Set them before any thread uses them.
struct Hooks {
    int (*memoryLoad)() = nullptr;
    int (*listDirectory)(const std::string& path, std::vector<std::string>& names) = nullptr;
    int (*makeDirectories)(const std::string& path) = nullptr;
};
Hooks& hooks();

}  // namespace platform
