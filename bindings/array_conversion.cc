#include "array_conversion.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace py = pybind11;

namespace qen::bindings {
namespace {

using py::detail::npy_api;

// numpy's general conversion with no requested dtype; unlike
// py::array::ensure it keeps numpy's error instead of clearing it.
py::array as_array(py::handle item, int flags) {
  PyObject* result = npy_api::get().PyArray_FromAny_(item.ptr(), nullptr, 0, 0,
                                                     npy_api::NPY_ARRAY_ENSUREARRAY_ | flags, nullptr);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::array>(result);
}

// The buffer description of an array, released when this goes out of scope.
class BufferRequest {
 public:
  explicit BufferRequest(py::handle array) {
    if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0)
      throw py::error_already_set();
  }
  ~BufferRequest() { PyBuffer_Release(&view_); }
  BufferRequest(const BufferRequest&) = delete;
  BufferRequest& operator=(const BufferRequest&) = delete;
  const Py_buffer& operator*() const { return view_; }
  const Py_buffer* operator->() const { return &view_; }

 private:
  Py_buffer view_{};
};

DType dtype_of_format(const char* format) {
  if (format != nullptr && std::strcmp(format, "f") == 0) return DType::FP32;
  if (format != nullptr && std::strcmp(format, "i") == 0) return DType::INT32;
  throw std::runtime_error("Unsupported dtype");
}

// A reference to a Python object that a view keeps; dropped under the GIL.
std::shared_ptr<void> keep_alive(py::object object) {
  return std::shared_ptr<void>(object.release().ptr(), [](void* ptr) {
    py::gil_scoped_acquire gil;
    Py_DECREF(static_cast<PyObject*>(ptr));
  });
}

}  // namespace

TensorHandle to_tensor_view(py::handle item) {
  py::array array = npy_api::get().PyArray_Check_(item.ptr()) ? py::reinterpret_borrow<py::array>(item)
                                                              : as_array(item, 0);
  // A narrowed extent would make the core compute on the wrong shape. Checked
  // before any copy, so a huge broadcast view is refused without one.
  for (py::ssize_t i = 0; i < array.ndim(); ++i)
    if (static_cast<uint64_t>(array.shape(i)) > UINT32_MAX)
      throw std::runtime_error("Input extent does not fit in 32 bits");

  // The core reads elements densely from the first one, so any other layout
  // (transposed, strided, negative strides, misaligned) is copied first. The
  // copy keeps the element type, byte order included.
  constexpr int kDense = npy_api::NPY_ARRAY_C_CONTIGUOUS_ | npy_api::NPY_ARRAY_ALIGNED_;
  if ((array.flags() & kDense) != kDense) array = as_array(array, kDense);

  std::vector<uint32_t> shape;
  DType dtype;
  {
    BufferRequest buffer(array);
    dtype = dtype_of_format(buffer->format);
    shape.assign(buffer->shape, buffer->shape + buffer->ndim);
  }
  // Read-only arrays are accepted: the core never writes an input.
  void* data = const_cast<void*>(array.data());
  return std::make_shared<TensorView>(data, std::move(shape), dtype, keep_alive(std::move(array)));
}

py::object to_array(TensorHandle tensor) {
  if (!tensor) return py::none();
  py::dtype dtype;
  switch (tensor->dtype) {
    case DType::FP32: dtype = py::dtype::of<float>(); break;
    case DType::INT32: dtype = py::dtype::of<int32_t>(); break;
    default: throw std::runtime_error("Unsupported dtype");
  }
  std::vector<py::ssize_t> shape(tensor->shape.begin(), tensor->shape.end());
  py::array result(dtype, shape);
  const size_t bytes = std::min<uint64_t>(tensor->size_bytes, static_cast<uint64_t>(result.nbytes()));
  if (bytes != 0) std::memcpy(result.mutable_data(), tensor->data, bytes);
  return std::move(result);
}

}  // namespace qen::bindings
