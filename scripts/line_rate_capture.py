#!/usr/bin/env python3
"""Writes a pcap of minimum-size 802.3 LLC frames spaced at a saturated 100 Mbit/s
Ethernet's frame rate, for krvdlc-sim --replay: what the simulated driver and one reader
sustain at the line rate.

  line_rate_capture.py OUT [--frames N] [--rate FRAMES_PER_SECOND] [--to MAC]

Each frame is 60 bytes (64 on the wire with the FCS): a UI command from SAP 0x04 to SAP
0x04, addressed to the replay adapter's MAC (02:00:4B:52:00:01 unless --to says otherwise).
Exit codes: 0 written, 1 the file could not be written, 2 a bad argument.
"""

import argparse
import struct
import sys

PCAP_MAGIC = 0xA1B2C3D4     # microsecond timestamps
LINKTYPE_ETHERNET = 1
FRAME_BYTES = 60


def parse_mac(text):
    parts = text.replace("-", ":").split(":")
    if len(parts) != 6:
        raise ValueError(f"not a MAC address: {text} (want 6 bytes, e.g. 02:00:4B:52:00:01)")
    return bytes(int(part, 16) for part in parts)


def frame(destination):
    source = bytes.fromhex("020000000099")
    llc = bytes([0x04, 0x04, 0x03])     # DSAP, SSAP, UI
    information = bytes(FRAME_BYTES - 14 - len(llc))
    return destination + source + struct.pack(">H", len(llc) + len(information)) + llc + information


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out")
    parser.add_argument("--frames", type=int, default=150_000)
    parser.add_argument("--rate", type=float, default=148_800.0, help="frames per second")
    parser.add_argument("--to", default="02:00:4B:52:00:01", help="destination MAC")
    options = parser.parse_args()
    try:
        destination = parse_mac(options.to)
    except ValueError as error:
        parser.error(str(error))
    if options.frames < 1 or options.rate <= 0:
        parser.error("--frames and --rate must be positive")
    body = frame(destination)
    record = struct.Struct("<IIII")
    try:
        with open(options.out, "wb") as out:
            out.write(struct.pack("<IHHiIII", PCAP_MAGIC, 2, 4, 0, 0, 65535, LINKTYPE_ETHERNET))
            for n in range(options.frames):
                microseconds = round(n * 1_000_000 / options.rate)
                out.write(record.pack(microseconds // 1_000_000, microseconds % 1_000_000, len(body), len(body)))
                out.write(body)
    except OSError as error:
        print(f"line_rate_capture.py: cannot write {options.out}: {error.strerror}", file=sys.stderr)
        return 1
    print(f"{options.frames} frames of {len(body)} bytes at {options.rate:,.0f} frames/s written to {options.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
