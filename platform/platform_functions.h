// platform_functions.h: the functions of platform.h that touch files, listed once, for the layers
// that stand between the core and an implementation (the tests' fault layer, its build) to expand
// as PLAT_FUNCTION(result, name, (parameters), (arguments)). One line each, in platform.h's order.
PLAT_FUNCTION(PlatFile*, PlatOpenRead, (const char* path), (path))
PLAT_FUNCTION(PlatLockResult, PlatLock, (PlatFile* file), (file))
PLAT_FUNCTION(bool, PlatStateOf, (PlatFile* file, PlatFileState* state), (file, state))
PLAT_FUNCTION(bool, PlatStateAt, (const char* path, PlatFileState* state), (path, state))
PLAT_FUNCTION(PlatFile*, PlatCreate, (const char* path, PlatFile* like, const PlatFileState* left), (path, like, left))
PLAT_FUNCTION(bool, PlatFileSize, (PlatFile* file, uint64_t* size), (file, size))
PLAT_FUNCTION(bool, PlatReadAt, (PlatFile* f, uint64_t at, void* buf, uint32_t n, uint32_t* got), (f, at, buf, n, got))
PLAT_FUNCTION(bool, PlatWrite, (PlatFile* file, const void* buf, uint32_t n), (file, buf, n))
PLAT_FUNCTION(PlatCopyResult, PlatCopyRange, (PlatFile* s, uint64_t at, PlatFile* out, uint32_t n), (s, at, out, n))
PLAT_FUNCTION(bool, PlatFlush, (PlatFile* file), (file))
PLAT_FUNCTION(bool, PlatClose, (PlatFile* file), (file))
PLAT_FUNCTION(bool, PlatRenameNoReplace, (const char* from, const char* to), (from, to))
PLAT_FUNCTION(bool, PlatRemove, (const char* path), (path))
PLAT_FUNCTION(bool, PlatFlushDirectory, (const char* dir, PlatFile* inIt), (dir, inIt))
PLAT_FUNCTION(bool, PlatSetCurrentDirectory, (const char* dir), (dir))
PLAT_FUNCTION(PlatKind, PlatKindAt, (const char* path, bool follow), (path, follow))
