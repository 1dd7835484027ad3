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
  PyObject* result =
      npy_api::get().PyArray_FromAny_(item.ptr(), nullptr, 0, 0, npy_api::NPY_ARRAY_ENSUREARRAY_ | flags, nullptr);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::array>(result);
}

// The buffer description of an array, released when this goes out of scope.
class BufferRequest {
 public:
  explicit BufferRequest(py::handle array) {
    if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) throw py::error_already_set();
  }
  ~BufferRequest() { PyBuffer_Release(&view_); }
  BufferRequest(const BufferRequest&) = delete;
  BufferRequest& operator=(const BufferRequest&) = delete;
  const Py_buffer& operator*() const { return view_; }
  const Py_buffer* operator->() const { return &view_; }

 private:
  Py_buffer view_{};
};

// numpy describes a misaligned array's elements with an explicit "native
// order, standard size" prefix ("=f"); for float32 and int32 that is the same
// layout as "f" and "i", and such an array is copied aligned before use.
DType dtype_of_format(const char* format) {
  if (format != nullptr && format[0] == '=') ++format;
  if (format != nullptr && std::strcmp(format, "f") == 0) return DType::FP32;
  if (format != nullptr && std::strcmp(format, "i") == 0) return DType::INT32;
  throw std::runtime_error("Unsupported dtype");
}

// The releases that the outermost DeferredReleases on this thread keeps
// back; null while none is active.
thread_local std::vector<PyObject*>* deferred = nullptr;

// A reference to a Python object that a view keeps. Dropped at once with the
// interpreter lock taken, unless this thread defers releases.
std::shared_ptr<void> keep_alive(py::object object) {
  return std::shared_ptr<void>(object.release().ptr(), [](void* ptr) {
    auto* owner = static_cast<PyObject*>(ptr);
    if (deferred != nullptr) {
      try {
        deferred->push_back(owner);
        return;
      } catch (const std::bad_alloc&) {
        // No room to defer it: release it now.
      }
    }
    py::gil_scoped_acquire gil;
    Py_DECREF(owner);
  });
}

}  // namespace

DeferredReleases::DeferredReleases() {
  if (deferred != nullptr) return;  // an outer one covers this call too
  deferred = &objects_;
  outermost_ = true;
}

DeferredReleases::~DeferredReleases() {
  if (!outermost_) return;
  deferred = nullptr;
  // A release may run a finaliser, which may make and drop views of its own;
  // those are released at once, as deferral has ended.
  for (PyObject* owner : objects_) Py_DECREF(owner);
}

TensorHandle to_tensor_view(py::handle item) {
  py::array array =
      npy_api::get().PyArray_Check_(item.ptr()) ? py::reinterpret_borrow<py::array>(item) : as_array(item, 0);
  std::vector<uint32_t> shape;
  DType dtype;
  {
    BufferRequest buffer(array);
    dtype = dtype_of_format(buffer->format);
    // A narrowed extent would make the core compute on the wrong shape.
    // Checked before any copy, so a huge broadcast view is refused without one.
    for (int i = 0; i < buffer->ndim; ++i) {
      if (static_cast<uint64_t>(buffer->shape[i]) > UINT32_MAX)
        throw std::runtime_error("Input extent does not fit in 32 bits");
      shape.push_back(static_cast<uint32_t>(buffer->shape[i]));
    }
  }

  // The core reads elements densely from the first one, so any other layout
  // (transposed, strided, negative strides, misaligned) is copied first. The
  // copy keeps the element type, byte order included, and the shape.
  constexpr int kDense = npy_api::NPY_ARRAY_C_CONTIGUOUS_ | npy_api::NPY_ARRAY_ALIGNED_;
  if ((array.flags() & kDense) != kDense) array = as_array(array, kDense);

  // Read-only arrays are accepted: the core never writes an input.
  void* data = const_cast<void*>(array.data());
  return std::make_shared<TensorView>(data, std::move(shape), dtype, keep_alive(std::move(array)));
}

namespace {

py::dtype array_dtype(DType dtype) {
  switch (dtype) {
    case DType::FP32: return py::dtype::of<float>();
    case DType::INT32: return py::dtype::of<int32_t>();
    default: throw std::runtime_error("Unsupported dtype");
  }
}

// Below this many bytes a copy costs less than the base object.
constexpr uint64_t kAdoptBytes = 16 << 10;

// An array over the tensor's own buffer, whose base object holds the handle.
py::array adopt(TensorHandle tensor) {
  py::dtype dtype = array_dtype(tensor->dtype);
  std::vector<py::ssize_t> shape(tensor->shape.begin(), tensor->shape.end());
  void* data = tensor->data;
  py::capsule base(new TensorHandle(std::move(tensor)),
                   [](void* handle) { delete static_cast<TensorHandle*>(handle); });
  return py::array(dtype, shape, data, base);
}

}  // namespace

py::object to_array(TensorHandle tensor) {
  if (!tensor) return py::none();
  py::dtype dtype = array_dtype(tensor->dtype);
  std::vector<py::ssize_t> shape(tensor->shape.begin(), tensor->shape.end());
  py::array result(dtype, shape);
  const size_t bytes = std::min<uint64_t>(tensor->size_bytes, static_cast<uint64_t>(result.nbytes()));
  if (bytes != 0) std::memcpy(result.mutable_data(), tensor->data, bytes);
  return std::move(result);
}

py::list to_arrays(const std::vector<TensorHandle>& results) {
  py::list arrays;
  for (size_t i = 0; i < results.size(); ++i) {
    const TensorHandle& tensor = results[i];
    const bool own = tensor && tensor->owns_data && tensor->size_bytes >= kAdoptBytes &&
                     std::none_of(results.begin(), results.begin() + i,
                                  [&](const TensorHandle& earlier) { return earlier == tensor; });
    arrays.append(own ? adopt(tensor) : to_array(tensor));
  }
  return arrays;
}

}  // namespace qen::bindings
