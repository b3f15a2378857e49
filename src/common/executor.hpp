// The ordered parallel executor: numbered tasks run on up to N threads, the
// calling thread among them, and the calling thread takes their results in
// task order. Both the container's parallel stream read (parts of a
// stream) and the decode (chunks of the index) run on it.
//
// Tasks are started in order, and only a window of tasks ahead of the last
// one consumed may be started, which bounds the results waiting in memory.
// The calling thread waits for task k (wait_for), producing tasks itself
// while k is not ready, then consumes its result and says so (consumed).
// Beside the tasks, the calling thread may post side jobs (the decode's
// copies of values into place) that whichever thread is free runs first.
//
// Workers cannot end the process. A thread's first exception makes the C++
// runtime allocate its per-thread exception state, and when that fails
// glibc ends the process at once (status 127), before any handler runs; so
// each worker raises and catches one exception as it starts, before it
// takes work, and every task and side job runs inside a handler that keeps
// what it threw as a value for the calling thread. A thread the system
// cannot start leaves its share to the others; the calling thread alone can
// run every task. Under an address-space limit, only the threads the limit
// leaves ample room for are started (see threads_with_room).
//
// Safe for concurrent use as described: produce and side run on any thread;
// wait_for, consumed, post and drain are for the calling thread alone.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

#include "common/thread_annotations.hpp"

namespace kelvara {

// Raises and catches one exception, so that the calling thread's exception
// state exists before memory may run short. The C++ runtime is loaded with
// the extension, so that state lives in thread-local storage glibc
// allocates on a thread's first throw; should that allocation fail, glibc
// ends the process (status 127). Workers call it as they start; every open
// calls it on the calling thread, whose first throw may otherwise be the
// bad_alloc of a run that filled the address space.
void prepare_exception_state() noexcept;

class OrderedExecutor {
 public:
  class Work {
   public:
    // Task k, on any thread, with no lock held; tasks never run twice.
    virtual void produce(std::size_t k) = 0;
    // Side job j (numbered in the order posted), on any thread.
    virtual void side(std::size_t /*j*/) {}

   protected:
    ~Work() = default;
  };

  // Starts up to `threads - 1` workers for `tasks` tasks, of which at most
  // `window` (at least 1) may run ahead of the last one consumed.
  OrderedExecutor(Work& work, std::size_t tasks, std::size_t threads, std::size_t window);
  OrderedExecutor(const OrderedExecutor&) = delete;
  OrderedExecutor& operator=(const OrderedExecutor&) = delete;
  // Stops the workers between tasks and joins them.
  ~OrderedExecutor();

  // Waits until task k has run, producing tasks and running side jobs on
  // this thread meanwhile. Gives what task k threw, if anything.
  std::exception_ptr wait_for(std::size_t k) EXCLUDES(mutex_);
  // Task k's result is consumed: tasks up to k + window may start.
  void consumed(std::size_t k) EXCLUDES(mutex_);
  // One more side job for any free thread.
  void post() EXCLUDES(mutex_);
  // Waits until every side job posted has run, running them here meanwhile.
  // Gives what the first that failed threw, if any did.
  std::exception_ptr drain() EXCLUDES(mutex_);

  // The threads running tasks, the calling thread included.
  std::size_t threads() const { return workers_.size() + 1; }

 private:
  void work() noexcept EXCLUDES(mutex_);
  // Runs one side job or one task, with the mutex released meanwhile; false
  // when neither may run now.
  bool run_one() REQUIRES(mutex_);
  bool claimable() const REQUIRES(mutex_);

  Work& work_;
  const std::size_t tasks_;
  const std::size_t window_;
  // Set before any worker starts, then written only for a task (side job)
  // by the thread that claimed it; read after `done_` says it ran.
  std::vector<std::exception_ptr> task_failures_;
  Mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::uint8_t> done_ GUARDED_BY(mutex_);
  std::size_t next_task_ GUARDED_BY(mutex_) = 0;
  std::size_t consumed_ GUARDED_BY(mutex_) = 0;  // tasks [0, consumed_) are consumed
  std::size_t posted_ GUARDED_BY(mutex_) = 0;
  std::size_t next_side_ GUARDED_BY(mutex_) = 0;
  std::size_t sides_running_ GUARDED_BY(mutex_) = 0;
  std::exception_ptr side_failure_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::vector<std::thread> workers_;  // the calling thread's alone
};

}  // namespace kelvara
