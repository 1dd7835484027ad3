// Conversion between numpy arrays and tensor handles.
//
// An input is never copied when it is a C-contiguous, aligned float32 or
// int32 array: its view borrows the array's memory and holds a reference to
// the array, so the memory lives as long as any handle to the view (the
// engine and the executor keep input handles between calls). Any other
// layout is first copied into a C-contiguous array, which the view then
// holds instead. An output is always copied into a new array.
#pragma once

#include <pybind11/pybind11.h>

#include "tensor_view.h"

namespace qen::bindings {

// Throws std::runtime_error "Unsupported dtype" for anything but float32 and
// int32 in native byte order, and for an extent that does not fit in 32 bits;
// numpy's own errors propagate as pybind11::error_already_set.
TensorHandle to_tensor_view(pybind11::handle item);

// A new C-ordered array holding a copy of the tensor; None for an empty
// handle. Throws "Unsupported dtype" for FP16 and INT8.
pybind11::object to_array(TensorHandle tensor);

}  // namespace qen::bindings
