#!/usr/bin/env python3
"""KRVDLC's speed figures from the release build (build/release/krvdlc_bench).

  perf.py table           runs every benchmark once and prints the table: frames per
                          second and time per frame of each row beside a plain memcpy of
                          the same size in the same run, the ratio, and the allocation
                          counters.
  perf.py instructions    runs the benchmarks under callgrind (200 frames each) and prints
                          the instructions per frame of each row, split into the driver's
                          own code, the simulator, the C library and the harness.
  perf.py check           the same for the rows with tracing off, compared with
                          bench/instructions.baseline: fails (exit 1) when the driver's own
                          instructions per frame of any row grew by more than 10%.
  perf.py check --update  writes the figures of this run into the baseline instead.

Options: --bench PATH (default build/release/krvdlc_bench), --filter REGEX (benchmarks to
run), --json, --functions (instructions: the driver's own cost of each row by function). Exit codes: 0 ok, 1 a row over its baseline or a row missing, 2 the bench
program or valgrind is missing or failed.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
from collections import defaultdict
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_BENCH = ROOT / "build" / "release" / "krvdlc_bench"
BASELINE = ROOT / "bench" / "instructions.baseline"
GUARD_LIMIT = 1.10
# The rows the CI check runs: tracing off (the trace thread's file writes would make the
# counts depend on buffer boundaries), and the memcpy rows they are set beside.
CHECK_FILTER = r"(trace:0|BM_Filter|BM_Memcpy)"
# The benchmarks of the table (and of the callgrind split).
TABLE_FILTER = r"BM_(ReceiveAndRead|Write|Filter|Memcpy)/"

# Where an instruction belongs. Inside the bench program by the archive that defines the
# function it is in (libkrvdlc_driver.a: the driver, libkrvdlc_sim.a: the simulator), so
# that code one part inlines from another's headers stays with the function it is in;
# functions of neither archive by their source folder (callgrind "fl="); outside the bench
# program by the object (callgrind "ob=").
PARTS = ("driver", "simulator", "C library", "harness")


def archive_functions(archive):
    """Demangled names of the functions an archive defines (nm -C)."""
    result = subprocess.run(["nm", "-C", "--defined-only", str(archive)], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    names = set()
    for line in result.stdout.splitlines():
        fields = line.split(maxsplit=2)
        if len(fields) == 3 and fields[1] in "TtWw":
            names.add(fields[2])
    return names


class Attribution:
    def __init__(self, bench):
        build = Path(bench).parent
        self.driver = archive_functions(build / "libkrvdlc_driver.a")
        self.simulator = archive_functions(build / "libkrvdlc_sim.a") - self.driver
        if not self.driver or not self.simulator:
            fail(f"no libkrvdlc_driver.a / libkrvdlc_sim.a beside {bench}")
        self.cache = {}

    def part(self, obj, source, function):
        key = (obj, source, function)
        if key not in self.cache:
            self.cache[key] = self._part(obj, source, function)
        return self.cache[key]

    def _part(self, obj, source, function):
        if not obj.endswith("/krvdlc_bench"):
            return "harness" if "libbenchmark" in obj else "C library"
        # callgrind marks a function's later copies "'2" (recursion) or appends a clone suffix
        name = re.sub(r"'\d+$", "", function)
        if name in self.driver:
            return "driver"
        if name in self.simulator:
            return "simulator"
        try:
            top = Path(source).resolve().relative_to(ROOT).parts[0]
        except (ValueError, IndexError):
            return "C library" if source.startswith("/usr/") else "harness"
        return "simulator" if top == "sim" else "harness"


def fail(message, code=2):
    print(f"perf.py: {message}", file=sys.stderr)
    sys.exit(code)


def run_bench(bench, args):
    if not Path(bench).is_file():
        fail(f"{bench} not found: build it with cmake --preset release && cmake --build build/release -j2")
    result = subprocess.run([str(bench)] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stderr)
        fail(f"{bench} failed with exit code {result.returncode}")
    return result


# ---- table ---------------------------------------------------------------------------

def table(options):
    bench_filter = options.filter if options.filter != ".*" else TABLE_FILTER
    result = run_bench(options.bench, ["--benchmark_format=json", f"--benchmark_filter={bench_filter}"])
    report = json.loads(result.stdout)
    rows = [b for b in report["benchmarks"] if b.get("run_type", "iteration") == "iteration"]
    memcpy = {}
    for b in rows:
        if b["name"].startswith("BM_Memcpy"):
            memcpy[b["label"].split(", ", 1)[1]] = b["cpu_time"] if b["time_unit"] == "ns" else None
    lines = []
    for b in rows:
        if b["name"].startswith("BM_Memcpy") or b.get("error_occurred"):
            continue
        ns = b["real_time"]
        shape = shape_of(b["label"])
        copy = memcpy.get(shape)
        lines.append({
            "row": b["label"],
            "frames_per_second": b.get("items_per_second", 0.0),
            "ns_per_frame": ns,
            "cpu_ns_per_frame": b["cpu_time"],
            "memcpy_ns": copy,
            "ratio": b["cpu_time"] / copy if copy else None,
            "allocs_per_frame": b.get("allocs/frame", b.get("pool_blocks/frame")),
        })
    if options.json:
        print(json.dumps({"context": report["context"], "rows": lines}, indent=2))
        return 0
    ctx = report["context"]
    load = os.getloadavg()[0]
    print(f"krvdlc_bench on {ctx['num_cpus']} CPUs at {ctx['mhz_per_cpu']} MHz, {ctx['date']}, "
          f"load average {load:.1f} (ns/frame: real time; ratio: CPU ns/frame over memcpy CPU ns)")
    print()
    print("| row | frames/s | ns/frame | CPU ns/frame | memcpy CPU ns | ratio | allocs/frame |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    for l in lines:
        allocs = "" if l["allocs_per_frame"] is None else f"{l['allocs_per_frame']:.0f}"
        print(f"| {l['row']} | {l['frames_per_second']:,.0f} | {l['ns_per_frame']:,.0f} | "
              f"{l['cpu_ns_per_frame']:,.0f} | {l['memcpy_ns']:.1f} | {l['ratio']:,.0f} | {allocs} |")
    return 0


def shape_of(label):
    for shape in ("TR 4000", "1514", "64"):
        if re.search(rf"(^|, ){shape}(,|$)", label):
            return shape
    return None


# ---- instructions --------------------------------------------------------------------

def parse_callgrind(path, attribution):
    """Self instructions per part, and per driver function, in one callgrind dump; returns
    (description, parts, driver functions)."""
    names = {"ob": {}, "fl": {}, "fn": {}}
    obj = source = function = ""
    parts = defaultdict(int)
    functions = defaultdict(int)
    description = ""
    skip_next = False
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith("desc: Trigger:"):
                description = line.split("Client Request:", 1)[-1].strip()
                continue
            key, _, value = line.partition("=")
            if key in ("ob", "fl", "fn", "cob", "cfi", "cfl", "cfn", "fi", "fe"):
                table_key = {"cob": "ob", "cfi": "fl", "cfl": "fl", "cfn": "fn", "fi": "fl", "fe": "fl"}.get(key, key)
                m = re.match(r"\((\d+)\)(?: (.*))?", value.strip())
                name = value.strip()
                if m:
                    name = m.group(2) if m.group(2) is not None else names[table_key].get(m.group(1), "")
                    if m.group(2) is not None:
                        names[table_key][m.group(1)] = m.group(2)
                if key == "ob":
                    obj = name
                elif key == "fl":
                    source = name
                elif key == "fn":
                    function = name
                continue
            if key == "calls":
                skip_next = True   # the next cost line is the call's inclusive cost
                continue
            if line[:1].isdigit() or line[:1] in "+-*":
                if skip_next:
                    skip_next = False
                    continue
                fields = line.split()
                if len(fields) >= 2:
                    part = attribution.part(obj, source, function)
                    parts[part] += int(fields[1])
                    if part == "driver":
                        functions[function] += int(fields[1])
    return description, parts, functions


def instructions(options, check_only=False):
    try:
        subprocess.run(["valgrind", "--version"], stdout=subprocess.PIPE, check=True)
    except (OSError, subprocess.CalledProcessError):
        fail("valgrind is not installed (bash scripts/setup.sh)")
    if not Path(options.bench).is_file():
        fail(f"{options.bench} not found: build it with cmake --preset release && cmake --build build/release -j2")
    bench_filter = options.filter if options.filter != ".*" else (CHECK_FILTER if check_only else TABLE_FILTER)
    with tempfile.TemporaryDirectory(prefix="krvdlc-callgrind-") as tmp:
        out = Path(tmp) / "callgrind.out"
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
               "--compress-strings=yes", str(options.bench), f"--benchmark_filter={bench_filter}",
               "--benchmark_format=json"]
        result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if result.returncode != 0:
            sys.stderr.write(result.stderr[-4000:])
            fail(f"callgrind run failed with exit code {result.returncode}")
        rows = {}
        attribution = Attribution(options.bench)
        for dump in sorted(Path(tmp).glob("callgrind.out.*"), key=lambda p: int(p.suffix[1:])):
            description, parts, functions = parse_callgrind(dump, attribution)
            m = re.match(r"(.*) frames=(\d+)$", description)
            if not m or int(m.group(2)) == 0:
                continue
            frames = int(m.group(2))
            rows[m.group(1)] = {part: parts.get(part, 0) / frames for part in PARTS}
            rows[m.group(1)]["driver functions"] = {
                f: round(n / frames, 1) for f, n in sorted(functions.items(), key=lambda i: -i[1])}
    for row in rows.values():
        row["total"] = sum(row[p] for p in PARTS)
    for label, row in rows.items():
        shape = shape_of(label)
        copy = rows.get(f"memcpy, {shape}") if shape and not label.startswith("memcpy") else None
        row["memcpy"] = copy["total"] if copy else None
        row["driver/memcpy"] = row["driver"] / copy["total"] if copy else None
    return rows


def print_instructions(rows, as_json, functions=False):
    if as_json:
        print(json.dumps(rows, indent=2))
        return
    if functions:
        for label, r in rows.items():
            print(f"{label}: driver {r['driver']:.0f}")
            for name, count in r["driver functions"].items():
                print(f"  {count:8.1f}  {name}")
        return
    print("Instructions per frame (callgrind, 200 frames per row)")
    print()
    print("| row | driver | simulator | C library | harness | total | memcpy | driver/memcpy |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for label, r in rows.items():
        if label.startswith("memcpy"):
            continue
        memcpy = "" if r["memcpy"] is None else f"{r['memcpy']:.0f}"
        ratio = "" if r["driver/memcpy"] is None else f"{r['driver/memcpy']:.1f}"
        print(f"| {label} | {r['driver']:.0f} | {r['simulator']:,.0f} | {r['C library']:,.0f} | "
              f"{r['harness']:,.0f} | {r['total']:,.0f} | {memcpy} | {ratio} |")


def read_baseline():
    baseline = {}
    if not BASELINE.is_file():
        return baseline
    for line in BASELINE.read_text(encoding="utf-8").splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        label, _, value = line.rpartition("\t")
        baseline[label] = float(value)
    return baseline


def write_baseline(rows):
    header = BASELINE.read_text(encoding="utf-8").splitlines() if BASELINE.is_file() else []
    comments = [l for l in header if l.startswith("#")]
    body = [f"{label}\t{r['driver']:.1f}" for label, r in rows.items() if not label.startswith("memcpy")]
    BASELINE.write_text("\n".join(comments + body) + "\n", encoding="utf-8")
    print(f"perf.py: wrote {len(body)} rows to {BASELINE.relative_to(ROOT)}")


def check(options):
    rows = instructions(options, check_only=True)
    if options.update:
        write_baseline(rows)
        return 0
    baseline = read_baseline()
    if not baseline:
        fail(f"no baseline in {BASELINE}: run perf.py check --update", 1)
    failures = 0
    print("| row | driver instructions/frame | baseline | change |")
    print("| --- | ---: | ---: | ---: |")
    for label, base in baseline.items():
        row = rows.get(label)
        if row is None:
            print(f"| {label} | missing | {base:.0f} | |")
            failures += 1
            continue
        change = row["driver"] / base - 1.0 if base else 0.0
        over = row["driver"] > base * GUARD_LIMIT
        failures += 1 if over else 0
        print(f"| {label} | {row['driver']:.1f} | {base:.1f} | {change:+.1%}{' OVER' if over else ''} |")
    if failures:
        print(f"perf.py: {failures} row(s) over the baseline by more than {GUARD_LIMIT - 1:.0%} or missing; "
              "if the growth is intended, say why in the commit and run perf.py check --update")
        return 1
    print(f"perf.py: {len(baseline)} rows within {GUARD_LIMIT - 1:.0%} of the baseline")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=("table", "instructions", "check"))
    parser.add_argument("--bench", default=str(DEFAULT_BENCH))
    parser.add_argument("--filter", default=".*")
    parser.add_argument("--json", action="store_true")
    parser.add_argument("--update", action="store_true", help="check: write the baseline")
    parser.add_argument("--functions", action="store_true",
                        help="instructions: the driver's functions of each row instead of the table")
    options = parser.parse_args()
    if options.command == "table":
        return table(options)
    if options.command == "instructions":
        print_instructions(instructions(options), options.json, options.functions)
        return 0
    return check(options)


if __name__ == "__main__":
    sys.exit(main())
