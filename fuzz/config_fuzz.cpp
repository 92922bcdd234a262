// config_fuzz.cpp - libFuzzer entry point for fuzz/config_target.h.
#include "fuzz/config_target.h"
#include "fuzz/asan_options.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string failure = krvdlc::fuzz::ConfigTarget::Run(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "config_fuzz: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
