// platform_limits.h: the compile-time limits of the Windows platform layer.
#pragma once

#include <cstddef>

// A path buffer holds MAX_PATH bytes: at most 259 bytes of path and a terminating zero byte.
inline constexpr size_t kPlatPathBufferSize = 260;
