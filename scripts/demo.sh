#!/usr/bin/env bash
# Sets the machine up, builds the driver image and the host build of the demo program and runs
# it with the arguments given to this script.
set -euo pipefail
cd "$(dirname "$0")/.."

demo_source=tools/krvdlc-demo/main.cpp
demo=build/host/tools/krvdlc-demo/krvdlc-demo

if [ ! -f "${demo_source}" ]; then
    echo "demo: ${demo_source} does not exist yet, so there is no demo program to run" >&2
    exit 1
fi

{
    bash scripts/setup.sh
    cmake --preset driver
    cmake --build --preset driver -j 2
    cmake --preset host
    cmake --build --preset host -j 2 --target krvdlc-demo
} >&2

if [ ! -x "${demo}" ]; then
    echo "demo: the build did not produce ${demo}" >&2
    exit 1
fi
exec "${demo}" "$@"
