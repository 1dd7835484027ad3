// The _qen_core extension module: two enumerations and three classes, each
// instance owning one core object. Exceptions from the core reach Python
// through pybind11's standard translation, messages unchanged.
//
// run and execute convert their inputs and results with the interpreter lock
// held and release it while the core works. Each Engine and GraphExecutor
// takes its calls one at a time (call_guard.h), and every call defers the
// release of input arrays until it has let go of its object
// (array_conversion.h), so no Python code runs inside the core but for
// signal handlers between the nodes of a run, which stop it by raising.
#include <pybind11/pybind11.h>

#include <memory>
#include <type_traits>
#include <vector>

#include "array_conversion.h"
#include "call_guard.h"
#include "graph_executor.h"
#include "model_path.h"
#include "qen/engine.h"
#include "qen/model_loader.h"

namespace py = pybind11;

namespace {

using qen::bindings::CallGuard;
using qen::bindings::DeferredReleases;
using qen::bindings::GuardedCall;
using qen::bindings::ModelPath;

// A core object and the guard that keeps its calls apart; the Python
// Engine and GraphExecutor each own one.
template <typename Core>
struct Guarded {
  // The core's constructor arguments: a Device, and for an Engine its thread count.
  template <typename... Args>
  explicit Guarded(Args... args) : core(args...) {}
  Core core;
  CallGuard guard;
};

// The name a guarded class has in messages.
template <typename Core>
constexpr const char* kClassName = std::is_same_v<Core, qen::Engine> ? "Engine" : "GraphExecutor";

template <typename Core>
void load_model(Guarded<Core>& object, const ModelPath& path) {
  DeferredReleases released;  // the previous model's inputs, dropped after the call
  GuardedCall call(object.guard, kClassName<Core>);
  object.core.load_model(path.bytes);
}

// Converts every item before the core is entered and every result after it
// returns; `work(core, tensors, stop_requested)` is the core operation.
// Declared before the guard, the items and handles are dropped after it.
template <typename Core, typename Work>
py::list run_on_arrays(Guarded<Core>& object, Work work, const py::list& inputs) {
  DeferredReleases released;
  py::tuple items;
  std::vector<qen::TensorHandle> tensors, results;
  py::list arrays;
  {
    GuardedCall call(object.guard, kClassName<Core>);
    // A tuple holds every item, so an __array__ method that changes the list
    // cannot free an item while it is converted.
    items = py::reinterpret_steal<py::tuple>(PyList_AsTuple(inputs.ptr()));
    if (!items) throw py::error_already_set();
    tensors.reserve(items.size());
    for (py::handle item : items) tensors.push_back(qen::bindings::to_tensor_view(item));
    try {
      GuardedCall::Unlocked unlocked(call);
      results = work(object.core, tensors, [&unlocked] { return unlocked.signal_raised(); });
    } catch (const qen::RunStopped&) {
      throw py::error_already_set();  // what the signal handler raised
    }
    arrays = qen::bindings::to_arrays(results);
  }
  return arrays;
}

// A peak-memory accessor: it waits for another thread's call, and from
// within a call on the same thread it reads what the outer call left.
template <typename Core, typename Read>
uint64_t read_peak(Guarded<Core>& object, Read read) {
  GuardedCall call(object.guard, kClassName<Core>, GuardedCall::Reentry::allowed);
  return (object.core.*read)();
}

}  // namespace

PYBIND11_MODULE(_qen_core, m) {
  m.doc() = "QEN Runtime Python Bindings";
  qen::bindings::watch_process();

  py::enum_<qen::Device>(m, "Device").value("CPU", qen::Device::CPU).value("CUDA", qen::Device::CUDA);

  py::enum_<qen::DType>(m, "DType")
      .value("FP32", qen::DType::FP32)
      .value("FP16", qen::DType::FP16)
      .value("INT8", qen::DType::INT8)
      .value("INT32", qen::DType::INT32);

  using Engine = Guarded<qen::Engine>;
  py::class_<Engine>(m, "Engine")
      .def(py::init<qen::Device, int>(), py::arg("device") = qen::Device::CPU, py::kw_only(), py::arg("threads") = 1)
      .def("load_model", &load_model<qen::Engine>)
      .def("run",
           [](Engine& engine, const py::list& inputs) {
             return run_on_arrays(
                 engine,
                 [](qen::Engine& core, const auto& tensors, const auto& stop) { return core.run(tensors, stop); },
                 inputs);
           })
      .def("peak_memory_usage", [](Engine& engine) { return read_peak(engine, &qen::Engine::peak_memory_usage); });

  using GraphExecutor = Guarded<qen::GraphExecutor>;
  py::class_<GraphExecutor>(m, "GraphExecutor")
      .def(py::init<qen::Device>(), py::arg("device") = qen::Device::CPU)
      .def("load_model", &load_model<qen::GraphExecutor>)
      .def("execute",
           [](GraphExecutor& executor, const py::list& inputs) {
             return run_on_arrays(
                 executor,
                 [](qen::GraphExecutor& core, const auto& tensors, const auto&) { return core.execute(tensors); },
                 inputs);
           })
      .def("peak_memory",
           [](GraphExecutor& executor) { return read_peak(executor, &qen::GraphExecutor::peak_memory); });

  py::class_<qen::ModelLoader>(m, "ModelLoader")
      .def(py::init([](const ModelPath& path) { return std::make_unique<qen::ModelLoader>(path.bytes); }))
      .def("get_metadata", &qen::ModelLoader::get_metadata);
}
