// asan_options.h - the AddressSanitizer defaults of a fuzz program; included once, by its
// <target>_fuzz.cpp.
//
// Every input builds and ends a whole machine: some hundreds of small blocks. With the
// default 256 MB quarantine each input gets fresh, cold memory until a quarter gigabyte
// of frees has gone by, and the program spends more time in page faults and cache misses
// than in the driver. A use after free is caught while the freed block is still in
// quarantine: 16 MB holds the frees of hundreds of inputs, and each input has a machine
// of its own, so every use of a freed block within an input is still caught. Memory the
// next input needs again is kept rather than given back to the system every few seconds.
// ASAN_OPTIONS in the environment still has the last word.
#pragma once

extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=16:allocator_release_to_os_interval_ms=-1";
}
