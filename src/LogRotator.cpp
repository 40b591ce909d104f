#include "LogRotator.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CompressUtil.h"
#include "LogFormat.h"
#include "platform.h"

namespace {
std::atomic<int64_t> gUnwrittenBytes{0};
// A line is at most a stamp, an address and 1024 bytes escaped fourfold.
constexpr size_t kLargestLine = 4 * 1024 + 64;
constexpr size_t kGrowAtOnce = 256 * 1024;
constexpr uint64_t kMostReserved = 64ull << 20;
std::atomic<uint64_t> gMemoryBound{0};
std::atomic<uint64_t> gDroppedLines{0};
std::atomic<time_t> gLastDropReport{-1};

uint64_t defaultMemoryBound() {
    uint64_t quarter = platform::physicalMemoryBytes() / 4;
    return std::max<uint64_t>(quarter, 512ull << 20);
}

// atoi's reading of a number: blanks, a sign, digits up to the first other character.
long long leadingNumber(const std::string& text) {
    return std::atoll(text.c_str());
}
}  // namespace

DirectoryListError::DirectoryListError(const std::string& directory, int errorCode)
    : std::runtime_error("cannot list " + directory + ": " + std::strerror(errorCode)),
      code_(errorCode) {}

LogRotator::LogRotator(const char* _outputdir, int _maxLogFileSize, bool _rawOutput)
    : rawOutput(_rawOutput),
      // A limit of 0 could never take a byte: every pass would make empty files without end.
      maxLogFileSize(_maxLogFileSize == 0 ? 1 : _maxLogFileSize),
      outputdir(_outputdir),
      path(_outputdir) {
    if (!direxists(path)) {
        // A failure shows at the listing below.
        platform::makeDirectories(path);
    }
    currentOutFileSize = 0;
    sTime = getTodayDate();
    sTimePrevious = sTime;
    currentOutFile.clear();
    currentOutFileNo = getLatestLogFile();
    currentOutFile = buildLogFileName(sTime, currentOutFileNo);
    openCurrentSizeFromDisk();
    lastTimeOfFileWrite = platform::now();
}

LogRotator::~LogRotator() {
    currentOutFileStream.close();
    gUnwrittenBytes.fetch_sub(static_cast<int64_t>(fileBuffer.size()), std::memory_order_relaxed);
}

void LogRotator::setIdentity(std::string theIdentity) {
    identity = std::move(theIdentity);
}
std::string LogRotator::getIdentity() {
    return identity;
}

std::string LogRotator::getTodayDate() {
    return logformat::clockTexts(platform::now()).date;
}
std::string LogRotator::getTodayTimeDate() {
    return logformat::clockTexts(platform::now()).timeDate;
}

std::string LogRotator::buildLogFileName(std::string sToday, int fileNo) {
    return logformat::buildLogFileName(path, sToday, fileNo);
}

bool LogRotator::checkIfDayChanged() {
    return sTime != sTimePrevious;
}

bool LogRotator::direxists(std::string strPath) {
    return platform::pathStatus(strPath).isDirectory;
}

bool LogRotator::isIfMaxFileSizeReached() {
    return currentOutFileSize > maxLogFileSize;
}

bool LogRotator::isWriteDue(time_t now) const {
    return difftime(now, lastTimeOfFileWrite) > 60.0;
}

void LogRotator::setMemoryBound(uint64_t bytes) {
    gMemoryBound.store(bytes);
}
uint64_t LogRotator::memoryBound() {
    uint64_t bound = gMemoryBound.load();
    if (bound == 0) {
        bound = defaultMemoryBound();
        gMemoryBound.store(bound);
    }
    return bound;
}
int64_t LogRotator::unwrittenBytesOfAll() {
    return gUnwrittenBytes.load();
}

// ---- Files ------------------------------------------------------------------------------

int LogRotator::getLatestLogFile() {
    std::vector<std::string> names;
    if (int err = platform::listDirectory(path, names)) throw DirectoryListError(path, err);
    long long highestnum = 0;
    for (const std::string& name : names) {
        const std::string startwith = "log" + getTodayDate();
        if (name.find(startwith) == std::string::npos) continue;
        // The number stands between the first and the second "." of log05032008.12.csv.
        if (name.size() <= startwith.size() + 1) continue;
        std::string otherpart = name.substr(startwith.size() + 1);
        size_t dot = otherpart.find('.');
        if (dot == std::string::npos) continue;
        long long number = leadingNumber(otherpart.substr(0, dot));
        if (number > highestnum && number <= 0x7fffffff) highestnum = number;
    }
    return static_cast<int>(highestnum);
}

// Counts the file as it is on disk and makes sure it exists.
void LogRotator::openCurrentSizeFromDisk() {
    platform::PathStatus st = platform::pathStatus(currentOutFile);
    currentOutFileSize = (st.exists && st.size > 0) ? st.size : 0;
    if (!currentOutFileStream.open(currentOutFile) && !writeFailing) {
        std::fprintf(stderr, "brindleaf: cannot open %s\n",
                     currentOutFileStream.errorText().c_str());
        writeFailing = true;
    }
    // Files are open only while they are written, so thousands of rotators hold no
    // descriptors between passes.
    currentOutFileStream.close();
}

void LogRotator::nextFile() {
    currentOutFileSize = 0;
    currentOutFileStream.close();
    currentOutFileNo = currentOutFileNo + 1;
    sTime = getTodayDate();
    lastEntrySecond = -1;  // the next entry compares the dates again
    currentOutFile = buildLogFileName(sTime, currentOutFileNo);
    if (!currentOutFileStream.open(currentOutFile) && !writeFailing) {
        std::fprintf(stderr, "brindleaf: cannot open %s\n",
                     currentOutFileStream.errorText().c_str());
        writeFailing = true;
    }
}

// Writes to the current file, opening it when needed. Reports the first failure of a run of
// failures, and the recovery.
size_t LogRotator::writeCurrent(const char* data, size_t length) {
    if (length == 0) return 0;
    if (!currentOutFileStream.isOpen() || currentOutFileStream.name() != currentOutFile) {
        currentOutFileStream.open(currentOutFile);
    }
    size_t written = currentOutFileStream.write(data, length);
    if (written > 0) lastWrittenByteWasLF = data[written - 1] == '\n';
    if (written < length) {
        if (!writeFailing) {
            std::fprintf(stderr, "brindleaf: cannot write %s\n",
                         currentOutFileStream.errorText().c_str());
            writeFailing = true;
        }
        currentOutFileStream.close();
    } else if (writeFailing) {
        std::fprintf(stderr, "brindleaf: writing %s again\n", currentOutFile.c_str());
        writeFailing = false;
    }
    return written;
}

void LogRotator::bufferChanged(size_t oldSize) {
    gUnwrittenBytes.fetch_add(
        static_cast<int64_t>(fileBuffer.size()) - static_cast<int64_t>(oldSize),
        std::memory_order_relaxed);
}

// ---- Entries ----------------------------------------------------------------------------

void LogRotator::addEntry(std::string buffer, std::string sourceAddress, std::string echoBuffer) {
    (void)buffer;
    addEntry(sourceAddress.data(), sourceAddress.size(), echoBuffer.data(), echoBuffer.size());
}

void LogRotator::addEntry(const char* sourceAddress, size_t addressLength, const char* text,
                          size_t textLength) {
    const logformat::ClockTexts* clock = &logformat::clockTexts(platform::now());
    // The date can only have changed when the clock reads another second.
    if (clock->second != lastEntrySecond) {
        sTime = clock->date;
        if (checkIfDayChanged()) {
            dayRollOver();
            clock = &logformat::clockTexts(platform::now());
        }
        sTimePrevious = sTime;
        lastEntrySecond = clock->second;
    }

    // Compared as unsigned 32-bit values: a negative limit never writes out here.
    if (fileBuffer.size() > static_cast<uint32_t>(maxLogFileSize)) {
        writeOutWhole();
        clock = &logformat::clockTexts(platform::now());
    }

    size_t oldSize = fileBuffer.size();
    // A busy buffer fills up to the limit between write-outs: take that room at once instead of
    // growing through every power of two, each growth a copy into fresh pages.
    if (oldSize + kLargestLine > fileBuffer.capacity() && oldSize >= kGrowAtOnce) {
        const uint64_t full =
            static_cast<uint64_t>(static_cast<uint32_t>(maxLogFileSize)) + kLargestLine;
        if (full <= kMostReserved)
            fileBuffer.reserve(std::max<size_t>(static_cast<size_t>(full), 2 * oldSize));
    }
    logformat::appendLine(fileBuffer, rawOutput, clock->timeDate, sourceAddress, addressLength,
                          text, textLength);
    bufferChanged(oldSize);
    if (static_cast<uint64_t>(gUnwrittenBytes.load(std::memory_order_relaxed)) > memoryBound()) {
        enforceMemoryBound(clock->second);
    }
}

// The buffer has outgrown the limit between passes: all of it goes into the current file,
// which may pass the limit, and the next number begins.
void LogRotator::writeOutWhole() {
    time_t now = platform::now();
    // While writes fail, try at most once a second rather than at every entry.
    if (writeFailing && lastFailedWriteOut == now) return;
    size_t oldSize = fileBuffer.size();
    size_t written = writeCurrent(fileBuffer.data(), fileBuffer.size());
    currentOutFileSize += static_cast<int64_t>(written);
    if (written < fileBuffer.size()) {
        // No next-file step: the rest goes into this file once it can be written.
        fileBuffer.erase(0, written);
        bufferChanged(oldSize);
        lastFailedWriteOut = now;
        return;
    }
    nextFile();
    currentOutFileStream.close();
    fileBuffer.clear();
    bufferChanged(oldSize);
    lastTimeOfFileWrite = platform::now();
}

void LogRotator::dayRollOver() {
    currentOutFileStream.close();
    rotateYesterday();
    currentOutFileNo = getLatestLogFile();
    currentOutFile = buildLogFileName(sTime, currentOutFileNo);
    openCurrentSizeFromDisk();
}

void LogRotator::rotateYesterday() {
    std::vector<std::string> names;
    if (int err = platform::listDirectory(path, names)) throw DirectoryListError(path, err);
    for (const std::string& name : names) {
        const std::string startwith = "log" + logformat::yesterdayDate(platform::now());
        if (name.find(startwith) == std::string::npos) continue;
        if (name.find(".gz") != std::string::npos) continue;
        std::string inputFilename = path + name;
        std::string outputFilename = inputFilename + ".gz";
        if (CompressUtil::compress_one_file(&inputFilename[0], &outputFilename[0]) == 1) {
            std::remove(inputFilename.c_str());
        }
    }
}

// ---- Write passes -----------------------------------------------------------------------

void LogRotator::TimelyFileWrite() {
    if (!isWriteDue(platform::now())) return;
    writePass();
}

bool LogRotator::flushAll() {
    if (!fileBuffer.empty()) writePass();
    return fileBuffer.empty();
}

void LogRotator::writePass() {
    const size_t orginalFileBufLen = fileBuffer.size();
    std::printf("%s  %zu  ][  %lld\n", currentOutFile.c_str(), orginalFileBufLen,
                static_cast<long long>(currentOutFileSize));
    std::fflush(stdout);

    // Byte-exact cuts. Limit 1000, file 4 holding 900, 2500 buffered:
    // file 4 gets 100, files 5 and 6 get 1000 each, file 7 gets 400 and stays current.
    const int64_t limit = maxLogFileSize;
    const uint64_t unsignedLimit = static_cast<uint32_t>(maxLogFileSize);
    size_t done = 0;
    while (done < fileBuffer.size()) {
        if (currentOutFileSize > limit) nextFile();
        const size_t rest = fileBuffer.size() - done;
        if (static_cast<uint64_t>(rest) + static_cast<uint64_t>(currentOutFileSize) >
            unsignedLimit) {
            const size_t maxincurrent = static_cast<size_t>(limit - currentOutFileSize);
            size_t written = writeCurrent(fileBuffer.data() + done, maxincurrent);
            done += written;
            if (written < maxincurrent) {
                currentOutFileSize += static_cast<int64_t>(written);  // the cut stays where it was
                break;
            }
            nextFile();
        } else {
            size_t written = writeCurrent(fileBuffer.data() + done, rest);
            done += written;
            currentOutFileSize += static_cast<int64_t>(written);
            if (written < rest) break;
        }
    }
    size_t oldSize = fileBuffer.size();
    fileBuffer.erase(0, done);
    bufferChanged(oldSize);
    currentOutFileStream.close();
    lastTimeOfFileWrite = platform::now();
}

size_t LogRotator::unwrittenLines() const {
    return static_cast<size_t>(std::count(fileBuffer.begin(), fileBuffer.end(), '\n'));
}

// Unwritten lines of all rotators passed the bound (the disk keeps failing): drop this
// rotator's oldest whole lines until the total is a sixteenth under the bound. A remainder of
// a line whose start is already in the file stays, so no file holds half a line and half
// another.
void LogRotator::enforceMemoryBound(time_t now) {
    const uint64_t bound = memoryBound();
    const uint64_t target = bound - bound / 16;
    size_t keepFrom = 0;
    if (!lastWrittenByteWasLF) {
        size_t end = fileBuffer.find('\n');
        keepFrom = end == std::string::npos ? fileBuffer.size() : end + 1;
    }
    size_t cut = keepFrom;
    uint64_t total = static_cast<uint64_t>(gUnwrittenBytes.load());
    size_t lines = 0;
    while (cut < fileBuffer.size() && total - (cut - keepFrom) > target) {
        size_t end = fileBuffer.find('\n', cut);
        cut = end == std::string::npos ? fileBuffer.size() : end + 1;
        ++lines;
    }
    if (cut == keepFrom) return;
    size_t oldSize = fileBuffer.size();
    fileBuffer.erase(keepFrom, cut - keepFrom);
    bufferChanged(oldSize);
    // One report a second for the whole process, however many rotators drop.
    const uint64_t dropped = gDroppedLines.fetch_add(lines) + lines;
    time_t reported = gLastDropReport.load();
    if (reported != now && gLastDropReport.compare_exchange_strong(reported, now)) {
        std::fprintf(stderr,
                     "brindleaf: unwritten lines over the memory bound of %llu bytes: dropped the "
                     "oldest, %llu lines so far\n",
                     static_cast<unsigned long long>(bound),
                     static_cast<unsigned long long>(dropped));
    }
}
