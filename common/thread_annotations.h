// Clang thread-safety annotations (-Wthread-safety). They state, next to the
// code, which lock guards a member (GUARDED_BY), which functions need it held
// (REQUIRES) and in which order locks nest (ACQUIRED_AFTER), and the compiler
// checks every use. With other compilers they expand to nothing.
#ifndef COMMON_THREAD_ANNOTATIONS_H_
#define COMMON_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define HB_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HB_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) HB_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY HB_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) HB_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) HB_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) HB_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) HB_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) HB_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) HB_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) HB_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) HB_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) HB_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) HB_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) HB_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) HB_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) HB_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) HB_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) HB_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS HB_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // COMMON_THREAD_ANNOTATIONS_H_
