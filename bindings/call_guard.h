// One call at a time on an Engine or GraphExecutor.
//
// run and execute work on their core object without the interpreter lock, so
// the lock no longer keeps two calls apart. A CallGuard does: a call from
// another thread waits for the one in progress, with the interpreter lock
// released so that the call in progress can take it back; a call from the
// thread that is already in a call on the same object (an __array__ method
// or a finaliser re-entering it) raises RuntimeError, since waiting would
// never end and going on would change the object under the outer call.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace qen::bindings {

class CallGuard {
 private:
  friend class GuardedCall;
  std::mutex mutex;
  std::atomic<std::thread::id> owner{};  // the thread holding `mutex`, if any
};

class GuardedCall {
 public:
  // Whether a call from the thread already in a call may go on (a read that
  // cannot disturb the outer call) or is refused.
  enum class Reentry { refused, allowed };

  // `object` names the class in the error message. Called with the
  // interpreter lock held.
  GuardedCall(CallGuard& guard, const char* object, Reentry reentry = Reentry::refused);
  ~GuardedCall();
  GuardedCall(const GuardedCall&) = delete;
  GuardedCall& operator=(const GuardedCall&) = delete;

 private:
  CallGuard& guard_;
  bool holds_ = false;
};

}  // namespace qen::bindings
