// platform_limits.h: the compile-time limits and facts of the POSIX platform layer.
#pragma once

#include <limits.h>

#include <cstddef>

// A path buffer holds the longest path the system takes, terminating zero byte included.
inline constexpr size_t kPlatPathBufferSize = PATH_MAX;

// Relative names resolve however long the current directory's full path is: only each name given
// counts against the path buffer.
inline constexpr bool kPlatFullPathLimitsRelativeNames = false;

// A file's inode stays its own through a rename.
inline constexpr bool kPlatFileIndexSurvivesRename = true;
