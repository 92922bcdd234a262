#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer)
# in build/fuzz and runs each for a while on a copy of its committed corpus.
#   bash fuzz/run.sh [SECONDS per target, default 60] [target ...]
#   bash fuzz/run.sh --build-only
# Targets: every fuzz/<target>_fuzz.cpp (filter, control, receive, sequence, config).
# New inputs the fuzzer finds stay in build/fuzz/corpus/<target>; copy the interesting
# ones to fuzz/corpus/<target>/ so that the replay test runs them. krvdlc-robust report
# runs every target for a bounded time and prints the figures (see the README).
set -euo pipefail
cd "$(dirname "$0")/.."

build_only=0
if [ "${1:-}" = "--build-only" ]; then
    build_only=1
    shift
fi
seconds=${1:-60}
shift || true
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
    for source in fuzz/*_fuzz.cpp; do
        name=$(basename "${source}" .cpp)
        targets+=("${name%_fuzz}")
    done
fi

if ! command -v clang++ >/dev/null || ! dpkg-query -W libclang-rt-14-dev >/dev/null 2>&1; then
    echo "fuzz/run.sh: clang and libclang-rt-14-dev are missing; run scripts/setup.sh as root" >&2
    exit 1
fi

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKRVDLC_SANITIZERS="address;undefined" \
    -DKRVDLC_WERROR=OFF \
    -DKRVDLC_BUILD_TESTS=OFF \
    -DKRVDLC_BUILD_TOOLS=OFF \
    -DKRVDLC_BUILD_FUZZ=ON >/dev/null
ninja -C build/fuzz -j2 $(printf '%s_fuzz ' "${targets[@]}")
if [ "${build_only}" -eq 1 ]; then
    exit 0
fi

for target in "${targets[@]}"; do
    corpus=build/fuzz/corpus/${target}
    mkdir -p "${corpus}"
    echo "==> ${target}_fuzz for ${seconds} s"
    build/fuzz/fuzz/"${target}"_fuzz -max_total_time="${seconds}" -max_len=4096 \
        -print_final_stats=1 "${corpus}" fuzz/corpus/"${target}"
done
