// The build's one switch: whether numor remembers facts and takes the fast
// paths that rely on them (the CMake option NUMOR_FAST_PATHS). Off, every
// operation makes the interpreter calls its Python makes; the suite and
// tools/stress.py compare the two builds.
#pragma once

#ifndef NUMOR_FAST_PATHS
#define NUMOR_FAST_PATHS 1
#endif

// For the small helpers on the hot paths, which the compiler's heuristics
// would otherwise sometimes leave out of line (callgrind shows the call).
#if defined(__GNUC__) || defined(__clang__)
#define NUMOR_HOT_INLINE [[gnu::always_inline]] inline
#else
#define NUMOR_HOT_INLINE inline
#endif

namespace numor {

constexpr bool kFastPaths = NUMOR_FAST_PATHS != 0;

}  // namespace numor
