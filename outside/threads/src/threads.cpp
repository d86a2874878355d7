// Constructor and destructor of critical_section, and the two platform entry
// points that its inline operations call through.
#include "karvon/threads/critical_section.h"

namespace Karvon::Threads {

#if defined(_WIN32)
namespace {
read_write_lock::fcn_srw_exclusive look_up(const char* name,
                                           read_write_lock::fcn_srw_exclusive linked) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC found = kernel ? GetProcAddress(kernel, name) : nullptr;
    return found ? reinterpret_cast<read_write_lock::fcn_srw_exclusive>(
                       reinterpret_cast<void*>(found))
                 : linked;
}
}  // namespace

// Dynamic initialisation of a DLL's statics runs in its process attach, and
// Windows attaches a DLL only after every DLL it imports: so the pointers are
// set before any dependent library's static construction.
read_write_lock::fcn_srw_exclusive read_write_lock::fcn_AcquireSRWLockExclusive =
    look_up("AcquireSRWLockExclusive", &::AcquireSRWLockExclusive);
read_write_lock::fcn_srw_exclusive read_write_lock::fcn_ReleaseSRWLockExclusive =
    look_up("ReleaseSRWLockExclusive", &::ReleaseSRWLockExclusive);
#else
// Constant initialisation: the dynamic loader fills these in when it relocates
// the library, before any constructor of the process runs.
read_write_lock::fcn_srw_exclusive read_write_lock::fcn_AcquireSRWLockExclusive =
    &AcquireSRWLockExclusive;
read_write_lock::fcn_srw_exclusive read_write_lock::fcn_ReleaseSRWLockExclusive =
    &ReleaseSRWLockExclusive;
#endif

critical_section::critical_section() : srw SRWLOCK_INIT, owner(0), recursion(0) {}

// What destroying a lock does, and why, is said where callers read it: in
// the header.
critical_section::~critical_section() {}

}  // namespace Karvon::Threads
