// Builds model files in memory for the tests, well formed or deliberately
// broken: bytes() lays out header | metadata | graph block | weights, and the
// tests patch or truncate the result to break it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qen/model_format.h"

namespace qen::testing {

class ModelBuilder {
 public:
  uint32_t add_placeholder(std::vector<uint32_t> dims, uint8_t dtype = 0) { return add_record(dims, dtype, 0, 0); }

  template <typename T>
  uint32_t add_stored(std::vector<uint32_t> dims, const std::vector<T>& values, uint8_t dtype = 0) {
    const uint64_t offset = weights.size();
    const uint64_t size = values.size() * sizeof(T);
    weights.resize(offset + size);
    std::memcpy(weights.data() + offset, values.data(), size);
    return add_record(dims, dtype, offset, size);
  }

  void add_node(uint16_t op, uint32_t input, uint32_t output, uint32_t weight = 0, uint32_t bias = 0) {
    NodeRecord node{};
    node.op_type = op;
    node.num_inputs = 1;
    node.num_outputs = 1;
    node.input_ids[0] = input;
    node.output_ids[0] = output;
    node.weight_id = weight;
    node.bias_id = bias;
    nodes.push_back(node);
  }

  // A node naming several tensors on each side; counts above 16 are kept as
  // given (only the first 16 IDs are stored) so that tests can break them.
  void add_wired_node(const std::vector<uint32_t>& inputs, const std::vector<uint32_t>& outputs) {
    NodeRecord node{};
    node.num_inputs = static_cast<uint16_t>(inputs.size());
    node.num_outputs = static_cast<uint16_t>(outputs.size());
    std::copy_n(inputs.begin(), std::min<size_t>(inputs.size(), kMaxGraphIds), node.input_ids);
    std::copy_n(outputs.begin(), std::min<size_t>(outputs.size(), kMaxGraphIds), node.output_ids);
    nodes.push_back(node);
  }

  void set_io(const std::vector<uint32_t>& inputs, const std::vector<uint32_t>& outputs) {
    graph.num_inputs = static_cast<uint32_t>(inputs.size());
    graph.num_outputs = static_cast<uint32_t>(outputs.size());
    for (size_t i = 0; i < inputs.size() && i < kMaxGraphIds; ++i) graph.input_ids[i] = inputs[i];
    for (size_t i = 0; i < outputs.size() && i < kMaxGraphIds; ++i) graph.output_ids[i] = outputs[i];
  }

  // File offsets of the regions in the last bytes() result.
  uint64_t graph_offset() const { return sizeof(FileHeader) + metadata.size(); }
  uint64_t weights_offset() const {
    return graph_offset() +
           node_record_offset(static_cast<uint32_t>(tensors.size()), static_cast<uint32_t>(nodes.size()));
  }

  std::vector<uint8_t> bytes() const {
    FileHeader header{};
    header.magic = kModelMagic;
    header.version = kModelVersion;
    header.metadata_offset = sizeof(FileHeader);
    header.metadata_size = metadata.size();
    header.graph_offset = graph_offset();
    header.graph_size = weights_offset() - graph_offset();
    header.weights_offset = weights_offset();
    GraphHeader g = graph;
    g.num_nodes = static_cast<uint32_t>(nodes.size());
    g.num_tensors = static_cast<uint32_t>(tensors.size());

    std::vector<uint8_t> out;
    append(out, &header, sizeof header);
    append(out, metadata.data(), metadata.size());
    append(out, &g, sizeof g);
    append(out, tensors.data(), tensors.size() * sizeof(TensorRecord));
    append(out, nodes.data(), nodes.size() * sizeof(NodeRecord));
    append(out, weights.data(), weights.size());
    return out;
  }

  std::string metadata;
  GraphHeader graph{};
  std::vector<TensorRecord> tensors;
  std::vector<NodeRecord> nodes;
  std::vector<uint8_t> weights;

 private:
  uint32_t add_record(const std::vector<uint32_t>& dims, uint8_t dtype, uint64_t offset, uint64_t size) {
    TensorRecord record{};
    record.data_offset = offset;
    record.data_size = size;
    record.ndim = static_cast<uint32_t>(dims.size());
    for (size_t i = 0; i < dims.size() && i < kMaxDims; ++i) record.dims[i] = dims[i];
    record.dtype = dtype;
    tensors.push_back(record);
    return static_cast<uint32_t>(tensors.size() - 1);
  }

  static void append(std::vector<uint8_t>& out, const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + size);
  }
};

template <typename T>
void patch(std::vector<uint8_t>& bytes, uint64_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// A file in the temporary directory, removed when this goes out of scope.
class TempFile {
 public:
  explicit TempFile(const std::vector<uint8_t>& bytes) {
    std::string name = (std::filesystem::temp_directory_path() / "qen_test_XXXXXX").string();
    const int fd = mkstemp(name.data());
    path_ = name;
    FILE* file = fdopen(fd, "wb");
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

  // Writes `size` copies of `byte` at `offset` in place, as another process
  // rewriting a mapped model would.
  void overwrite(uint64_t offset, size_t size, uint8_t byte) const {
    FILE* file = std::fopen(path_.c_str(), "r+b");
    std::fseek(file, static_cast<long>(offset), SEEK_SET);
    for (size_t i = 0; i < size; ++i) std::fputc(byte, file);
    std::fclose(file);
  }

 private:
  std::string path_;
};

}  // namespace qen::testing
