/* Stand-in for the part of libavcodec 58's public header that the
 * registration library uses: the lock-manager protocol. Declared as that
 * release declared it, in C and deprecated. */
#ifndef AVCODEC_AVCODEC_H
#define AVCODEC_AVCODEC_H

#include "libavcodec/version.h"

#ifndef attribute_deprecated
#define attribute_deprecated __attribute__((deprecated))
#endif

#if FF_API_LOCKMGR
/* Lock operation used by the lock manager. */
enum AVLockOp {
    AV_LOCK_CREATE,  /* Create a mutex */
    AV_LOCK_OBTAIN,  /* Lock the mutex */
    AV_LOCK_RELEASE, /* Unlock the mutex */
    AV_LOCK_DESTROY, /* Free mutex resources */
};

/* Registers a user-provided lock manager; the callback returns 0 on success
 * and non-zero on failure. Returns 0 on success, a negative error otherwise. */
attribute_deprecated int av_lockmgr_register(int (*cb)(void** mutex, enum AVLockOp op));
#endif

#endif /* AVCODEC_AVCODEC_H */
