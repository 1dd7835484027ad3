// ThreadPool: the process-wide set of worker threads that a kernel call with
// more than one thread spreads its parts over.
//
// A call hands out parts [0, parts) one at a time to the calling thread and
// up to threads - 1 workers; each part runs exactly once, on one thread, so
// a kernel that computes every output inside one part gives the same bits
// whoever runs it. The pool starts on first use and only ever grows; its
// workers live until the process ends. A worker that finds no part spins
// briefly, then sleeps until it is handed the next call. A forked child
// starts a pool of its own at its first call. While one call uses the pool,
// a call from another thread runs all of its parts on its own thread.
#pragma once

#include <cstdint>

namespace qen {

// The count of threads a kernel may use for a requested count: the count
// itself, or for 0 every core this process may run on. A negative count
// throws std::invalid_argument.
unsigned resolve_thread_count(int requested);

// Runs task(context, part) for every part below `parts` and returns when all
// have finished. The task must not throw.
void run_parts(uint64_t parts, unsigned threads, void (*task)(const void* context, uint64_t part), const void* context);

// run_parts for a callable: task(part).
template <class Task>
void parallel_for(uint64_t parts, unsigned threads, const Task& task) {
  run_parts(
      parts, threads, [](const void* context, uint64_t part) { (*static_cast<const Task*>(context))(part); }, &task);
}

}  // namespace qen
