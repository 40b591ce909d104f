#!/usr/bin/env bash
# Runs every fuzz target of a build (BUILD_DIR/*_fuzz) for SECONDS each, on a scratch copy
# of its seeds fuzz/corpus/<name without _fuzz>/ (with fuzz/<name without _fuzz>.dict when
# present), so the committed corpus stays as it is. Exits non-zero when a target fails;
# its log and reproducer stay in BUILD_DIR/fuzz-artifacts/<target>/.
#   bash fuzz/run.sh build/fuzz 600      # a longer run: ten minutes per target
#   FUZZ_SECONDS=600 bash scripts/test.sh  # the same inside the full test run (default 5)
set -euo pipefail
if [ $# -ne 2 ] || ! [[ $2 =~ ^[0-9]+$ ]]; then
    echo "usage: bash fuzz/run.sh BUILD_DIR SECONDS" >&2
    exit 2
fi
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "$1" && pwd)"
seconds=$2

shopt -s nullglob
targets=()
for t in "$build"/*_fuzz; do
    [ -f "$t" ] && [ -x "$t" ] && targets+=("$t")
done
if [ ${#targets[@]} -eq 0 ]; then
    echo "fuzz/run.sh: no *_fuzz targets in $build" >&2
    exit 1
fi

work="$(mktemp -d /tmp/brindleaf-fuzz-XXXXXX)"
trap 'rm -rf "$work"' EXIT

failed=()
for target in "${targets[@]}"; do
    name="$(basename "$target")"
    unit="${name%_fuzz}"
    corpus="$work/$unit"
    mkdir -p "$corpus"
    if [ -d "$root/fuzz/corpus/$unit" ]; then cp -R "$root/fuzz/corpus/$unit/." "$corpus/"; fi
    artifacts="$build/fuzz-artifacts/$name"
    rm -rf "$artifacts"
    mkdir -p "$artifacts"
    args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
          -artifact_prefix="$artifacts/")
    if [ -f "$root/fuzz/$unit.dict" ]; then args+=(-dict="$root/fuzz/$unit.dict"); fi

    echo "== $name: ${seconds}s"
    if "$target" "${args[@]}" "$corpus" >"$artifacts/log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$artifacts/log" || true
    else
        tail -n 60 "$artifacts/log"
        echo "fuzz/run.sh: $name failed; log and reproducer in $artifacts" >&2
        failed+=("$name")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz/run.sh: failing targets: ${failed[*]}" >&2
    exit 1
fi
