// Which of the levels this processor runs, asked of the processor once.
#include "core/simd/ProcessorLevel.h"

namespace alignopt {

namespace {

ProcessorLevel detectLevel() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl"))
        return ProcessorLevel::Avx512;
    if (__builtin_cpu_supports("avx2")) return ProcessorLevel::Avx2;
    return ProcessorLevel::Baseline;
}

} // namespace

ProcessorLevel supportedProcessorLevel() {
    static const ProcessorLevel level = detectLevel();
    return level;
}

} // namespace alignopt
