// memory_platform.cpp: the platform interface over files held in memory, so that the fuzz target
// runs a whole sort in microseconds. Renames never replace, as on disk; data is copied by reading
// and writing, never by the system.
#include "memory_platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "display_message.h"
#include "platform.h"

struct PlatFile {
    std::string name;
    uint64_t size;  // as seen when opened
};

std::map<std::string, std::string>& MemoryFiles() {
    static std::map<std::string, std::string> files;
    return files;
}

namespace {

// Each file's identity, by name; a file first seen gets a new one.
std::map<std::string, uint64_t> gIds;
uint64_t gLastId = 0;

PlatFileState StateAt(const std::string& name) {
    auto id = gIds.try_emplace(name, gLastId + 1);
    if (id.second) ++gLastId;
    auto file = MemoryFiles().find(name);
    return {0, id.first->second, file == MemoryFiles().end() ? 0 : file->second.size(), 0, 0};
}

}  // namespace

const char kPlatPathSeparator = '/';

PlatFile* PlatOpenRead(const char* path) {
    auto it = MemoryFiles().find(path);
    if (it == MemoryFiles().end()) return nullptr;
    return new (std::nothrow) PlatFile{path, it->second.size()};
}

PlatLockResult PlatLock(PlatFile*) { return PlatLockResult::Locked; }

bool PlatStateOf(PlatFile* file, PlatFileState* state) {
    *state = StateAt(file->name);
    return true;
}

bool PlatStateAt(const char* path, PlatFileState* state) {
    if (!MemoryFiles().count(path)) return false;
    *state = StateAt(path);
    return true;
}

const char* PlatLongPath(const char* path, char*) { return path; }

void PlatFlushTogether(PlatFile* const*, size_t) {}

bool PlatFlushed(PlatFile*) { return true; }

PlatKind PlatKindAt(const char* path, bool) {
    return MemoryFiles().count(path) ? PlatKind::File : PlatKind::None;
}

PlatFile* PlatCreate(const char* path, PlatFile*, const PlatFileState*) {
    MemoryFiles()[path].clear();
    gIds[path] = ++gLastId;
    return new (std::nothrow) PlatFile{path, 0};
}

bool PlatFileSize(PlatFile* file, uint64_t* size) {
    *size = file->size;
    return true;
}

bool PlatReadAt(PlatFile* file, uint64_t offset, void* buf, uint32_t n, uint32_t* got) {
    *got = 0;
    auto it = MemoryFiles().find(file->name);
    if (it == MemoryFiles().end()) return false;
    const std::string& bytes = it->second;
    if (offset < bytes.size()) {
        *got = static_cast<uint32_t>(std::min<uint64_t>(n, bytes.size() - offset));
        std::memcpy(buf, bytes.data() + offset, *got);
    }
    return true;
}

bool PlatWrite(PlatFile* file, const void* buf, uint32_t n) {
    MemoryFiles()[file->name].append(static_cast<const char*>(buf), n);
    return true;
}

PlatCopyResult PlatCopyRange(PlatFile*, uint64_t, PlatFile*, uint32_t) {
    return PlatCopyResult::Unsupported;
}

bool PlatFlush(PlatFile*) { return true; }

bool PlatClose(PlatFile* file) {
    delete file;
    return true;
}

bool PlatRenameNoReplace(const char* from, const char* to) {
    auto& files = MemoryFiles();
    auto it = files.find(from);
    if (it == files.end() || files.count(to)) return false;
    const uint64_t id = StateAt(from).index;
    std::string bytes = std::move(it->second);
    files.erase(it);
    files[to] = std::move(bytes);
    gIds[to] = id;
    gIds.erase(from);
    return true;
}

bool PlatRemove(const char* path) {
    gIds.erase(path);
    return MemoryFiles().erase(path) == 1;
}

bool PlatSetCurrentDirectory(const char*) { return true; }

bool PlatFlushDirectory(const char*, PlatFile*) { return true; }

bool PlatIsLeadByte(unsigned char) { return false; }

const char* PlatErrorText() { return "failed"; }
bool PlatHoldStartingDirectory() { return true; }
bool PlatReturnToStartingDirectory() { return true; }
bool PlatIsAbsolutePath(const char* path) { return path[0] == '/'; }
void PlatCatchInterrupts() {}
bool PlatInterrupted() { return false; }
void PlatEndInterrupted() { std::abort(); }  // nothing is ever caught

// Without a sink, a message goes nowhere: the fuzz target always sets one.
void PlatDisplayMessage(const char*, const char*) {}
