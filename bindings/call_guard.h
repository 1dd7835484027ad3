// One call at a time on an Engine or GraphExecutor, and the interpreter lock
// around the core work of a call.
//
// run and execute work on their core object without the interpreter lock, so
// the lock no longer keeps two calls apart. A CallGuard does: a call from
// another thread waits for the one in progress, with the interpreter lock
// released so that the call in progress can take it back; a call from the
// thread that is already in a call on the same object (an __array__ method
// or a finaliser re-entering it) raises RuntimeError, since waiting would
// never end and going on would change the object under the outer call.
//
// The edges of a process's life:
// - Signals: a waiting call takes the interpreter lock back every 100 ms to
//   let Python run its signal handlers, and raises what a handler raises
//   without having touched the object; a run on the main thread does the
//   same between nodes (Unlocked::signal_raised).
// - Fork: a guard is one atomic word naming the thread in the call, so a
//   forked child sees at once that a thread which does not exist there was
//   in a call, and refuses calls on that object instead of waiting for ever.
//   Idle objects keep working in the child.
// - Exit: an exiting interpreter ends any other thread that asks for the
//   lock back, with pthread_exit, whose unwinding pybind11's frames do not
//   survive. Such a thread lets go of its guard and stays parked instead;
//   daemon threads are never joined, so the process ends without it.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace qen::bindings {

// Learns the main thread and watches for forks. Called once, at import,
// with the interpreter lock held.
void watch_process();

class CallGuard {
 private:
  friend class GuardedCall;
  std::atomic<uint64_t> holder{0};   // the token of the thread in the call; 0: none
  std::atomic<unsigned> waiting{0};  // threads waiting for the call to end
};

class GuardedCall {
 public:
  // Whether a call from the thread already in a call may go on (a read that
  // cannot disturb the outer call) or is refused.
  enum class Reentry { refused, allowed };

  // `object` names the class in the error messages. Called with the
  // interpreter lock held.
  GuardedCall(CallGuard& guard, const char* object, Reentry reentry = Reentry::refused);
  ~GuardedCall();
  GuardedCall(const GuardedCall&) = delete;
  GuardedCall& operator=(const GuardedCall&) = delete;

  // Releases the interpreter lock for its lifetime: made and destroyed with
  // the lock held, inside the call.
  class Unlocked {
   public:
    explicit Unlocked(GuardedCall& call);
    ~Unlocked();
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

    // A stop request for a core run: on the main thread, at most every
    // 50 ms, takes the lock back to run Python's signal handlers. True when
    // a handler raised; its exception is then pending.
    bool signal_raised();

   private:
    GuardedCall& call_;
    const bool main_thread_;
    std::chrono::steady_clock::time_point next_check_{};
    PyThreadState* state_;
  };

 private:
  // Waits, without the interpreter lock, until the call in progress ends.
  void wait(const char* object, uint64_t token);
  void leave();
  // Takes the interpreter lock back, or parks this thread for good when the
  // interpreter is exiting.
  void take_back(PyThreadState* state);

  CallGuard& guard_;
  bool holds_ = false;
};

}  // namespace qen::bindings
