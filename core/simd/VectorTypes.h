#pragma once

// The GNU vector types of every width, for code written once for all levels.

#include <cstdint>

namespace alignopt {

// GNU vectors of N lanes, for the wide paths written once for every width:
// each lane runs the plain code's operations. (A member typedef keeps the
// vector attribute; an alias template would drop it.) They keep their natural
// alignment: buffers are read and written through memcpy, since a smaller
// alignment given to such a type is dropped by Clang 14 in templates.
template <int N>
struct VectorTypes {
    typedef double Real __attribute__((vector_size(N * sizeof(double))));
    typedef float Single __attribute__((vector_size(N * sizeof(float))));
    typedef int32_t Index __attribute__((vector_size(N * sizeof(int32_t))));
    typedef int64_t Mask __attribute__((vector_size(N * sizeof(int64_t))));
};

} // namespace alignopt
