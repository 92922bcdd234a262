#!/usr/bin/env bash
# Sets the machine up, builds the driver image and krvdlc-sim, and runs the demo: the
# krvdlcctl commands of scripts/demo.krvdlc in the simulated machine (list, info, TEST and
# XID answered by respond, a Token Ring capture) with progress traced to the trace file, then
# prints the trace file's last lines and the event log and decodes the capture with tshark.
# Arguments go to krvdlc-sim (e.g. --trace-level 0x44). Runs in build/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."

sim=build/host/tools/krvdlc-sim/krvdlc-sim
{
    bash scripts/setup.sh
    cmake --preset driver
    cmake --build --preset driver -j 2
    cmake --preset host
    cmake --build --preset host -j 2 --target krvdlc-sim
} >&2

if [ ! -x "${sim}" ]; then
    echo "demo: the build did not produce ${sim}" >&2
    exit 1
fi
mkdir -p build/demo
cd build/demo
rm -f krvdlc-demo.pcap
status=0
"../../${sim}" --trace-level 0x44 --trace-tail 8 --events "$@" --script ../../scripts/demo.krvdlc || status=$?

if [ -f krvdlc-demo.pcap ] && command -v tshark >/dev/null; then
    echo
    echo "\$ tshark -r build/demo/krvdlc-demo.pcap"
    tshark -r krvdlc-demo.pcap 2>/dev/null
fi
exit "${status}"
