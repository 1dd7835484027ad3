// Fuzzes ModelLoader with arbitrary file bytes: open, metadata, every node
// record, and every tensor ID up to num_tensors (one past the last, to reach
// the ID check), capped so that one input cannot take unbounded time.
//
// Beyond the sanitizers, each result is checked against the input bytes: a
// view or a metadata text must lie inside the file, and each view's bytes are
// read in full so that AddressSanitizer sees any read past the mapping.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "model_file.h"
#include "qen/model_format.h"
#include "qen/model_loader.h"

namespace {

constexpr uint32_t kMaxIds = 4096;

using qen::fuzzing::require;

// Reads every byte of [at, at + count), which must lie inside the file.
void read_inside(const uint8_t* at, uint64_t count, const uint8_t* base, size_t file_size) {
  const auto start = reinterpret_cast<uintptr_t>(at), begin = reinterpret_cast<uintptr_t>(base);
  require(start >= begin && start - begin <= file_size && count <= file_size - (start - begin),
          "a result lies outside the file");
  qen::fuzzing::read_all(at, count);
}

void exercise(const qen::ModelLoader& loader, const uint8_t* data, size_t size) {
  const auto header = qen::read_record<qen::FileHeader>(data);
  const uint8_t* base = loader.graph_header() - header.graph_offset;
  const qen::GraphHeader graph = loader.graph_info();

  try {
    const std::string metadata = loader.get_metadata();
    if (header.metadata_size != 0) {
      read_inside(base + header.metadata_offset, header.metadata_size, base, size);
      const std::string_view bytes(reinterpret_cast<const char*>(data + header.metadata_offset), header.metadata_size);
      require(metadata == bytes, "the metadata differs from the file's bytes");
    }
  } catch (const std::exception& e) {
    qen::fuzzing::expect_model_error(e, size);
  }

  for (uint32_t i = 0; i < std::min(graph.num_nodes, kMaxIds); ++i)
    qen::fuzzing::read_sink = loader.node_record(i).op_type & 0xFF;

  const uint32_t last_id = std::min(graph.num_tensors, kMaxIds);
  for (uint32_t id = 0; id <= last_id; ++id) {
    try {
      const qen::TensorView view = loader.load_tensor(id);
      read_inside(static_cast<const uint8_t*>(view.data), view.size_bytes, base, size);
    } catch (const std::exception& e) {
      qen::fuzzing::expect_model_error(e, size);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qen::fuzzing::MemoryFile file;
  file.assign(data, size);
  try {
    const qen::ModelLoader loader(file.path());
    exercise(loader, data, size);
  } catch (const std::exception& e) {
    qen::fuzzing::expect_model_error(e, size);
  }
  return 0;
}
