// Loops that vectorise are compiled three times where the toolchain can dispatch at load time:
// for the baseline instruction set, for AVX2 and for AVX-512 (x86-64-v4), the widest the
// processor has being picked. No contraction to fused multiply-adds in any (-ffp-contract=off):
// every clone gives the same bits.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define TERRAPIVOTER_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define TERRAPIVOTER_CLONES
#endif

namespace terrapivoter {}  // namespace terrapivoter
