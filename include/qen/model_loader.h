// ModelLoader: opens one model file, maps it read-only as a whole and serves
// the graph, stored tensors and metadata straight out of the mapping.
//
// The open validates the header and that the graph block (header, tensor
// table, node table) lies inside the file; everything else is checked when it
// is asked for. Views returned by load_tensor borrow the mapping and are valid
// only while this loader lives. Nothing changes after construction.
#pragma once

#include <cstdint>
#include <string>

#include "qen/export.h"
#include "qen/file_handle.h"
#include "qen/model_format.h"
#include "qen/tensor_view.h"

namespace qen {

class QEN_EXPORT ModelLoader {
 public:
  // Opens, maps and validates the file; throws std::runtime_error on failure
  // and then holds nothing.
  explicit ModelLoader(const std::string& path);
  ~ModelLoader();
  ModelLoader(const ModelLoader&) = delete;
  ModelLoader& operator=(const ModelLoader&) = delete;

  // Address of the graph header in the mapping; the tensor table follows it.
  const uint8_t* graph_header() const { return graph; }
  // The graph header as validated at open. The file may be rewritten while it
  // is mapped, so every count and bound comes from this copy, never from the
  // mapping: the tables it describes are known to lie in the file.
  const GraphHeader& graph_info() const { return graph_copy; }
  // A copy of node record `index`; std::out_of_range "Invalid node index"
  // for an index outside the validated node table.
  NodeRecord node_record(uint32_t index) const;

  // A borrowing view over a stored tensor's elements in the mapping.
  // Throws std::out_of_range "Invalid tensor ID" and std::runtime_error.
  TensorView load_tensor(uint32_t id) const;

  // The metadata text, byte for byte; "{}" when there is none.
  std::string get_metadata() const;

 private:
  void release();

  std::string path;
  const uint8_t* base = nullptr;
  uint64_t file_size = 0;
  FileHeader header{};
  const uint8_t* graph = nullptr;
  const uint8_t* tensors = nullptr;
  const uint8_t* nodes = nullptr;  // the node table, after the tensor table
  GraphHeader graph_copy{};        // read once at open and validated
  platform::Handle file_handle = platform::kNoHandle;
  platform::Handle mapping_handle = platform::kNoHandle;
};

}  // namespace qen
