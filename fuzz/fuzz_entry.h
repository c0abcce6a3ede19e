// The one entry point every fuzzer has: run the input through a check and
// stop with the check's words when it fails, so libFuzzer keeps the input.
#pragma once

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "scratch_folder.h"

#define VEXTORA_FUZZ_ENTRY(check)                                                        \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {  \
        /* The server program ignores SIGPIPE at start; so must its stand-in. */         \
        static const bool pipeIgnored = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;           \
        static vextora::fuzz::ScratchFolder scratch;                                     \
        (void)pipeIgnored;                                                               \
        std::string failure = check(std::span<const std::uint8_t>(data, size), scratch); \
        if (!failure.empty()) {                                                          \
            std::fprintf(stderr, "check failed: %s\n", failure.c_str());                 \
            std::abort();                                                                \
        }                                                                                \
        return 0;                                                                        \
    }
