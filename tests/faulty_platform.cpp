// faulty_platform.cpp: a platform layer for tests that passes every call on to the real one, counts
// the calls that touch files, and makes one chosen call fail.
#include "faulty_platform.h"

#include <map>

#include "platform.h"

// The real layer, built a second time with every listed name prefixed Real (tests/CMakeLists.txt).
#define PLAT_FUNCTION(result, name, parameters, arguments) result Real##name parameters;
#include "platform_functions.h"
#undef PLAT_FUNCTION

namespace {

FaultPlan gPlan;
bool gActing = false;
std::vector<std::string> gCalls;
std::string gHit;
std::vector<std::string> gUnflushedRenames;

// What the layer knows of each file it created: its name and whether its data is safe.
struct Created {
    std::string name;
    bool flushed = false;
    bool closed = false;
};
std::map<PlatFile*, Created> gOpen;
std::map<std::string, Created> gClosed;

// Counts a call, after the act planned before it; true when this is the one to break.
bool Breaks(const char* name) {
    if (gActing) return false;
    if (static_cast<int>(gCalls.size()) + 1 == gPlan.actAt && gPlan.act) {
        struct Acting {
            Acting() { gActing = true; }
            ~Acting() { gActing = false; }  // a failing act fails its test, not every later one
        } acting;
        gPlan.act();
    }
    gCalls.emplace_back(name);
    if (static_cast<int>(gCalls.size()) != gPlan.failAt) return false;
    gHit = name;
    return true;
}

bool ShortNow() { return gPlan.fault == Fault::Short; }

}  // namespace

void SetFaultPlan(const FaultPlan& plan) {
    gPlan = plan;
    gCalls.clear();
    gHit.clear();
    gUnflushedRenames.clear();
    gOpen.clear();
    gClosed.clear();
}

const std::vector<std::string>& FaultCalls() { return gCalls; }
const std::string& FaultHit() { return gHit; }
const std::vector<std::string>& UnflushedRenames() { return gUnflushedRenames; }

PlatFile* PlatOpenRead(const char* path) {
    return Breaks("PlatOpenRead") ? nullptr : RealPlatOpenRead(path);
}

PlatFile* PlatCreate(const char* path, PlatFile* like, const PlatFileState* leftover) {
    if (Breaks("PlatCreate")) return nullptr;
    PlatFile* file = RealPlatCreate(path, like, leftover);
    if (file != nullptr) gOpen[file] = Created{path};
    return file;
}

bool PlatReadAt(PlatFile* file, uint64_t offset, void* buf, uint32_t n, uint32_t* got) {
    if (Breaks("PlatReadAt")) {
        if (!ShortNow()) return false;
        // A short read: fewer bytes than asked for, as if the file ended early.
        return RealPlatReadAt(file, offset, buf, n / 2, got);
    }
    return RealPlatReadAt(file, offset, buf, n, got);
}

bool PlatWrite(PlatFile* file, const void* buf, uint32_t n) {
    if (Breaks("PlatWrite")) {
        // A short write lands part of the bytes, then reports the failure.
        if (ShortNow()) RealPlatWrite(file, buf, n / 2);
        return false;
    }
    return RealPlatWrite(file, buf, n);
}

PlatCopyResult PlatCopyRange(PlatFile* source, uint64_t offset, PlatFile* out, uint32_t n) {
    if (!gPlan.copyInKernel) return PlatCopyResult::Unsupported;
    if (Breaks("PlatCopyRange")) {
        if (ShortNow()) RealPlatCopyRange(source, offset, out, n / 2);
        return PlatCopyResult::Failed;
    }
    return RealPlatCopyRange(source, offset, out, n);
}

bool PlatFlush(PlatFile* file) {
    if (Breaks("PlatFlush")) return false;
    const bool ok = RealPlatFlush(file);
    if (ok && gOpen.count(file)) gOpen[file].flushed = true;
    return ok;
}

// Flushed together: each file counts as flushed once its outcome says so.
void PlatFlushTogether(PlatFile* const* files, size_t n) {
    if (!Breaks("PlatFlushTogether")) RealPlatFlushTogether(files, n);
}

bool PlatFlushed(PlatFile* file) {
    if (Breaks("PlatFlushed")) return false;
    const bool ok = RealPlatFlushed(file);
    if (ok && gOpen.count(file)) gOpen[file].flushed = true;
    return ok;
}

bool PlatClose(PlatFile* file) {
    const bool broken = Breaks("PlatClose");
    auto created = gOpen.find(file);
    if (created != gOpen.end()) {
        Created done = created->second;
        done.closed = !broken;
        gClosed[done.name] = done;
        gOpen.erase(created);
    }
    const bool ok = RealPlatClose(file);  // the handle goes either way
    return ok && !broken;
}

bool PlatRenameNoReplace(const char* from, const char* to) {
    if (Breaks("PlatRenameNoReplace")) return false;
    auto created = gClosed.find(from);
    if (created != gClosed.end() && !(created->second.flushed && created->second.closed)) {
        gUnflushedRenames.emplace_back(from);
    }
    return RealPlatRenameNoReplace(from, to);
}

PlatLockResult PlatLock(PlatFile* file) {
    return Breaks("PlatLock") ? PlatLockResult::Held : RealPlatLock(file);
}

const char* PlatLongPath(const char* path, char* out) {
    return Breaks("PlatLongPath") ? nullptr : RealPlatLongPath(path, out);
}

PlatKind PlatKindAt(const char* path, bool follow) {
    return Breaks("PlatKindAt") ? PlatKind::None : RealPlatKindAt(path, follow);
}

// The calls whose only fault is to fail outright.
#define SIMPLE(name, parameters, arguments) \
    bool name parameters { return !Breaks(#name) && Real##name arguments; }
SIMPLE(PlatStateOf, (PlatFile* file, PlatFileState* state), (file, state))
SIMPLE(PlatStateAt, (const char* path, PlatFileState* state), (path, state))
SIMPLE(PlatFileSize, (PlatFile* file, uint64_t* size), (file, size))
SIMPLE(PlatRemove, (const char* path), (path))
SIMPLE(PlatFlushDirectory, (const char* dir, PlatFile* inIt), (dir, inIt))
SIMPLE(PlatSetCurrentDirectory, (const char* dir), (dir))
