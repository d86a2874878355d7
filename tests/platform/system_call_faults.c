// The test program's own pwrite, pread, fdatasync, ftruncate, fallocate and
// open (and their 64-bit names), which follow a script and otherwise hand
// the call to the next definition: the C library's, or a sanitizer's in
// front of it. Written in C, where the definitions need not repeat the C
// library's exception specifications. The tests that use them run on one
// thread.
#undef _FORTIFY_SOURCE  // its inline open would stand in the way of this one
#define _GNU_SOURCE

#include "system_call_faults.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#define FAULT_STEPS 16
#define FAULT_TRANSFERS 64
#define EXPORTED __attribute__((visibility("default")))

struct script {
    struct fault_step steps[FAULT_STEPS];
    int count;
    int calls;
    struct fault_transfer transfers[FAULT_TRANSFERS];
};

static struct script g_scripts[fault_call_count];
static const struct script k_empty;

void fault_script(enum fault_call call, const struct fault_step* steps, int count) {
    if (count < 0 || count > FAULT_STEPS) {
        fprintf(stderr, "system_call_faults: a script holds at most %d steps\n", FAULT_STEPS);
        abort();
    }
    g_scripts[call] = k_empty;
    for (int i = 0; i < count; ++i) g_scripts[call].steps[i] = steps[i];
    g_scripts[call].count = count;
}

void fault_clear(void) {
    for (int call = 0; call < fault_call_count; ++call) g_scripts[call] = k_empty;
}

int fault_calls(enum fault_call call) {
    return g_scripts[call].calls;
}

struct fault_transfer fault_transfer_at(enum fault_call call, int index) {
    const struct fault_transfer none = {-1, 0};
    if (index < 0 || index >= FAULT_TRANSFERS || index >= g_scripts[call].calls) return none;
    return g_scripts[call].transfers[index];
}

// The call's next step (a pass once the script is used up), counted.
static struct fault_step next_step(enum fault_call call) {
    struct script* s = &g_scripts[call];
    const struct fault_step pass = {fault_pass, 0};
    const int index = s->calls++;
    return index < s->count ? s->steps[index] : pass;
}

static void note_transfer(enum fault_call call, long long offset, size_t count) {
    struct script* s = &g_scripts[call];
    const int index = s->calls - 1;
    if (index < FAULT_TRANSFERS) {
        s->transfers[index].offset = offset;
        s->transfers[index].count = count;
    }
}

static void* next_definition(const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    if (found == NULL) {
        fprintf(stderr, "system_call_faults: no definition of %s after the program's\n", name);
        abort();
    }
    return found;
}

// Applies a step that fails; true when it did.
static int failed(struct fault_step step) {
    if (step.kind != fault_fail) return 0;
    errno = (int)step.value;
    return 1;
}

static size_t limited(struct fault_step step, size_t count) {
    return step.kind == fault_short && (size_t)step.value < count ? (size_t)step.value : count;
}

typedef ssize_t (*fcn_pwrite)(int, const void*, size_t, off_t);
typedef ssize_t (*fcn_pread)(int, void*, size_t, off_t);
typedef int (*fcn_fdatasync)(int);
typedef int (*fcn_ftruncate)(int, off_t);
typedef int (*fcn_fallocate)(int, int, off_t, off_t);
typedef int (*fcn_open)(const char*, int, ...);

static ssize_t scripted_pwrite(const char* name, int fd, const void* data, size_t count,
                               off_t offset) {
    const struct fault_step step = next_step(fault_pwrite);
    note_transfer(fault_pwrite, offset, count);
    if (failed(step)) return -1;
    return ((fcn_pwrite)next_definition(name))(fd, data, limited(step, count), offset);
}

static ssize_t scripted_pread(const char* name, int fd, void* data, size_t count, off_t offset) {
    const struct fault_step step = next_step(fault_pread);
    note_transfer(fault_pread, offset, count);
    if (failed(step)) return -1;
    return ((fcn_pread)next_definition(name))(fd, data, limited(step, count), offset);
}

static int scripted_ftruncate(const char* name, int fd, off_t size) {
    if (failed(next_step(fault_ftruncate))) return -1;
    return ((fcn_ftruncate)next_definition(name))(fd, size);
}

static int scripted_fallocate(const char* name, int fd, int mode, off_t offset, off_t length) {
    if (failed(next_step(fault_fallocate))) return -1;
    return ((fcn_fallocate)next_definition(name))(fd, mode, offset, length);
}

static int scripted_open(const char* name, const char* path, int flags, mode_t mode) {
    if (failed(next_step(fault_open))) return -1;
    return ((fcn_open)next_definition(name))(path, flags, mode);
}

EXPORTED ssize_t pwrite(int fd, const void* data, size_t count, off_t offset) {
    return scripted_pwrite("pwrite", fd, data, count, offset);
}

EXPORTED ssize_t pwrite64(int fd, const void* data, size_t count, off64_t offset) {
    return scripted_pwrite("pwrite64", fd, data, count, offset);
}

EXPORTED ssize_t pread(int fd, void* data, size_t count, off_t offset) {
    return scripted_pread("pread", fd, data, count, offset);
}

EXPORTED ssize_t pread64(int fd, void* data, size_t count, off64_t offset) {
    return scripted_pread("pread64", fd, data, count, offset);
}

EXPORTED int fdatasync(int fd) {
    if (failed(next_step(fault_fdatasync))) return -1;
    return ((fcn_fdatasync)next_definition("fdatasync"))(fd);
}

EXPORTED int ftruncate(int fd, off_t size) {
    return scripted_ftruncate("ftruncate", fd, size);
}

EXPORTED int ftruncate64(int fd, off64_t size) {
    return scripted_ftruncate("ftruncate64", fd, size);
}

EXPORTED int fallocate(int fd, int mode, off_t offset, off_t length) {
    return scripted_fallocate("fallocate", fd, mode, offset, length);
}

EXPORTED int fallocate64(int fd, int mode, off64_t offset, off64_t length) {
    return scripted_fallocate("fallocate64", fd, mode, offset, length);
}

// The mode is there only when the flags create a file.
#define MODE_OF(flags, mode)                                                  \
    do {                                                                      \
        va_list arguments;                                                    \
        va_start(arguments, flags);                                           \
        mode = __OPEN_NEEDS_MODE(flags) ? (mode_t)va_arg(arguments, int) : 0; \
        va_end(arguments);                                                    \
    } while (0)

EXPORTED int open(const char* path, int flags, ...) {
    mode_t mode;
    MODE_OF(flags, mode);
    return scripted_open("open", path, flags, mode);
}

EXPORTED int open64(const char* path, int flags, ...) {
    mode_t mode;
    MODE_OF(flags, mode);
    return scripted_open("open64", path, flags, mode);
}
