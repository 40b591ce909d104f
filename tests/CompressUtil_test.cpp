#include "CompressUtil.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "TestUtil.h"

namespace {

using testutil::fileExists;
using testutil::gunzipFile;
using testutil::readFile;
using testutil::writeFile;

int compress(const std::string& in, const std::string& out) {
    std::vector<char> inName(in.begin(), in.end()), outName(out.begin(), out.end());
    inName.push_back('\0');
    outName.push_back('\0');
    return CompressUtil::compress_one_file(inName.data(), outName.data());
}

// True when `bytes` is exactly one gzip member and nothing after it.
bool isSingleGzipMember(const std::string& bytes) {
    z_stream s{};
    if (inflateInit2(&s, 16 + MAX_WBITS) != Z_OK) return false;
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    s.avail_in = static_cast<uInt>(bytes.size());
    std::vector<Bytef> sink(65536);
    int rc;
    do {
        s.next_out = sink.data();
        s.avail_out = static_cast<uInt>(sink.size());
        rc = inflate(&s, Z_NO_FLUSH);
    } while (rc == Z_OK);
    bool whole = rc == Z_STREAM_END && s.avail_in == 0;
    inflateEnd(&s);
    return whole;
}

std::string pseudoRandomBytes(size_t n) {
    std::string bytes(n, '\0');
    uint32_t x = 2463534242u;
    for (auto& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xff);
    }
    return bytes;
}

bool isRegularFile(const std::string& path) {
    struct stat sb;
    return lstat(path.c_str(), &sb) == 0 && S_ISREG(sb.st_mode);
}

size_t lineCount(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

class CompressUtilTest : public testutil::TempDirTest {};

TEST_F(CompressUtilTest, ArchiveGunzipsToTheOriginalBytes) {
    std::string everyByte;
    for (int i = 0; i < 256; ++i) everyByte += static_cast<char>(i);
    struct Case {
        const char* name;
        std::string content;
    };
    const Case cases[] = {
        {"binary", everyByte + std::string("\r\n\0\0tail", 8)},
        {"empty", ""},
        // Several 64 KiB reads and a partial one; random so the output outgrows the buffer too.
        {"larger than the buffer", pseudoRandomBytes(3 * 65536 + 17)},
        {"log lines",
         [] {
             std::string s;
             for (int i = 0; i < 5000; ++i)
                 s += "05-03-2008;14:07;192.168.0.5;<134>kernel: eth0 link up " +
                      std::to_string(i) + "\r\n";
             return s;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string in = dir.file("log04032008.0.csv"), out = in + ".gz";
        writeFile(in, c.content);
        testutil::StderrCapture err;
        ASSERT_EQ(compress(in, out), 1);
        EXPECT_EQ(err.take(), "");
        EXPECT_TRUE(isSingleGzipMember(readFile(out)));
        EXPECT_EQ(gunzipFile(out), c.content);
        EXPECT_EQ(readFile(in), c.content) << "the input is the caller's to remove";
        EXPECT_FALSE(fileExists(out + ".tmp"));
    }
}

TEST_F(CompressUtilTest, ReplacesAnExistingArchiveAndAStaleTemporary) {
    std::string in = dir.file("log04032008.1.csv"), out = in + ".gz";
    writeFile(in, "new content\r\n");
    writeFile(out, "old archive, much longer than the new one will be ........................");
    writeFile(out + ".tmp", "left over from an interrupted run ..........................");
    ASSERT_EQ(compress(in, out), 1);
    EXPECT_TRUE(isSingleGzipMember(readFile(out))) << "the stale bytes were truncated";
    EXPECT_EQ(gunzipFile(out), "new content\r\n");
    EXPECT_EQ(testutil::listNames(dir.path()),
              (std::vector<std::string>{"log04032008.1.csv", "log04032008.1.csv.gz"}));
}

TEST_F(CompressUtilTest, UnreadableInputFailsWithoutAnArchive) {
    struct Case {
        const char* name;
        bool makeDirectory;
        const char* error;
    };
    const Case cases[] = {
        {"missing", false, "No such file or directory"},
        {"a directory", true, "Is a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testutil::TempDir d;
        std::string in = d.file("log04032008.0.csv"), out = in + ".gz";
        if (c.makeDirectory) {
            ASSERT_EQ(mkdir(in.c_str(), 0750), 0);
        }
        testutil::StderrCapture capture;
        EXPECT_EQ(compress(in, out), -1);
        std::string err = capture.take();
        EXPECT_EQ(lineCount(err), 1u) << err;
        EXPECT_NE(err.find("brindleaf: cannot archive " + in + ": " + c.error), std::string::npos)
            << err;
        EXPECT_EQ(testutil::listNames(d.path()), c.makeDirectory
                                                     ? std::vector<std::string>{"log04032008.0.csv"}
                                                     : std::vector<std::string>{});
    }
}

TEST_F(CompressUtilTest, FailedWriteLeavesInputAndFinalNameAlone) {
    // Small (error seen at gzclose) and large (error seen at gzwrite once the buffer fills).
    const std::string contents[] = {"05-03-2008;14:07;10.0.0.7;short\r\n",
                                    pseudoRandomBytes(4 * 65536)};
    for (const auto& content : contents) {
        SCOPED_TRACE(content.size());
        testutil::TempDir d;
        std::string in = d.file("log04032008.0.csv"), out = in + ".gz";
        writeFile(in, content);
        writeFile(out, "previous archive");
        ASSERT_EQ(symlink("/dev/full", (out + ".tmp").c_str()), 0);
        testutil::StderrCapture capture;
        EXPECT_EQ(compress(in, out), -1);
        std::string err = capture.take();
        EXPECT_EQ(lineCount(err), 1u) << err;
        EXPECT_NE(err.find("brindleaf: cannot archive " + in + ": No space left on device"),
                  std::string::npos)
            << err;
        EXPECT_FALSE(fileExists(out + ".tmp")) << "the incomplete archive is removed";
        // Not a rename of the symlink: reading that would never end.
        ASSERT_TRUE(isRegularFile(out));
        EXPECT_EQ(readFile(out), "previous archive");
        EXPECT_EQ(readFile(in), content);
    }
}

TEST_F(CompressUtilTest, NewArchiveIsCreatedWithMode0640UnderTheUmask) {
    const struct {
        mode_t umask;
        mode_t expected;
    } cases[] = {{022, 0640}, {077, 0600}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.umask);
        std::string in = dir.file("log04032008.0.csv"), out = in + ".gz";
        writeFile(in, "x\r\n");
        unlink(out.c_str());
        mode_t saved = umask(c.umask);
        int rc = compress(in, out);
        umask(saved);
        ASSERT_EQ(rc, 1);
        struct stat sb;
        ASSERT_EQ(stat(out.c_str(), &sb), 0);
        EXPECT_EQ(sb.st_mode & 07777, c.expected);
    }
}

}  // namespace
