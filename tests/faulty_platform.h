// faulty_platform.h: a platform layer for tests that passes every call on to the real one, counts
// the calls that touch files, and makes one chosen call fail.
#pragma once

#include <functional>
#include <string>
#include <vector>

enum class Fault {
    Fail,   // the call fails outright
    Short,  // a read or write moves only part of its bytes (other calls fail outright)
};

struct FaultPlan {
    int failAt = 0;            // the number (from 1) of the call to break; 0 breaks none
    Fault fault = Fault::Fail;
    bool copyInKernel = true;  // false: PlatCopyRange says it cannot, so data goes through reads
    int actAt = 0;             // the number of the call right before which `act` runs; 0: none
    std::function<void()> act;  // what another program or another run does then; its own calls
                                // are neither counted nor broken
};

// Starts counting afresh under `plan`; SetFaultPlan({}) breaks nothing and counts on.
void SetFaultPlan(const FaultPlan& plan);

// Calls counted since the last SetFaultPlan, each as its function's name ("PlatReadAt", ...).
const std::vector<std::string>& FaultCalls();

// The name of the call that was broken, or "" when none was.
const std::string& FaultHit();

// Names of files this process created that were renamed before their data was flushed to
// stable storage and the file closed; the sorter must never do that.
const std::vector<std::string>& UnflushedRenames();
