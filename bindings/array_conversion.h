// Conversion between numpy arrays and tensor handles.
//
// An input is never copied when it is a C-contiguous, aligned float32 or
// int32 array: its view borrows the array's memory and holds a reference to
// the array, so the memory lives as long as any handle to the view (the
// engine and the executor keep input handles between calls). Any other
// layout is first copied into a C-contiguous array, which the view then
// holds instead. An output is copied into a new array, unless it is large
// and in a buffer the core allocated for it (see to_arrays).
//
// The array a view holds is released with the interpreter lock held, and
// never inside a call: while a DeferredReleases lives on a thread, the
// arrays whose last handle is dropped on that thread (by the core, which may
// run without the lock) wait until the outermost one ends.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "qen/tensor_view.h"

namespace qen::bindings {

// Made with the interpreter lock held, and destroyed with it held, after the
// call it covers has let go of its core object: finalisers that the
// releases run may then use that object again.
class DeferredReleases {
 public:
  DeferredReleases();
  ~DeferredReleases();
  DeferredReleases(const DeferredReleases&) = delete;
  DeferredReleases& operator=(const DeferredReleases&) = delete;

 private:
  std::vector<PyObject*> objects_;
  bool outermost_ = false;
};

// Throws std::runtime_error "Unsupported dtype" for anything but float32 and
// int32 in native byte order (checked first), and "Input extent does not fit
// in 32 bits"; numpy's own errors propagate as pybind11::error_already_set.
TensorHandle to_tensor_view(pybind11::handle item);

// A new C-ordered array holding a copy of the tensor; None for an empty
// handle. Throws "Unsupported dtype" for FP16 and INT8.
pybind11::object to_array(TensorHandle tensor);

// The arrays of one call's results, in order, each as to_array makes it, but
// for a large result in a buffer of its own (an owning view, which a node
// filled during this call), which no earlier result of the list shares: its
// array takes that buffer without a copy, and holds the handle as its base
// object. The core never writes an owning buffer again once its node has
// run (a later run allocates new ones), and the array keeps it alive, so
// the array stays independent of later calls. Borrowed memory (inputs, the
// model file) is always copied.
pybind11::list to_arrays(const std::vector<TensorHandle>& results);

}  // namespace qen::bindings
