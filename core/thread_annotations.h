#pragma once

// clang's thread-safety attributes (-Wthread-safety). Other compilers see
// nothing; clang checks at build time that data marked guarded is only
// touched with its mutex held and that scoped locks are balanced.
#if defined(__clang__)
#define QUELM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUELM_THREAD_ANNOTATION(x)
#endif

#define QUELM_CAPABILITY(x) QUELM_THREAD_ANNOTATION(capability(x))
#define QUELM_SCOPED_CAPABILITY QUELM_THREAD_ANNOTATION(scoped_lockable)
#define QUELM_GUARDED_BY(x) QUELM_THREAD_ANNOTATION(guarded_by(x))
#define QUELM_PT_GUARDED_BY(x) QUELM_THREAD_ANNOTATION(pt_guarded_by(x))
#define QUELM_ACQUIRED_BEFORE(...) QUELM_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define QUELM_ACQUIRED_AFTER(...) QUELM_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define QUELM_REQUIRES(...) QUELM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QUELM_ACQUIRE(...) QUELM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QUELM_RELEASE(...) QUELM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QUELM_TRY_ACQUIRE(...) QUELM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QUELM_EXCLUDES(...) QUELM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QUELM_RETURN_CAPABILITY(x) QUELM_THREAD_ANNOTATION(lock_returned(x))
#define QUELM_NO_THREAD_SAFETY_ANALYSIS QUELM_THREAD_ANNOTATION(no_thread_safety_analysis)
