#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer)
# in build/fuzz and runs each for a while on a copy of its committed corpus.
#   bash fuzz/run.sh [SECONDS per target, default 60] [target ...]
# New inputs the fuzzer finds stay in build/fuzz/corpus/<target>; copy the interesting
# ones to fuzz/corpus/<target>/ so that the replay test runs them.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
    targets=(filter control)
fi

# libFuzzer comes with clang; only fuzzing needs it, so the main set-up does not install it.
if ! command -v clang++ >/dev/null || ! dpkg-query -W libclang-rt-14-dev >/dev/null 2>&1; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y clang libclang-rt-14-dev
fi

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKRVDLC_SANITIZERS="address;undefined" \
    -DKRVDLC_WERROR=OFF \
    -DKRVDLC_BUILD_TESTS=OFF \
    -DKRVDLC_BUILD_TOOLS=OFF \
    -DKRVDLC_BUILD_FUZZ=ON >/dev/null
ninja -C build/fuzz -j2 $(printf '%s_fuzz ' "${targets[@]}")

for target in "${targets[@]}"; do
    corpus=build/fuzz/corpus/${target}
    mkdir -p "${corpus}"
    cp -n fuzz/corpus/"${target}"/* "${corpus}"/ 2>/dev/null || true
    echo "==> ${target}_fuzz for ${seconds} s"
    build/fuzz/fuzz/"${target}"_fuzz -max_total_time="${seconds}" -max_len=512 \
        -print_final_stats=1 "${corpus}"
done
