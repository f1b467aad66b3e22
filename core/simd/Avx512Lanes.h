#pragma once

// What the AVX-512 paths written with intrinsics share: the mask of all
// eight lanes and the 8 x 8 transpose. Everything here is compiled for
// AVX-512 and inlined into those paths only.
//
// Where an instruction takes a start value for its lanes, the paths use the
// masked form with every lane set (allLanes) and name the start value: GCC
// 12's plain forms leave it undefined and warn about it.

#include <immintrin.h>

#include <cstdint>

#include "core/simd/ProcessorLevel.h"

namespace alignopt {

inline constexpr __mmask8 allLanes = 0xFF;

// Eight vectors turned: lane i of v[j] goes to lane j of out[i]. Pairs of
// lanes first, then pairs of pairs, then halves.
[[gnu::always_inline]] ALIGNOPT_TARGET_AVX512 inline void transposeEight(const __m512d (&v)[8], __m512d (&out)[8]) {
    __m512d t[8], u[8];
#pragma GCC unroll 4
    for (int32_t j = 0; j < 8; j += 2) {
        t[j] = _mm512_mask_unpacklo_pd(v[j], allLanes, v[j], v[j + 1]);
        t[j + 1] = _mm512_mask_unpackhi_pd(v[j], allLanes, v[j], v[j + 1]);
    }
    const __m512i evenPairs = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
    const __m512i oddPairs = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
#pragma GCC unroll 2
    for (int32_t h = 0; h < 8; h += 4) {
        u[h] = _mm512_permutex2var_pd(t[h], evenPairs, t[h + 2]);
        u[h + 1] = _mm512_permutex2var_pd(t[h + 1], evenPairs, t[h + 3]);
        u[h + 2] = _mm512_permutex2var_pd(t[h], oddPairs, t[h + 2]);
        u[h + 3] = _mm512_permutex2var_pd(t[h + 1], oddPairs, t[h + 3]);
    }
#pragma GCC unroll 4
    for (int32_t j = 0; j < 4; ++j) {
        out[j] = _mm512_mask_shuffle_f64x2(u[j], allLanes, u[j], u[j + 4], 0x44);
        out[j + 4] = _mm512_mask_shuffle_f64x2(u[j], allLanes, u[j], u[j + 4], 0xEE);
    }
}

} // namespace alignopt
