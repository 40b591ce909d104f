#include "LogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

LogFile::~LogFile() {
    close();
}

bool LogFile::open(const std::string& name) {
    close();
    name_ = name;
    fd_ = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd_ < 0) {
        error_ = errno;
        return false;
    }
    error_ = 0;
    return true;
}

void LogFile::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

size_t LogFile::write(const char* data, size_t length) {
    if (fd_ < 0) {
        if (error_ == 0) error_ = EBADF;
        return 0;
    }
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(fd_, data + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
            break;
        }
        if (n == 0) {
            error_ = EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

std::string LogFile::errorText() const {
    return name_ + ": " + std::strerror(error_);
}
