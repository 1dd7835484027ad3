// The _qen_core extension module: two enumerations and three classes, each
// instance owning one core object. Exceptions from the core reach Python
// through pybind11's standard translation, messages unchanged.
#include <pybind11/pybind11.h>

#include <vector>

#include "array_conversion.h"
#include "engine.h"
#include "graph_executor.h"
#include "model_loader.h"

namespace py = pybind11;

namespace {

// Converts every item before the core is entered and every result after it
// returns; `call` is the core operation (Engine::run, GraphExecutor::execute).
template <typename Core, typename Call>
py::list run_on_arrays(Core& core, Call call, const py::list& inputs) {
  std::vector<qen::TensorHandle> tensors;
  tensors.reserve(inputs.size());
  for (py::handle item : inputs) tensors.push_back(qen::bindings::to_tensor_view(item));
  std::vector<qen::TensorHandle> results = (core.*call)(tensors);
  py::list arrays;
  for (qen::TensorHandle& result : results) arrays.append(qen::bindings::to_array(std::move(result)));
  return arrays;
}

}  // namespace

PYBIND11_MODULE(_qen_core, m) {
  m.doc() = "QEN Runtime Python Bindings";

  py::enum_<qen::Device>(m, "Device").value("CPU", qen::Device::CPU).value("CUDA", qen::Device::CUDA);

  py::enum_<qen::DType>(m, "DType")
      .value("FP32", qen::DType::FP32)
      .value("FP16", qen::DType::FP16)
      .value("INT8", qen::DType::INT8)
      .value("INT32", qen::DType::INT32);

  py::class_<qen::Engine>(m, "Engine")
      .def(py::init<qen::Device, int>(), py::arg("device") = qen::Device::CPU, py::kw_only(), py::arg("threads") = 1)
      .def("load_model", &qen::Engine::load_model)
      .def("run", [](qen::Engine& engine, const py::list& inputs) {
        return run_on_arrays(engine, &qen::Engine::run, inputs);
      })
      .def("peak_memory_usage", &qen::Engine::peak_memory_usage);

  py::class_<qen::GraphExecutor>(m, "GraphExecutor")
      .def(py::init<qen::Device>(), py::arg("device") = qen::Device::CPU)
      .def("load_model", &qen::GraphExecutor::load_model)
      .def("execute", [](qen::GraphExecutor& executor, const py::list& inputs) {
        return run_on_arrays(executor, &qen::GraphExecutor::execute, inputs);
      })
      .def("peak_memory", &qen::GraphExecutor::peak_memory);

  py::class_<qen::ModelLoader>(m, "ModelLoader")
      .def(py::init<const std::string&>())
      .def("get_metadata", &qen::ModelLoader::get_metadata);
}
