#!/usr/bin/env bash
# Throughput benchmark: the server and a bare counting receiver under the same loopback load.
#
#   bash bench/throughput.sh [options]
#
# builds a RelWithDebInfo tree in build/bench (no tests) and runs build/bench/throughput_bench
# with the options given, for example:
#
#   bash bench/throughput.sh                          # both targets, flat out for 5 s
#   bash bench/throughput.sh --rate 400k --seconds 5  # paced load, 4 senders, 200-byte texts
#   bash bench/throughput.sh --sweep                  # highest zero-loss rate of each target
#   bash bench/throughput.sh --mode server --rate 0 --count 1M --keep
#   bash bench/throughput.sh --help                   # every option
#
# Loopback only (senders 127.0.0.2, 127.0.0.3, ... to 127.0.0.1), every run bounded in count and
# time. Run it as root so that the bare receiver's receive buffer can exceed rmem_max
# (SO_RCVBUFFORCE). Other work on the machine skews the figures: the table shows the load
# average before each run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLEAF_TESTS=OFF \
    -DBRINDLEAF_WERROR=ON >/dev/null
cmake --build build/bench -j "${JOBS:-$(nproc)}" --target brindleaf throughput_bench >/dev/null
exec build/bench/throughput_bench "$@"
