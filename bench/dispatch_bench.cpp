// Messages per second through the dispatcher for 1, 100 and 10,000 groups: the cost per
// message must not grow with the number of groups.
//   build/bench/dispatch_bench [messages] [cut size in KiB, default 64] [only this group count]
// A small cut size keeps every group's buffer cycling through the same memory, and a warm-up
// of as many messages runs first, so the figures show the dispatcher's own cost rather than
// the first touch of fresh pages.
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "brindleaf.h"
#include "platform.h"

namespace {

std::string makeTempDir() {
    char tmpl[] = "/tmp/brindleaf-dispatch-XXXXXX";
    return mkdtemp(tmpl);
}

double run(int groups, long messages, int cutBytes, const std::string& root) {
    settings s;
    s.outputdir = root + "/g" + std::to_string(groups);
    s.logfilesize = cutBytes;
    std::FILE* devnull = std::fopen("/dev/null", "w");
    Dispatcher d(s, devnull);
    const std::string text =
        "<13>Dec  9 18:27:05 router kernel: eth0: link up, 1000 Mbps full duplex, flow control "
        "rx/tx, port 12 vlan 100 seq 0000000000 xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx";
    // Every sender is its own group; the first message of each creates its rotator.
    MessageBatch batch;
    for (int g = 0; g < groups; ++g) {
        batch.add(htonl(0x0a000000u + static_cast<uint32_t>(g)), text.data(), text.size());
    }
    d.dispatch(batch);
    batch.clear();
    for (int i = 0; i < 4096; ++i) {
        batch.add(htonl(0x0a000000u + static_cast<uint32_t>((i * 7919) % groups)), text.data(),
                  text.size());
    }
    const long warmUp = std::max<long>(messages, static_cast<long>(groups) * (cutBytes / 200 + 2));
    for (long w = 0; w < warmUp; w += static_cast<long>(batch.size())) d.dispatch(batch);
    auto start = std::chrono::steady_clock::now();
    long done = 0;
    while (done < messages) {
        d.dispatch(batch);
        done += static_cast<long>(batch.size());
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fclose(devnull);
    return static_cast<double>(done) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    long messages = argc > 1 ? std::atol(argv[1]) : 2000000;
    int cutKiB = argc > 2 ? std::atoi(argv[2]) : 64;
    std::string root = makeTempDir();
    std::printf("%ld messages of 200 bytes after as many for warm-up, cut size %d KiB\n", messages,
                cutKiB);
    std::printf("%8s %14s %12s\n", "groups", "messages/s", "ns/message");
    double slowest = 0, fastest = 0;
    const int only = argc > 3 ? std::atoi(argv[3]) : 0;
    for (int groups : {1, 100, 10000}) {
        if (only != 0 && groups != only) continue;
        double rate = run(groups, messages, cutKiB * 1024, root);
        slowest = slowest == 0 ? rate : std::min(slowest, rate);
        fastest = std::max(fastest, rate);
        std::printf("%8d %14.0f %12.1f\n", groups, rate, 1e9 / rate);
    }
    std::printf("fastest / slowest: %.2f\n", fastest / slowest);
    std::string cmd = "rm -rf '" + root + "'";
    if (std::system(cmd.c_str()) != 0) return 1;
    return 0;
}
