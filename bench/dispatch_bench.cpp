// Messages per second through the dispatcher for 1, 100 and 10,000 groups: the cost per
// message must not grow with the number of groups.
//   build/bench/dispatch_bench [messages]
#include <arpa/inet.h>
#include <sys/resource.h>

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

double run(int groups, long messages, const std::string& root) {
    settings s;
    s.outputdir = root + "/g" + std::to_string(groups);
    s.logfilesize = 10 * 1024 * 1024;
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
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    std::string root = makeTempDir();
    std::printf("%8s %14s %12s\n", "groups", "messages/s", "ns/message");
    double first = 0;
    for (int groups : {1, 100, 10000}) {
        double rate = run(groups, messages, root);
        if (first == 0) first = rate;
        std::printf("%8d %14.0f %12.1f\n", groups, rate, 1e9 / rate);
    }
    std::string cmd = "rm -rf '" + root + "'";
    if (std::system(cmd.c_str()) != 0) return 1;
    return 0;
}
