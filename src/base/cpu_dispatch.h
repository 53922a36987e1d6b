// Loops that vectorise are compiled twice where the toolchain can dispatch at load time: once
// for the baseline instruction set and once for AVX2, picked when the processor has it.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define TERRAPIVOTER_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TERRAPIVOTER_CLONES
#endif
