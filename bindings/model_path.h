// The path argument of ModelLoader and of both load_model methods: a str
// (passed on as its UTF-8 bytes), bytes or bytearray (byte for byte), or an
// os.PathLike, whose os.fspath() result is taken as the file system encodes
// it. Anything else is not a path, and pybind11 raises its TypeError.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace qen::bindings {

struct ModelPath {
  std::string bytes;
};

}  // namespace qen::bindings

namespace pybind11::detail {

template <>
struct type_caster<qen::bindings::ModelPath> {
  PYBIND11_TYPE_CASTER(qen::bindings::ModelPath, const_name("str | bytes | os.PathLike"));

  bool load(handle source, bool convert) {
    object text = reinterpret_borrow<object>(source);
    if (!PyUnicode_Check(source.ptr()) && !PyBytes_Check(source.ptr()) && !PyByteArray_Check(source.ptr())) {
      if (!hasattr(source, "__fspath__")) return false;
      text = reinterpret_steal<object>(PyOS_FSPath(source.ptr()));
      if (text && PyUnicode_Check(text.ptr())) text = reinterpret_steal<object>(PyUnicode_EncodeFSDefault(text.ptr()));
      if (!text) {
        PyErr_Clear();
        return false;
      }
    }
    make_caster<std::string> bytes;
    if (!bytes.load(text, convert)) return false;
    value.bytes = cast_op<std::string&&>(std::move(bytes));
    return true;
  }
};

}  // namespace pybind11::detail
