// Time to gzip one large day file of typical CSV log lines, as the day roll-over does.
//   archive_bench [megabytes]   (default 100)
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "CompressUtil.h"

namespace {

uint32_t nextRandom(uint32_t& x) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
}

// One line as the server writes it: date;time;sender;text CR LF, with varying numbers so
// the compressor does not see a single repeated line.
std::string logLine(uint32_t& rnd) {
    static const char* const kTemplates[] = {
        "<38>sshd[%u]: Accepted password for admin from 192.168.0.%u port %u ssh2",
        "<86>sshd[%u]: pam_unix(sshd:session): session closed for user u%u (%u)",
        "<134>kernel: [%u.%06u] eth0: link up, %u Mbps, full duplex",
        "<30>dhcpd[%u]: DHCPACK on 192.168.0.%u to 00:1a:2b:3c:4d:%02x via eth1",
        "<132>firewall: DROP IN=eth0 SRC=10.0.%u.%u DST=192.168.0.5 LEN=%u PROTO=TCP",
        "<14>cron[%u]: (root) CMD (run-parts /etc/cron.hourly) job %u pid %u",
    };
    const unsigned n = sizeof kTemplates / sizeof kTemplates[0];
    char text[256];
    const char* t = kTemplates[nextRandom(rnd) % n];
    std::snprintf(text, sizeof text, t, nextRandom(rnd) % 65536, nextRandom(rnd) % 255,
                  nextRandom(rnd) % 65536);
    char line[320];
    std::snprintf(line, sizeof line, "05-03-2008;%02u:%02u;192.168.0.%u;%s\r\n",
                  nextRandom(rnd) % 24, nextRandom(rnd) % 60, 1 + nextRandom(rnd) % 20, text);
    return line;
}

double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

off_t fileSize(const std::string& path) {
    struct stat sb;
    return stat(path.c_str(), &sb) == 0 ? sb.st_size : -1;
}

}  // namespace

int main(int argc, char** argv) {
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 100;
    if (megabytes <= 0) {
        std::fprintf(stderr, "usage: archive_bench [megabytes]\n");
        return 2;
    }
    char tmpl[] = "/tmp/brindleaf-archive-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = tmpl;
    std::string in = dir + "/log05032008.0.csv", out = in + ".gz";

    FILE* f = std::fopen(in.c_str(), "wb");
    if (!f) {
        std::perror(in.c_str());
        rmdir(dir.c_str());
        return 1;
    }
    const long long target = megabytes * 1024LL * 1024LL;
    long long written = 0, lines = 0;
    uint32_t rnd = 2463534242u;
    std::string chunk;
    while (written < target) {
        chunk.clear();
        while (chunk.size() < (1u << 20)) chunk += logLine(rnd), ++lines;
        written += static_cast<long long>(std::fwrite(chunk.data(), 1, chunk.size(), f));
    }
    std::fclose(f);

    const auto wall0 = std::chrono::steady_clock::now();
    const double cpu0 = cpuSeconds();
    int rc = CompressUtil::compress_one_file(&in[0], &out[0]);
    const double cpu = cpuSeconds() - cpu0;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();

    const off_t inSize = fileSize(in), outSize = fileSize(out);
    unlink(in.c_str());
    unlink(out.c_str());
    rmdir(dir.c_str());
    if (rc != 1) {
        std::fprintf(stderr, "archive_bench: compression failed\n");
        return 1;
    }
    const double mb = static_cast<double>(inSize) / (1024.0 * 1024.0);
    std::printf("input          %.1f MiB, %lld lines\n", mb, lines);
    std::printf("archive        %.1f MiB, ratio %.2f:1 (%.1f%% of the input)\n",
                static_cast<double>(outSize) / (1024.0 * 1024.0),
                static_cast<double>(inSize) / static_cast<double>(outSize),
                100.0 * static_cast<double>(outSize) / static_cast<double>(inSize));
    std::printf("wall           %.3f s, %.1f MiB/s\n", wall, mb / wall);
    std::printf("cpu            %.3f s, %.1f MiB/s\n", cpu, mb / cpu);
    return 0;
}
