// no_syscall_shim.cpp: where the POSIX system-call shim is not built (Windows), the switch that sets
// its plans can only leave every call as it is.
#include <cstring>

bool SetSyscallFaults(const char* plan) { return std::strlen(plan) == 0; }
