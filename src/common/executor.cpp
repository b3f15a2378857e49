// The ordered parallel executor (see executor.hpp).

#include "common/executor.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <system_error>

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace kelvara {

// noinline keeps the throw a real one.
[[gnu::noinline]] void prepare_exception_state() noexcept {
  try {
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
}

namespace {

// What a thread costs in address space at most: its stack (8 MiB by
// default) and the malloc arena glibc may reserve for it (64 MiB on 64-bit
// systems).
constexpr std::uint64_t kThreadAddressSpace = std::uint64_t{72} << 20;

// How many more threads an address-space limit (RLIMIT_AS) leaves room for,
// keeping half the room for the run. A thread's exception state is
// allocated as it starts, and should that fail glibc ends the process, so
// no thread starts where the address space is nearly spent. No limit, or
// no way to know the process's size (outside Linux): no bound.
std::size_t threads_with_room() {
#if defined(__linux__)
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return ~std::size_t{0};
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  unsigned long pages = 0;
  const int got = std::fscanf(statm, "%lu", &pages);
  std::fclose(statm);
  if (got != 1) return 0;
  const std::uint64_t used = std::uint64_t{pages} * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  const std::uint64_t room = limit.rlim_cur > used ? limit.rlim_cur - used : 0;
  return static_cast<std::size_t>(room / 2 / kThreadAddressSpace);
#else
  return ~std::size_t{0};
#endif
}

}  // namespace

OrderedExecutor::OrderedExecutor(Work& work, std::size_t tasks, std::size_t threads, std::size_t window)
    : work_(work), tasks_(tasks), window_(std::max<std::size_t>(window, 1)), task_failures_(tasks) {
  {
    MutexLock lock(mutex_);
    done_.assign(tasks, 0);
  }
  threads = std::min(threads, std::max<std::size_t>(tasks, 1));
  if (threads > 1) threads = std::min(threads - 1, threads_with_room()) + 1;
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

bool OrderedExecutor::run_one() {
  if (next_side_ < posted_) {
    const std::size_t j = next_side_++;
    ++sides_running_;
    mutex_.unlock();
    std::exception_ptr failure;
    try {
      work_.side(j);
    } catch (...) {
      failure = std::current_exception();
    }
    mutex_.lock();
    if (failure && !side_failure_) side_failure_ = failure;
    --sides_running_;
    changed_.notify_all();
    return true;
  }
  if (!claimable()) return false;
  const std::size_t k = next_task_++;
  mutex_.unlock();
  try {
    work_.produce(k);
  } catch (...) {
    task_failures_[k] = std::current_exception();
  }
  mutex_.lock();
  done_[k] = 1;
  changed_.notify_all();
  return true;
}

void OrderedExecutor::work() noexcept {
  prepare_exception_state();
  MutexLock lock(mutex_);
  while (!stopping_) {
    if (!run_one()) mutex_.wait(changed_);
  }
}

std::exception_ptr OrderedExecutor::wait_for(std::size_t k) {
  MutexLock lock(mutex_);
  while (done_[k] == 0) {
    if (!run_one()) mutex_.wait(changed_);
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
      run_one();
    } else {
      mutex_.wait(changed_);
    }
  }
  return side_failure_;
}

}  // namespace kelvara
