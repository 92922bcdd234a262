// control_fuzz.cpp - libFuzzer entry point for device-control input (fuzz/control_target.h).
#include "fuzz/control_target.h"
#include "fuzz/asan_options.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string failure = krvdlc::fuzz::RunControlInput(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "control_fuzz: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
