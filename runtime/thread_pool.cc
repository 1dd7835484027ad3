#include "thread_pool.h"

#if defined(__linux__)
#include <sched.h>
#endif
#if defined(__unix__)
#include <pthread.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace qen {
namespace {

using Clock = std::chrono::steady_clock;

// How long an idle worker, and a caller waiting for its workers, spin
// before they sleep or yield: long enough to bridge the gap between the
// kernels of one run and between back-to-back runs, short enough that an
// idle pool costs no measurable CPU.
constexpr auto kSpin = std::chrono::microseconds(200);
// Workers beyond this many are not started; their share runs on the others.
constexpr unsigned kMaxWorkers = 255;

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// One call's parts. It lives on the caller's stack; only the workers that
// took it touch it, and the caller returns only after all have let go.
struct Job {
  void (*task)(const void*, uint64_t);
  const void* context;
  uint64_t parts;
  std::atomic<uint64_t> next{0};
  std::atomic<unsigned> pending{0};  // workers still holding the job

  void work() {
    for (uint64_t part; (part = next.fetch_add(1, std::memory_order_relaxed)) < parts;) task(context, part);
  }
};

// One worker's mailbox: the job posted to it, and how to wake it. The
// worker takes a job out of the slot before it works on it; a job still in
// the slot when the caller has run out of parts is taken back by the caller,
// so a worker that has not been scheduled in time costs the call nothing.
struct alignas(64) Slot {
  // Whether the worker spins before it sleeps: only while the workers and
  // the caller fit on the cores, where spinning takes no core from them.
  bool spins = true;
  std::atomic<Job*> job{nullptr};
  std::atomic<bool> sleeping{false};
  std::mutex mutex;
  std::condition_variable wake;

  // The worker publishes `sleeping` before its last look at `job`, the poster
  // `job` before its look at `sleeping` (all sequentially consistent), so at
  // least one of them sees the other's store: no wake-up is lost.
  void post(Job* posted) {
    job.store(posted);
    if (sleeping.load()) {
      std::lock_guard<std::mutex> lock(mutex);
      wake.notify_one();
    }
  }

  // True when the job was still waiting here, and so is no worker's.
  bool take_back(Job* posted) { return job.compare_exchange_strong(posted, nullptr); }

  Job* wait() {
    const Clock::time_point until = Clock::now() + (spins ? kSpin : Clock::duration::zero());
    for (unsigned i = 1;; ++i) {
      if (job.load(std::memory_order_relaxed) != nullptr)
        if (Job* posted = job.exchange(nullptr)) return posted;
      if (i % 64 == 0 && Clock::now() > until) break;
      cpu_relax();
    }
    std::unique_lock<std::mutex> lock(mutex);
    sleeping.store(true);
    Job* posted;
    while ((posted = job.exchange(nullptr)) == nullptr) wake.wait(lock);
    sleeping.store(false, std::memory_order_relaxed);
    return posted;
  }
};

[[noreturn]] void worker_main(Slot* slot) {
  for (;;) {
    Job* job = slot->wait();
    job->work();
    job->pending.fetch_sub(1, std::memory_order_release);
  }
}

class ThreadPool {
 public:
  // Claims the pool for one call; false while another thread holds it.
  bool try_claim() { return !busy.exchange(true, std::memory_order_acquire); }
  void release() { busy.store(false, std::memory_order_release); }

  // Only the claiming thread calls this.
  void run(Job& job, unsigned helpers) {
    helpers = start_workers(helpers);
    job.pending.store(helpers, std::memory_order_relaxed);
    for (unsigned i = 0; i < helpers; ++i) slots[i]->post(&job);
    job.work();
    for (unsigned i = 0; i < helpers; ++i)
      if (slots[i]->take_back(&job)) job.pending.fetch_sub(1, std::memory_order_relaxed);
    const Clock::time_point until = Clock::now() + kSpin;
    for (unsigned i = 1; job.pending.load(std::memory_order_acquire) != 0; ++i) {
      if (i % 64 == 0 && Clock::now() > until)
        std::this_thread::yield();
      else
        cpu_relax();
    }
  }

 private:
  // Starts workers until `wanted` exist and returns how many do: fewer when
  // the system refuses a thread. The slots are never freed.
  unsigned start_workers(unsigned wanted) {
    if (wanted > kMaxWorkers) wanted = kMaxWorkers;
    while (slots.size() < wanted) {
      auto slot = std::make_unique<Slot>();
      slot->spins = slots.size() + 1 < cores;
      try {
        std::thread(worker_main, slot.get()).detach();
      } catch (const std::system_error&) {
        break;
      }
      slots.push_back(std::move(slot));
    }
    return static_cast<unsigned>(slots.size() < wanted ? slots.size() : wanted);
  }

  std::atomic<bool> busy{false};
  const unsigned cores = resolve_thread_count(0);
  std::vector<std::unique_ptr<Slot>> slots;
};

// The pool of this process. A forked child holds none of the parent's
// workers, so it drops the copied pool (without destroying it: its locks may
// have been held by threads that do not exist here) and starts a new one.
std::atomic<ThreadPool*> process_pool{nullptr};

#if defined(__unix__)
void forget_pool_in_child() { process_pool.store(nullptr, std::memory_order_relaxed); }
#endif

ThreadPool* shared_pool() {
  ThreadPool* pool = process_pool.load(std::memory_order_acquire);
  if (pool != nullptr) return pool;
#if defined(__unix__)
  static std::atomic<bool> fork_handler_installed{false};
  if (!fork_handler_installed.exchange(true)) pthread_atfork(nullptr, nullptr, forget_pool_in_child);
#endif
  auto fresh = std::make_unique<ThreadPool>();
  if (process_pool.compare_exchange_strong(pool, fresh.get(), std::memory_order_acq_rel)) return fresh.release();
  return pool;
}

}  // namespace

unsigned resolve_thread_count(int requested) {
  if (requested < 0) throw std::invalid_argument("threads must be 0 (every available core) or a positive count");
  if (requested > 0) return static_cast<unsigned>(requested);
#if defined(__linux__)
  // The cores this process may run on, which a CPU mask or container limits.
  cpu_set_t cores;
  CPU_ZERO(&cores);
  if (sched_getaffinity(0, sizeof cores, &cores) == 0 && CPU_COUNT(&cores) > 0)
    return static_cast<unsigned>(CPU_COUNT(&cores));
#endif
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

void run_parts(uint64_t parts, unsigned threads, void (*task)(const void*, uint64_t), const void* context) {
  ThreadPool* pool = threads > 1 && parts > 1 ? shared_pool() : nullptr;
  if (pool == nullptr || !pool->try_claim()) {
    for (uint64_t part = 0; part < parts; ++part) task(context, part);
    return;
  }
  Job job{task, context, parts};
  const uint64_t helpers = parts - 1 < threads - 1 ? parts - 1 : threads - 1;
  pool->run(job, static_cast<unsigned>(helpers));
  pool->release();
}

}  // namespace qen
