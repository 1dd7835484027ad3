#include "call_guard.h"

#if defined(__unix__)
#include <pthread.h>
#endif

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace py = pybind11;

namespace qen::bindings {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kWaitingSignalCheck = std::chrono::milliseconds(100);
constexpr auto kRunningSignalCheck = std::chrono::milliseconds(50);

// Every thread that makes a call gets a token of its own, never reused.
std::atomic<uint64_t> next_token{1};

uint64_t this_thread_token() {
  thread_local const uint64_t token = next_token.fetch_add(1);
  return token;
}

// In a forked child: the first token of its own threads, and the token of
// the one thread of the parent that exists here, the one that forked.
std::atomic<uint64_t> first_child_token{0};
std::atomic<uint64_t> forking_token{0};

// The thread on which Python runs signal handlers.
std::atomic<unsigned long> main_thread{0};

// Waiting calls sleep on one lock and condition for the process. The lock is
// held only for moments, and is taken around a fork, so that a child never
// finds it held by a thread that it does not have.
struct Waiters {
  std::mutex mutex;
  std::condition_variable released;
};
Waiters* waiters = new Waiters;

#if defined(__unix__)
void before_fork() { waiters->mutex.lock(); }
void after_fork_in_parent() { waiters->mutex.unlock(); }
// The child starts a new lock and condition (the old ones stay as they are:
// the condition may count waiters that do not exist here).
void after_fork_in_child() {
  waiters = new Waiters;
  forking_token.store(this_thread_token());
  first_child_token.store(next_token.load());
  main_thread.store(PyThread_get_thread_ident());
}
#endif

}  // namespace

void watch_process() {
  main_thread.store(py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>());
#if defined(__unix__)
  static const bool watching = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
  (void)watching;
#endif
}

GuardedCall::GuardedCall(CallGuard& guard, const char* object, Reentry reentry) : guard_(guard) {
  const uint64_t token = this_thread_token();
  uint64_t holder = 0;
  if (!guard_.holder.compare_exchange_strong(holder, token)) {
    if (holder == token) {
      if (reentry == Reentry::allowed) return;
      throw std::runtime_error(std::string(object) + " is already in a call on this thread; it cannot be re-entered");
    }
    wait(object, token);
  }
  holds_ = true;
}

GuardedCall::~GuardedCall() {
  if (holds_) leave();
}

void GuardedCall::wait(const char* object, uint64_t token) {
  for (;;) {
    // Checked again after every signal check: a signal handler may fork.
    const uint64_t holder = guard_.holder.load();
    if (holder != 0 && holder < first_child_token.load() && holder != forking_token.load())
      throw std::runtime_error(std::string(object) +
                               " was in use by another thread when the process forked; create a new " + object +
                               " in the child");
    PyThreadState* state = PyEval_SaveThread();
    guard_.waiting.fetch_add(1);
    {
      Waiters& w = *waiters;
      std::unique_lock<std::mutex> lock(w.mutex);
      holds_ = w.released.wait_for(lock, kWaitingSignalCheck, [&] {
        uint64_t free = 0;
        return guard_.holder.compare_exchange_strong(free, token);
      });
    }
    guard_.waiting.fetch_sub(1);
    take_back(state);
    if (holds_) return;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

// The releasing store comes before the look at `waiting`, and a waiter's
// count before its look at `holder` (all sequentially consistent), so a
// waiter either finds the guard free or is woken.
void GuardedCall::leave() {
  guard_.holder.store(0);
  holds_ = false;
  if (guard_.waiting.load() != 0) {
    Waiters& w = *waiters;
    std::lock_guard<std::mutex> lock(w.mutex);
    w.released.notify_all();
  }
}

void GuardedCall::take_back(PyThreadState* state) {
#if defined(__GLIBCXX__) || defined(_LIBCPP_VERSION)
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    // The interpreter is exiting and has ended this thread by glibc's
    // forced unwind (abi::__forced_unwind to libstdc++, a foreign exception
    // to libc++; PyEval_RestoreThread throws nothing else). Returning from
    // here would abort the process; the thread stays instead, and leaves
    // the object to whoever still runs.
    if (holds_) leave();
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
#else
  PyEval_RestoreThread(state);
#endif
}

GuardedCall::Unlocked::Unlocked(GuardedCall& call)
    : call_(call), main_thread_(PyThread_get_thread_ident() == main_thread.load()), state_(PyEval_SaveThread()) {}

GuardedCall::Unlocked::~Unlocked() { call_.take_back(state_); }

bool GuardedCall::Unlocked::signal_raised() {
  if (!main_thread_) return false;
  const Clock::time_point now = Clock::now();
  if (next_check_ == Clock::time_point()) next_check_ = now + kRunningSignalCheck;  // the first ask
  if (now < next_check_) return false;
  call_.take_back(state_);
  const bool raised = PyErr_CheckSignals() != 0;
  state_ = PyEval_SaveThread();
  next_check_ = Clock::now() + kRunningSignalCheck;
  return raised;
}

}  // namespace qen::bindings
