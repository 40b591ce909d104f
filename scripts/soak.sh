#!/usr/bin/env bash
# Soak run, a few minutes, not part of scripts/test.sh: 50 senders at 2,000 messages/s in
# total to the real server while its clock crosses two midnights (libfaketime), then SIGTERM;
# checks that every message is on disk or in an archive exactly once and in order and that
# RSS and open descriptors stay flat, and prints the figures.
#
#   bash scripts/soak.sh                         # 180 s, 2,000 msg/s, 50 senders, -fs 128
#   bash scripts/soak.sh --seconds 600 --rate 5000 --keep
#
# Builds build/soak (RelWithDebInfo, no tests). Loopback only: senders 127.0.0.2..51.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/soak -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLEAF_TESTS=OFF \
    -DBRINDLEAF_WERROR=ON >/dev/null
cmake --build build/soak -j "${JOBS:-2}" --target brindleaf soak >/dev/null
exec build/soak/soak "$@"
