// The threads library's access to the platform's slim lock in exclusive mode.
#pragma once

#include "karvon/threads/export.h"
#include "platform/platform.h"

namespace Karvon::Threads {

class critical_section;

class read_write_lock {
  public:
    using fcn_srw_exclusive = void(WINAPI*)(PSRWLOCK);

    read_write_lock() = delete;

  private:
    friend class critical_section;

    // Set when the threads library is initialised, before the static
    // construction of any library that depends on it; read anew at every call.
    KARVON_THREADS_API static fcn_srw_exclusive fcn_AcquireSRWLockExclusive;
    KARVON_THREADS_API static fcn_srw_exclusive fcn_ReleaseSRWLockExclusive;
};

}  // namespace Karvon::Threads
