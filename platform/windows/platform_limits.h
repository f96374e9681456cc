// platform_limits.h: the compile-time limits and facts of the Windows platform layer.
#pragma once

#include <cstddef>

// A path buffer holds MAX_PATH bytes: at most 259 bytes of path and a terminating zero byte.
inline constexpr size_t kPlatPathBufferSize = 260;

// A relative name resolves against the current directory, and the full path it makes must fit in
// a path buffer too (as for every program that does not declare itself aware of long paths).
inline constexpr bool kPlatFullPathLimitsRelativeNames = true;

// On FAT the file index comes from the place of the file's directory entry, which a rename may
// move: the index can change with the name.
inline constexpr bool kPlatFileIndexSurvivesRename = false;
