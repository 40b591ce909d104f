// One log destination: a directory with a daily series of numbered files cut at a size
// limit. Lines gather in memory and reach the disk in write passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>

#include "LogFile.h"

// A log directory that cannot be listed. The rotator does not end the process itself: the
// caller first has every other rotator write its buffer.
class DirectoryListError : public std::runtime_error {
  public:
    DirectoryListError(const std::string& directory, int errorCode);
    int code() const { return code_; }

  private:
    int code_;
};

class LogRotator {
  public:
    // Creates the directory (with missing parents) and continues today's highest-numbered
    // file. Throws DirectoryListError when the directory cannot be listed.
    LogRotator(const char* _outputdir, int _maxLogFileSize, bool _rawOutput);
    ~LogRotator();
    LogRotator(const LogRotator&) = delete;
    LogRotator& operator=(const LogRotator&) = delete;

    void setIdentity(std::string theIdentity);
    std::string getIdentity();

    // Adds one entry; `buffer` (the caller's time stamp) is not used: the line carries the
    // rotator's own reading of the clock.
    void addEntry(std::string buffer, std::string sourceAddress, std::string echoBuffer);
    // The same without copies, for the dispatcher.
    void addEntry(const char* sourceAddress, size_t addressLength, const char* text,
                  size_t textLength);

    std::string getTodayDate();
    std::string getTodayTimeDate();
    std::string buildLogFileName(std::string sToday, int fileNo);
    bool checkIfDayChanged();
    bool direxists(std::string strPath);

    // The write pass, when more than 60 s have passed since the last write.
    void TimelyFileWrite();
    bool isIfMaxFileSizeReached();
    int getLatestLogFile();
    void rotateYesterday();

    // ---- Beyond the pass on message arrival ----
    bool isWriteDue(time_t now) const;
    // A hint that an entry comes soon: start loading what addEntry touches.
    void prefetchForEntry() const {
        __builtin_prefetch(this);
        __builtin_prefetch(fileBuffer.data() + fileBuffer.size(), 1);
    }
    time_t lastWriteTime() const { return lastTimeOfFileWrite; }
    size_t bufferedBytes() const { return fileBuffer.size(); }
    // Writes the whole buffer now, with the normal cuts (used at the stop). True when
    // nothing is left unwritten.
    bool flushAll();
    // Lines (or remainders of lines) still in the buffer.
    size_t unwrittenLines() const;
    const std::string& currentFileName() const { return currentOutFile; }
    int currentFileNumber() const { return currentOutFileNo; }
    int64_t currentFileSize() const { return currentOutFileSize; }

    // Unwritten bytes of all rotators together may not pass this bound; past it the oldest
    // whole lines are dropped and counted on standard error. Default: a quarter of the
    // physical memory, at least 512 MiB. (The dispatcher writes buffers early long before
    // that, so only a disk that keeps failing lets the total reach it.)
    static void setMemoryBound(uint64_t bytes);
    static uint64_t memoryBound();
    static int64_t unwrittenBytesOfAll();

  private:
    // What every entry touches comes first, in one cache line with the buffer's own fields.
    std::string fileBuffer;
    bool rawOutput;
    int maxLogFileSize;
    time_t lastTimeOfFileWrite = 0;
    time_t lastEntrySecond = -1;  // the clock's second at the last entry

    const char* outputdir;
    std::string path;
    std::string sTime;
    std::string sTimePrevious;
    std::string currentOutFile;
    int currentOutFileNo = 0;
    LogFile currentOutFileStream;
    int64_t currentOutFileSize = 0;  // 64 bits: the write-out over the limit may pass 2 GiB
    std::string identity;

    // Write failures: reported once when they begin, retried at later passes.
    bool writeFailing = false;
    time_t lastFailedWriteOut = -1;
    bool lastWrittenByteWasLF = true;

    void writePass();
    void nextFile();
    void dayRollOver();
    void openCurrentSizeFromDisk();
    size_t writeCurrent(const char* data, size_t length);
    void writeOutWhole();
    void bufferChanged(size_t oldSize);
    void enforceMemoryBound(time_t now);
};
