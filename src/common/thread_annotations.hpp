// Lock rules the compiler checks: Clang's thread-safety analysis
// (-Wthread-safety) proves that every member marked GUARDED_BY is touched
// only with its mutex held and that every function marked REQUIRES is
// called with it held. Elsewhere the macros expand to nothing.
//
// Mutex and MutexLock wrap the standard ones with the annotations the
// analysis needs. Mutex is safe for concurrent use (that is its purpose);
// MutexLock belongs to one thread.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define KELVARA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KELVARA_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KELVARA_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KELVARA_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KELVARA_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KELVARA_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) KELVARA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KELVARA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KELVARA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KELVARA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS KELVARA_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace kelvara {

// A mutex the analysis knows. A holder may let go of it for a while with
// unlock() and take it back with lock() inside a MutexLock's scope, and
// waits on a condition variable through wait().
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

  // Waits on `changed` with the mutex released meanwhile; held again on
  // return.
  void wait(std::condition_variable& changed) REQUIRES(this) {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    changed.wait(held);
    (void)held.release();  // still held, by the caller
  }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace kelvara
