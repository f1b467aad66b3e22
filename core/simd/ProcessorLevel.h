#pragma once

// The processor levels the core runs at, one enum for every part of it. The
// library is built for any x86-64 (the baseline, whose vectors hold two
// doubles); the wider paths are compiled for AVX2 or AVX-512 and chosen at
// run time, once per pass. A level names the instruction set a path is
// compiled for, nothing else: what a part does at each level (two lanes or
// one point at a time at the baseline, say) is that part's business. Every
// level gives the same bits.

namespace alignopt {

enum class ProcessorLevel { Baseline, Avx2, Avx512 };

// The widest level this processor runs, found once.
ProcessorLevel supportedProcessorLevel();

} // namespace alignopt

// The instruction sets of the wider levels, for the functions written with
// their intrinsics. AVX-512 is the foundation with the double-word and
// quad-word instructions and the 128- and 256-bit forms: what
// supportedProcessorLevel requires of it.
#define ALIGNOPT_TARGET_AVX2 __attribute__((target("avx2")))
#define ALIGNOPT_TARGET_AVX512 __attribute__((target("avx512f,avx512dq,avx512vl")))
