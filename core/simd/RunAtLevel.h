#pragma once

// The one way a pass written on GNU vectors runs at a level: the pass is a
// template over the level, and runAtLevel calls it through a function built
// for the level's instruction set that inlines everything the pass calls
// (flatten), so that one source runs as baseline, AVX2 or AVX-512 code. Such
// a pass uses no intrinsics, which GCC would not inline across the differing
// targets.

#include "core/simd/ProcessorLevel.h"

namespace alignopt {

namespace detail {

template <class Pass>
ALIGNOPT_TARGET_AVX2 __attribute__((flatten)) void runAvx2(Pass& pass) {
    pass.template operator()<ProcessorLevel::Avx2>();
}
template <class Pass>
ALIGNOPT_TARGET_AVX512 __attribute__((flatten)) void runAvx512(Pass& pass) {
    pass.template operator()<ProcessorLevel::Avx512>();
}

} // namespace detail

// Runs pass.template operator()<V>() for V = level, which the processor must
// support. The level is decided by the caller, once per pass.
template <class Pass>
void runAtLevel(ProcessorLevel level, Pass&& pass) {
    switch (level) {
    case ProcessorLevel::Avx512: detail::runAvx512(pass); break;
    case ProcessorLevel::Avx2: detail::runAvx2(pass); break;
    case ProcessorLevel::Baseline: pass.template operator()<ProcessorLevel::Baseline>(); break;
    }
}

} // namespace alignopt
