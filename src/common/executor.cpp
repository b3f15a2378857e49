// The ordered parallel executor (see executor.hpp).

#include "common/executor.hpp"

#include <algorithm>
#include <new>
#include <system_error>

namespace kelvara {
namespace {

// Raises and catches one exception, so that this thread's exception state
// exists before the thread takes work (see executor.hpp). noinline keeps
// the throw a real one.
[[gnu::noinline]] void prepare_exception_state() noexcept {
  try {
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

OrderedExecutor::OrderedExecutor(Work& work, std::size_t tasks, std::size_t threads, std::size_t window)
    : work_(work), tasks_(tasks), window_(std::max<std::size_t>(window, 1)), task_failures_(tasks) {
  {
    MutexLock lock(mutex_);
    done_.assign(tasks, 0);
  }
  threads = std::min(threads, std::max<std::size_t>(tasks, 1));
  workers_.reserve(threads > 0 ? threads - 1 : 0);
  for (std::size_t t = 1; t < threads; ++t) {
    try {
      workers_.emplace_back([this] { this->work(); });
    } catch (const std::system_error&) {
      break;
    } catch (const std::bad_alloc&) {
      break;
    }
  }
}

OrderedExecutor::~OrderedExecutor() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

bool OrderedExecutor::claimable() const {
  return !stopping_ && next_task_ < tasks_ && next_task_ < consumed_ + window_;
}

bool OrderedExecutor::run_one(MutexLock& lock) {
  if (next_side_ < posted_) {
    const std::size_t j = next_side_++;
    ++sides_running_;
    lock.unlock();
    std::exception_ptr failure;
    try {
      work_.side(j);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    if (failure && !side_failure_) side_failure_ = failure;
    --sides_running_;
    changed_.notify_all();
    return true;
  }
  if (!claimable()) return false;
  const std::size_t k = next_task_++;
  lock.unlock();
  try {
    work_.produce(k);
  } catch (...) {
    task_failures_[k] = std::current_exception();
  }
  lock.lock();
  done_[k] = 1;
  changed_.notify_all();
  return true;
}

void OrderedExecutor::work() noexcept {
  prepare_exception_state();
  MutexLock lock(mutex_);
  while (!stopping_) {
    if (!run_one(lock)) lock.wait(changed_);
  }
}

std::exception_ptr OrderedExecutor::wait_for(std::size_t k) {
  MutexLock lock(mutex_);
  while (done_[k] == 0) {
    if (!run_one(lock)) lock.wait(changed_);
  }
  return task_failures_[k];
}

void OrderedExecutor::consumed(std::size_t k) {
  {
    MutexLock lock(mutex_);
    consumed_ = std::max(consumed_, k + 1);
  }
  changed_.notify_all();
}

void OrderedExecutor::post() {
  {
    MutexLock lock(mutex_);
    ++posted_;
  }
  changed_.notify_all();
}

std::exception_ptr OrderedExecutor::drain() {
  MutexLock lock(mutex_);
  while (next_side_ < posted_ || sides_running_ > 0) {
    if (next_side_ < posted_) {
      run_one(lock);
    } else {
      lock.wait(changed_);
    }
  }
  return side_failure_;
}

}  // namespace kelvara
