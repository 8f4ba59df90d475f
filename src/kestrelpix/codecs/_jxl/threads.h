// Worker threads for libjxl.
//
// libjxl is handed a runner when a decoder or encoder is made, but most of
// what it runs on it has nothing to share out: a small image is one group,
// and a header-only reader decodes no pixels at all. So every reader and
// writer gets a LazyRunner, which costs nothing until libjxl asks it to run
// more than one task on an image large enough to pay for threads; only then
// does it borrow a pool of worker threads, for that one call, from a
// process-wide cache. Pools are thus made once per worker count and reused,
// and never serve two callers at once.
//
// The pools are our own rather than libjxl's thread runner because that
// runner cannot survive a failure to start a thread (its constructor then
// destroys running std::threads, which ends the process): a pool here starts
// what threads it can and works with those, down to the calling thread alone.
//
// Everything here runs without the interpreter lock and touches no Python
// object.
#pragma once

#include <jxl/parallel_runner.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kp {

// The most worker threads one pool will have, whatever was asked for.
size_t cap_worker_count(size_t requested) noexcept;
// libjxl's default worker count (JxlThreadParallelRunnerDefaultNumWorkerThreads),
// read once.
size_t default_worker_count() noexcept;

// Counts the fork() calls this process descends from; a native object made
// under another count belongs to the parent and must not be used.
uint64_t fork_generation() noexcept;

// Installs the fork handlers and the exit clean-up; called once at start-up.
// Returns 0, or -1 when the fork handlers could not be installed.
int init_worker_pools() noexcept;

// Destroys every idle pool (their threads are joined).
void drop_idle_pools() noexcept;

class LazyRunner {
 public:
  LazyRunner() = default;
  LazyRunner(const LazyRunner&) = delete;
  LazyRunner& operator=(const LazyRunner&) = delete;

  // How many threads may work on one call (the caller's included); 1 or 0:
  // everything runs on the calling thread.
  void set_workers(size_t workers) noexcept { workers_ = cap_worker_count(workers); }
  size_t workers() const noexcept { return workers_; }
  // Run everything on the calling thread: the image is too small for
  // threads to pay.
  void set_inline_only(bool value) noexcept { inline_only_ = value; }
  bool threaded() const noexcept { return workers_ > 1; }

  // Whether a pool lent to this runner could not start all its threads (no
  // memory for their stacks): a libjxl failure that follows is most likely
  // memory running out too.
  bool short_of_threads() const noexcept { return short_.load(); }

  // libjxl's JxlParallelRunner; `runner_opaque` is the LazyRunner.
  static JxlParallelRetCode run(void* runner_opaque, void* jpegxl_opaque,
                                JxlParallelRunInit init, JxlParallelRunFunction func,
                                uint32_t start_range, uint32_t end_range) noexcept;

 private:
  size_t workers_ = 1;
  bool inline_only_ = false;
  mutable std::atomic<bool> short_{false};
};

// Whether a frame of this size fits in one group whatever group size the
// stream chose (128 pixels square at the least), so that threads have
// nothing to share out.
inline bool fits_one_group(uint64_t xsize, uint64_t ysize) noexcept {
  return xsize <= 128 && ysize <= 128;
}

}  // namespace kp
