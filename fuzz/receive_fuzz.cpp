// receive_fuzz.cpp - libFuzzer entry point for fuzz/receive_target.h.
#include "fuzz/receive_target.h"
#include "fuzz/asan_options.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string failure = krvdlc::fuzz::ReceiveTarget::Run(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "receive_fuzz: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
