#include "call_guard.h"

#include <pybind11/pybind11.h>

#include <stdexcept>

namespace py = pybind11;

namespace qen::bindings {

GuardedCall::GuardedCall(CallGuard& guard, const char* object, Reentry reentry) : guard_(guard) {
  if (!guard_.mutex.try_lock()) {
    // Only this thread sets `owner` to its own id, and only while it holds
    // the mutex, so seeing its id here means it is in the call itself.
    if (guard_.owner.load() == std::this_thread::get_id()) {
      if (reentry == Reentry::allowed) return;
      throw std::runtime_error(std::string(object) + " is already in a call on this thread; it cannot be re-entered");
    }
    py::gil_scoped_release unlocked;
    guard_.mutex.lock();
  }
  guard_.owner.store(std::this_thread::get_id());
  holds_ = true;
}

GuardedCall::~GuardedCall() {
  if (!holds_) return;
  guard_.owner.store(std::thread::id());
  guard_.mutex.unlock();
}

}  // namespace qen::bindings
