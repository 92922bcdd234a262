// filter_fuzz.cpp - libFuzzer entry point for the frame filter (fuzz/filter_target.h).
#include "fuzz/filter_target.h"
#include "fuzz/asan_options.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // One machine with the driver loaded serves every input of the run.
    static krvdlc::fuzz::FilterTarget *target = new krvdlc::fuzz::FilterTarget();
    std::string failure = target->Run(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "filter_fuzz: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
