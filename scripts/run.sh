#!/usr/bin/env bash
# Builds the server (installing what is missing) and starts it in the foreground.
# Arguments go to the server; without any: -o -p 5514 -od logs
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build/release" -j "$(nproc)" --target brindleaf
if [ $# -eq 0 ]; then set -- -o -p 5514 -od logs; fi
exec "$root/build/release/brindleaf" "$@"
