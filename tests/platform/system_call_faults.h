// Scripted outcomes for the system calls the platform layer's file makes on
// Linux. The test program defines pwrite, pread, fdatasync, ftruncate,
// fallocate and open itself (system_call_faults.c): a definition in the
// program comes before the C library's for every library it loads, the
// platform layer's shared library among them. Each call takes the next step
// of its script; once the script is used up, calls go through unchanged.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum fault_call {
    fault_pwrite,
    fault_pread,
    fault_fdatasync,
    fault_ftruncate,
    fault_fallocate,
    fault_open,
    fault_call_count,
};

enum fault_kind {
    fault_pass,   // the real call, unchanged
    fault_fail,   // fails with errno `value` and does nothing
    fault_short,  // pwrite and pread: the real call, for at most `value` bytes
};

struct fault_step {
    enum fault_kind kind;
    long value;
};

// What one pwrite or pread asked for.
struct fault_transfer {
    long long offset;
    size_t count;
};

// Installs the script of one call and forgets what that call saw before.
void fault_script(enum fault_call call, const struct fault_step* steps, int count);
// Every script emptied, every record forgotten: all calls go through.
void fault_clear(void);
// Calls made since the call's script was installed.
int fault_calls(enum fault_call call);
// The `index`th pwrite or pread since its script was installed (up to 64).
struct fault_transfer fault_transfer_at(enum fault_call call, int index);

#ifdef __cplusplus
}
#endif
