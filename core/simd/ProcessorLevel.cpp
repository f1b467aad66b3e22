#include "core/simd/ProcessorLevel.h"

namespace alignopt {

namespace {

LaneLevel detectLevel() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl"))
        return LaneLevel::Avx512;
    if (__builtin_cpu_supports("avx2")) return LaneLevel::Avx2;
    return LaneLevel::Sse2;
}

} // namespace

LaneLevel supportedLaneLevel() {
    static const LaneLevel level = detectLevel();
    return level;
}

} // namespace alignopt
