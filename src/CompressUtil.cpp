#include "CompressUtil.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Big enough that compression, not system calls, sets the pace; fixed, so memory does not
// grow with the file.
constexpr size_t kBufferSize = 64 * 1024;

void report(const char* infilename, const std::string& error) {
    std::fprintf(stderr, "brindleaf: cannot archive %s: %s\n", infilename, error.c_str());
    std::fflush(stderr);
}

// gzerror() prefixes the message with the stream's name, "<fd:5>: No space left on device"
// for a gzdopen'ed stream; only the part after it says anything.
std::string gzErrorText(gzFile gz) {
    int errnum = Z_OK;
    const char* msg = gzerror(gz, &errnum);
    std::string text = msg ? msg : "";
    if (text.compare(0, 4, "<fd:") == 0) {
        size_t sep = text.find(": ");
        if (sep != std::string::npos) text.erase(0, sep + 2);
    }
    return text.empty() ? "compression failed" : text;
}

// Closes the stream and returns "" when the archive is complete, else the error text.
std::string closeArchive(gzFile gz) {
    errno = 0;
    int rc = gzclose(gz);
    if (rc == Z_OK) return "";
    if (rc == Z_ERRNO) return errno ? std::strerror(errno) : "write error";
    return zError(rc);
}

}  // namespace

int CompressUtil::compress_one_file(char* infilename, char* outfilename) {
    int in = open(infilename, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        report(infilename, std::strerror(errno));
        return -1;
    }

    // Written under a temporary name and renamed only when complete, so a half-written
    // archive never carries the final name. It contains ".gz": the archiver skips it.
    const std::string tmpname = std::string(outfilename) + ".tmp";
    int out = open(tmpname.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0640);
    if (out < 0) {
        report(infilename, std::strerror(errno));
        close(in);
        return -1;
    }
    gzFile gz = gzdopen(out, "wb");
    if (!gz) {
        report(infilename, errno ? std::strerror(errno) : "out of memory");
        close(out);
        close(in);
        unlink(tmpname.c_str());
        return -1;
    }

    std::string error;
    if (gzbuffer(gz, static_cast<unsigned>(kBufferSize)) != 0) error = "cannot set buffer size";
    std::unique_ptr<char[]> inbuffer(new char[kBufferSize]);
    while (error.empty()) {
        ssize_t num_read = read(in, inbuffer.get(), kBufferSize);
        if (num_read < 0) {
            if (errno == EINTR) continue;
            error = std::strerror(errno);
        } else if (num_read == 0) {
            break;
        } else if (gzwrite(gz, inbuffer.get(), static_cast<unsigned>(num_read)) != num_read) {
            error = gzErrorText(gz);
        }
    }
    close(in);

    // The stream is closed on every path; its error counts only when nothing failed before.
    std::string closeError = closeArchive(gz);
    if (error.empty()) error = closeError;
    if (error.empty() && rename(tmpname.c_str(), outfilename) != 0) error = std::strerror(errno);
    if (!error.empty()) {
        report(infilename, error);
        unlink(tmpname.c_str());
        return -1;
    }
    return 1;
}
