#include "hac_trace.h"

#include <elf.h>
#include <errno.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>

namespace hac_tool {

#if defined(__x86_64__)
typedef struct user_regs_struct Registers;
static void fill(const Registers& r, SyscallStop* stop) {
    stop->number = (long)r.orig_rax;
    const unsigned long args[6] = {r.rdi, r.rsi, r.rdx, r.r10, r.r8, r.r9};
    memcpy(stop->args, args, sizeof args);
    stop->result = (long)r.rax;
}
#define HAC_TRACE_ARCH 1
#elif defined(__arm__)
// r0-r15, cpsr, ORIG_r0; the EABI passes the call number in r7.
typedef struct user_regs Registers;
static void fill(const Registers& r, SyscallStop* stop) {
    stop->number = (long)r.uregs[7];
    stop->args[0] = r.uregs[17];
    for (int i = 1; i < 6; ++i) stop->args[i] = r.uregs[i];
    stop->result = (long)r.uregs[0];
}
#define HAC_TRACE_ARCH 1
#elif defined(__aarch64__)
typedef struct user_regs_struct Registers;
static void fill(const Registers& r, SyscallStop* stop) {
    stop->number = (long)r.regs[8];
    for (int i = 0; i < 6; ++i) stop->args[i] = r.regs[i];
    stop->result = (long)r.regs[0];
}
#define HAC_TRACE_ARCH 1
#endif

#ifdef HAC_TRACE_ARCH
const long kSysMsgsnd = SYS_msgsnd;
const long kSysMsgrcv = SYS_msgrcv;

bool tracing_supported() { return true; }

bool read_syscall_stop(pid_t tid, SyscallStop* stop, std::string* error) {
    Registers registers;
    struct iovec vector = {&registers, sizeof registers};
    if (ptrace(PTRACE_GETREGSET, tid, (void*)NT_PRSTATUS, &vector) != 0) {
        *error = std::string("cannot read the registers: ") + strerror(errno);
        return false;
    }
    if (vector.iov_len != sizeof registers) {
        *error = "a program of another architecture (its registers have another layout)";
        return false;
    }
    fill(registers, stop);
    return true;
}
#else
const long kSysMsgsnd = -1;
const long kSysMsgrcv = -1;

bool tracing_supported() { return false; }

bool read_syscall_stop(pid_t, SyscallStop*, std::string* error) {
    *error = "the monitor does not know this architecture's registers";
    return false;
}
#endif

bool read_process_memory(pid_t pid, unsigned long address, void* out, size_t n) {
    struct iovec local = {out, n};
    struct iovec remote = {(void*)address, n};
    return process_vm_readv(pid, &local, 1, &remote, 1, 0) == (ssize_t)n;
}

}  // namespace hac_tool
