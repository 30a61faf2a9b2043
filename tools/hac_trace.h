// System-call tracing for hac monitor: the registers of a thread stopped at
// a system call, on each architecture the tool is built for, and the memory
// of a traced process.
#ifndef HAC_TRACE_H
#define HAC_TRACE_H

#include <sys/types.h>

#include <string>

namespace hac_tool {

struct SyscallStop {
    long number;
    unsigned long args[6];
    long result;  // at the exit stop: the return value, or -errno
};

// True where the monitor knows the registers (x86-64, 32-bit ARM, AArch64).
bool tracing_supported();
// msgsnd and msgrcv of this architecture.
extern const long kSysMsgsnd;
extern const long kSysMsgrcv;
// False with a reason when the registers cannot be read, or are those of
// another architecture (a 32-bit program under a 64-bit monitor).
bool read_syscall_stop(pid_t tid, SyscallStop* stop, std::string* error);
// Copies n bytes at address in the process's memory.
bool read_process_memory(pid_t pid, unsigned long address, void* out, size_t n);

}  // namespace hac_tool

#endif
