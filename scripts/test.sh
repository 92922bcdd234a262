#!/usr/bin/env bash
# Sets the machine up, builds every configuration CI checks and runs their tests:
#   driver     KRVDLC.SYS (the image checks run in the host builds' test suites)
#   windows    libkrvdlc, krvdlc.dll and krvdlcctl.exe for Windows (checked the same way)
#   host       x86-64 with AddressSanitizer + UndefinedBehaviorSanitizer: all tests
#   host-x86   32-bit x86 (-m32, under qemu-i386 where needed): all tests
#   host-tsan  x86-64 with ThreadSanitizer: the tests labelled `stress`
#   fuzz       the libFuzzer harnesses (clang, build/fuzz)
#   release    x86-64 Release: the driver's own instructions per frame under callgrind
#              against bench/instructions.baseline (scripts/perf.py check; one test),
#              then the traffic figures and krvdlc-sim at the line rate (printed; one
#              test each, failed only by a crash or an error exit)
# and then prints the robustness figures (krvdlc-robust report in the host build: fault
# sweep, each fuzz harness for 20 s, load test).
# The last line is "N passed, M failed" over all test runs; the exit status is non-zero when
# anything failed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

now() { date +%s; }
step() {
    local name=$1
    shift
    local start
    start=$(now)
    echo "==> ${name}"
    "$@"
    echo "==> ${name}: $(($(now) - start)) s"
}

for preset in driver windows host host-x86 host-tsan; do
    step "configure ${preset}" cmake --preset "${preset}"
    step "build ${preset}" cmake --build --preset "${preset}" -j 2
done
step "build fuzz" bash fuzz/run.sh --build-only
step "configure release" cmake --preset release
step "build release" cmake --build --preset release -j 2

total_passed=0
total_failed=0
status=0
log_dir=build/test-logs
mkdir -p "${log_dir}"
for preset in host host-x86 host-tsan; do
    log="${log_dir}/${preset}.log"
    start=$(now)
    echo "==> test ${preset}"
    set +e
    ctest --preset "${preset}" 2>&1 | tee "${log}"
    rc=${PIPESTATUS[0]}
    set -e
    echo "==> test ${preset}: $(($(now) - start)) s"
    if [ "${rc}" -ne 0 ]; then
        status=1
    fi
    if [ "${preset}" = "host-x86" ]; then
        # The driver tests run twice here: image.<Suite>.<Test> against KRVDLC.SYS loaded by
        # the simulator, <Suite>.<Test> against the host-compiled driver.
        image_passed=$(grep -cE 'Test +#[0-9]+: image\..* Passed' "${log}" || true)
        image_names=$(grep -oE 'Test +#[0-9]+: image\.[^ ]+' "${log}" | sed -E 's/.*: image\.//' || true)
        host_passed=0
        for name in ${image_names}; do
            if grep -qE "Test +#[0-9]+: ${name} .* Passed" "${log}"; then
                host_passed=$((host_passed + 1))
            fi
        done
        echo "==> driver tests: ${host_passed} passed against the host-compiled driver," \
             "${image_passed} passed against the image KRVDLC.SYS (of $(wc -w <<<"${image_names}") each)"
    fi
    # ctest closes with "NN% tests passed, F tests failed out of T".
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "${log}" | tail -n 1 || true)
    if [ -n "${summary}" ]; then
        failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"${summary}")
        ran=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"${summary}")
        total_failed=$((total_failed + failed))
        total_passed=$((total_passed + ran - failed))
    elif grep -q 'No tests were found' "${log}"; then
        echo "==> test ${preset}: no tests selected"
    else
        echo "==> test ${preset}: no ctest summary found" >&2
        status=1
    fi
done

# One figures step: runs the command with its output kept in build/test-logs/<log>.log and
# counts it as one test, passed when the command exits 0.
figures() {
    local name=$1 log="${log_dir}/$2.log" rc
    shift 2
    local start
    start=$(now)
    echo "==> ${name}"
    set +e
    "$@" 2>&1 | tee "${log}"
    rc=${PIPESTATUS[0]}
    set -e
    echo "==> ${name}: $(($(now) - start)) s"
    if [ "${rc}" -eq 0 ]; then
        total_passed=$((total_passed + 1))
    else
        total_failed=$((total_failed + 1))
        status=1
    fi
}

# The driver's own instructions per frame on every path, tracing off, counted by callgrind
# (the same whatever the machine's load): more than 10% over the baseline fails.
figures "instructions per frame" instructions python3 scripts/perf.py check

# Traffic figures (release build): outside traffic into one reader at the line rate of a
# saturated 100 Mbit/s Ethernet, replayed and (as root) live on a veth pair, beside the
# host's processor round trip that such figures move with. Printed, not judged: they
# depend on the machine; the bench program failing counts as a failed test.
figures "traffic figures" traffic build/release/krvdlc_bench --benchmark_filter='ProcessorRoundTrip|IntoReader'

# The same line rate as a user meets it: krvdlc-sim replays a capture of 150,000 frames
# at 148,800 frames/s into its --deliver reader (krvdlcctl capture), in each style.
line_rate_through_krvdlc_sim() {
    local dir=build/release/line-rate style
    mkdir -p "${dir}"
    python3 scripts/line_rate_capture.py "${dir}/line-rate.pcap"
    for style in lookahead packet; do
        build/release/tools/krvdlc-sim/krvdlc-sim --replay "${dir}/line-rate.pcap" --style "${style}" \
            --deliver "${dir}/delivered-${style}.pcap" || return
    done
}
figures "line rate through krvdlc-sim" line-rate line_rate_through_krvdlc_sim

# Robustness figures (host build, AddressSanitizer): the low-resources sweep fails every
# failable call of the whole-driver scenario in turn, every fuzz harness runs for 20 s,
# the load test runs once; one table. It counts as one test, passed only when every
# figure is clean.
figures "robustness figures" robust build/host/tools/krvdlc-robust/krvdlc-robust report --jobs 2 --fuzz-seconds 20

if [ "${total_passed}" -eq 0 ]; then
    echo "==> no test ran" >&2
    status=1
fi
echo "${total_passed} passed, ${total_failed} failed"
exit "${status}"
