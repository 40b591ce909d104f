// One log file open for appending: open, write, close, size. Errors keep errno and the name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class LogFile {
  public:
    LogFile() = default;
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens (creating with mode 0640, the umask on top) for appending. An existing file keeps
    // its contents and its mode. False on failure, with error() set.
    bool open(const std::string& name);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    const std::string& name() const { return name_; }

    // Writes as much of the bytes as the file takes and returns that count; a count below
    // `length` means a failure, with error() set.
    size_t write(const char* data, size_t length);

    int error() const { return error_; }
    // "<name>: <system text>" of the last failure.
    std::string errorText() const;

  private:
    int fd_ = -1;
    int error_ = 0;
    std::string name_;
};
