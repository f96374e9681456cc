// platform_limits.h: the compile-time limits of the POSIX platform layer.
#pragma once

#include <limits.h>

#include <cstddef>

// A path buffer holds the longest path the system takes, terminating zero byte included.
inline constexpr size_t kPlatPathBufferSize = PATH_MAX;
