#pragma once

// Shared by the tests of every area: the processor levels this machine runs,
// so that each path is held against the plain one wherever it can run.

#include <string>
#include <vector>

#include "core/simd/ProcessorLevel.h"

namespace alignopt::testing {

// Every level this processor runs, the baseline first.
inline std::vector<ProcessorLevel> runnableLevels() {
    std::vector<ProcessorLevel> levels{ProcessorLevel::Baseline};
    if (supportedProcessorLevel() != ProcessorLevel::Baseline) levels.push_back(ProcessorLevel::Avx2);
    if (supportedProcessorLevel() == ProcessorLevel::Avx512) levels.push_back(ProcessorLevel::Avx512);
    return levels;
}

inline std::string levelName(ProcessorLevel level) {
    switch (level) {
    case ProcessorLevel::Baseline: return "baseline";
    case ProcessorLevel::Avx2: return "AVX2";
    case ProcessorLevel::Avx512: return "AVX-512";
    }
    return "?";
}

} // namespace alignopt::testing
