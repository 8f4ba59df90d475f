// Worker pools for libjxl and the lazy runner that lends them out.
#include "threads.h"

#include <jxl/thread_parallel_runner.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace kp {
namespace {

std::atomic<uint64_t> g_fork_generation{0};

// Runs one of libjxl's tasks. A std::bad_alloc thrown out of it (libjxl's
// containers allocate with operator new) must not leave a noexcept function
// nor a worker thread: it is caught and the task counted as failed, which
// fails the whole call.
bool run_task(JxlParallelRunFunction func, void* opaque, uint32_t i, size_t thread) noexcept {
  try {
    func(opaque, i, thread);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Runs tasks [start, end) on the calling thread, as thread 0.
JxlParallelRetCode run_inline(void* opaque, JxlParallelRunInit init,
                              JxlParallelRunFunction func, uint32_t start,
                              uint32_t end) noexcept {
  if (init(opaque, 1) != JXL_PARALLEL_RET_SUCCESS) return JXL_PARALLEL_RET_RUNNER_ERROR;
  for (uint32_t i = start; i < end; ++i)
    if (!run_task(func, opaque, i, 0)) return JXL_PARALLEL_RET_RUNNER_ERROR;
  return JXL_PARALLEL_RET_SUCCESS;
}

// A fixed set of worker threads that sleep on a condition variable between
// calls (they never spin). The calling thread works too, as thread 0.
//
// Threads are started with pthread_create, and nothing here throws: where
// memory runs out, a failure must come back as a value. A C++ exception (as
// std::thread throws when it cannot start a thread) needs the thread's
// exception state, which lives in libstdc++'s thread-local storage; libstdc++
// comes with this extension, after the interpreter started, so that storage
// is allocated on first use, and glibc ends the process ("cannot allocate
// memory for thread-local data") when that allocation fails.
class WorkerPool {
 public:
  explicit WorkerPool(size_t workers) : workers_(workers) {}
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  ~WorkerPool() {
    {
      std::lock_guard<std::mutex> lk(m_);
      stop_ = true;
    }
    wake_.notify_all();
    for (size_t i = 0; i < started_; ++i) pthread_join(threads_[i].id, /*retval=*/nullptr);
  }

  // Starts up to workers - 1 threads; a thread that cannot be started (no
  // memory, a process thread limit) leaves the pool smaller.
  void start() noexcept {
    const size_t wanted = workers_ > 0 ? workers_ - 1 : 0;
    threads_.reset(new (std::nothrow) Worker[wanted]);
    if (!threads_) return;
    for (size_t i = 0; i < wanted; ++i) {
      threads_[i] = Worker{this, i + 1, {}};
      if (pthread_create(&threads_[i].id, /*attr=*/nullptr, &WorkerPool::entry, &threads_[i]) != 0)
        break;
      ++started_;
    }
  }

  size_t workers() const noexcept { return workers_; }
  size_t participants() const noexcept { return started_ + 1; }

  JxlParallelRetCode run(void* opaque, JxlParallelRunInit init, JxlParallelRunFunction func,
                         uint32_t start, uint32_t end) noexcept {
    const uint64_t tasks = static_cast<uint64_t>(end) - start;
    const size_t helpers = static_cast<size_t>(
        std::min<uint64_t>(started_, tasks > 0 ? tasks - 1 : 0));
    if (helpers == 0) return run_inline(opaque, init, func, start, end);
    if (init(opaque, helpers + 1) != JXL_PARALLEL_RET_SUCCESS)
      return JXL_PARALLEL_RET_RUNNER_ERROR;
    {
      std::lock_guard<std::mutex> lk(m_);
      opaque_ = opaque;
      func_ = func;
      next_.store(start, std::memory_order_relaxed);
      failed_.store(false, std::memory_order_relaxed);
      end_ = end;
      helpers_ = helpers;
      running_ = helpers;
      ++job_;
    }
    wake_.notify_all();
    drain(0);
    std::unique_lock<std::mutex> lk(m_);
    done_.wait(lk, [this] { return running_ == 0; });
    return failed_.load() ? JXL_PARALLEL_RET_RUNNER_ERROR : JXL_PARALLEL_RET_SUCCESS;
  }

 private:
  struct Worker {
    WorkerPool* pool;
    size_t thread;
    pthread_t id;
  };

  static void* entry(void* arg) noexcept {
    Worker* w = static_cast<Worker*>(arg);
    w->pool->work(w->thread);
    return nullptr;
  }

  void drain(size_t thread) noexcept {
    for (;;) {
      const uint64_t i = next_.fetch_add(1, std::memory_order_relaxed);
      if (i >= end_) return;
      if (!run_task(func_, opaque_, static_cast<uint32_t>(i), thread)) {
        // The remaining tasks are not run: the call has failed.
        failed_.store(true);
        next_.store(end_, std::memory_order_relaxed);
        return;
      }
    }
  }

  void work(size_t thread) noexcept {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lk(m_);
    for (;;) {
      wake_.wait(lk, [&] { return stop_ || job_ != seen; });
      if (stop_) return;
      seen = job_;
      if (thread > helpers_) continue;  // this call needs fewer threads
      lk.unlock();
      drain(thread);
      lk.lock();
      if (--running_ == 0) done_.notify_one();
    }
  }

  const size_t workers_;
  std::unique_ptr<Worker[]> threads_;
  size_t started_ = 0;
  std::mutex m_;
  std::condition_variable wake_;
  std::condition_variable done_;
  bool stop_ = false;
  uint64_t job_ = 0;
  // The current call; written under m_ before the workers are woken.
  void* opaque_ = nullptr;
  JxlParallelRunFunction func_ = nullptr;
  std::atomic<uint64_t> next_{0};
  std::atomic<bool> failed_{false};
  uint64_t end_ = 0;
  size_t helpers_ = 0;
  size_t running_ = 0;
};

// Idle pools, by worker count. A pool is taken out while it serves a call
// and put back after, so no pool ever serves two callers at once. A fixed
// table: keeping a pool must not allocate (see WorkerPool).
constexpr size_t kMaxIdlePerSize = 4;
constexpr size_t kMaxIdle = 16;
std::mutex g_cache_mutex;
WorkerPool* g_idle[kMaxIdle] = {};  // never destroyed: fork leaves it as is

WorkerPool* borrow_pool(size_t workers) noexcept {
  {
    std::lock_guard<std::mutex> lk(g_cache_mutex);
    for (size_t i = kMaxIdle; i-- > 0;) {  // the most recently returned first
      if (g_idle[i] && g_idle[i]->workers() == workers) {
        WorkerPool* pool = g_idle[i];
        g_idle[i] = nullptr;
        return pool;
      }
    }
  }
  WorkerPool* pool = new (std::nothrow) WorkerPool(workers);
  if (pool) pool->start();
  return pool;
}

void return_pool(WorkerPool* pool, uint64_t generation) noexcept {
  // A pool borrowed before a fork has no threads in this process.
  if (generation != g_fork_generation.load()) return;
  // A pool that could not start all its threads is not kept: the memory its
  // threads hold is given back, and a later call tries again.
  if (pool->participants() < pool->workers() || pool->participants() <= 1) {
    delete pool;
    return;
  }
  {
    std::lock_guard<std::mutex> lk(g_cache_mutex);
    size_t same = 0;
    WorkerPool** free_slot = nullptr;
    for (WorkerPool*& slot : g_idle) {
      if (!slot) {
        if (!free_slot) free_slot = &slot;
      } else if (slot->workers() == pool->workers()) {
        ++same;
      }
    }
    if (same < kMaxIdlePerSize && free_slot) {
      *free_slot = pool;
      return;
    }
  }
  delete pool;
}

void before_fork() noexcept { g_cache_mutex.lock(); }
void after_fork_parent() noexcept { g_cache_mutex.unlock(); }
void after_fork_child() noexcept {
  // The pools' threads did not come along: forget them without joining (or
  // destroying their mutexes, which a vanished thread may hold).
  for (WorkerPool*& slot : g_idle) slot = nullptr;
  g_fork_generation.fetch_add(1);
  g_cache_mutex.unlock();
}

}  // namespace

// Both read /sys/devices/system/cpu/online (three system calls, some
// microseconds) each time they are asked, which would show on every call
// of a small image: the machine's processor count is read once.
size_t hardware_threads() noexcept {
  static const size_t hw = std::max<size_t>(std::thread::hardware_concurrency(), 1);
  return hw;
}

size_t default_worker_count() noexcept {
  static const size_t n = JxlThreadParallelRunnerDefaultNumWorkerThreads();
  return n;
}

size_t cap_worker_count(size_t requested) noexcept {
  return std::min(requested, std::max<size_t>(64, 4 * hardware_threads()));
}

uint64_t fork_generation() noexcept { return g_fork_generation.load(); }

int init_worker_pools() noexcept {
  static bool installed = false;
  if (installed) return 0;
  if (pthread_atfork(before_fork, after_fork_parent, after_fork_child) != 0) return -1;
  installed = true;
  return 0;
}

void drop_idle_pools() noexcept {
  WorkerPool* idle[kMaxIdle];
  {
    std::lock_guard<std::mutex> lk(g_cache_mutex);
    std::copy(std::begin(g_idle), std::end(g_idle), idle);
    std::fill(std::begin(g_idle), std::end(g_idle), nullptr);
  }
  for (WorkerPool* pool : idle) delete pool;
}

JxlParallelRetCode LazyRunner::run(void* runner_opaque, void* jpegxl_opaque,
                                   JxlParallelRunInit init, JxlParallelRunFunction func,
                                   uint32_t start_range, uint32_t end_range) noexcept {
  const auto* self = static_cast<const LazyRunner*>(runner_opaque);
  if (self->inline_only_ || self->workers_ <= 1 || end_range - start_range <= 1)
    return run_inline(jpegxl_opaque, init, func, start_range, end_range);
  const uint64_t generation = g_fork_generation.load();
  WorkerPool* pool = borrow_pool(self->workers_);
  if (!pool) {
    self->short_.store(true);
    return run_inline(jpegxl_opaque, init, func, start_range, end_range);
  }
  if (pool->participants() < pool->workers()) self->short_.store(true);
  const JxlParallelRetCode rc = pool->run(jpegxl_opaque, init, func, start_range, end_range);
  return_pool(pool, generation);
  return rc;
}

}  // namespace kp
