// The model file's fixed little-endian records and where they lie.
//
// The file is read in place from its mapping. Regions and records carry no
// alignment guarantee, so a record is read by copying its bytes into one of
// these structs (read_record) instead of dereferencing a cast pointer.
#pragma once

#include <cstdint>
#include <cstring>

namespace qen {

constexpr uint32_t kModelMagic = 0x004E4551;  // 'Q' 'E' 'N' 0
constexpr uint32_t kModelVersion = 1;
constexpr uint32_t kMaxGraphIds = 16;
constexpr uint32_t kMaxDims = 8;

struct FileHeader {
  uint32_t magic;
  uint32_t version;
  uint64_t metadata_offset;
  uint64_t metadata_size;
  uint64_t graph_offset;
  uint64_t graph_size;
  uint64_t weights_offset;
  uint8_t reserved[24];
};

struct GraphHeader {
  uint32_t num_nodes;
  uint32_t num_tensors;
  uint32_t num_inputs;
  uint32_t num_outputs;
  uint32_t input_ids[kMaxGraphIds];
  uint32_t output_ids[kMaxGraphIds];
};

struct TensorRecord {
  uint64_t data_offset;
  uint64_t data_size;  // 0 marks a placeholder: no stored elements
  uint32_t ndim;
  uint32_t dims[kMaxDims];
  uint8_t dtype;
  uint8_t reserved[3];
};

enum class OpType : uint16_t { Linear = 1, ReLU = 2, GELU = 3, Softmax = 4 };

struct NodeRecord {
  uint16_t op_type;
  uint16_t num_inputs;
  uint16_t num_outputs;
  uint8_t reserved0[2];
  uint32_t input_ids[kMaxGraphIds];
  uint32_t output_ids[kMaxGraphIds];
  uint32_t weight_id;
  uint32_t bias_id;
  uint8_t reserved1[64];
};

static_assert(sizeof(FileHeader) == 72, "file header is 72 bytes");
static_assert(sizeof(GraphHeader) == 144, "graph header is 144 bytes");
static_assert(sizeof(TensorRecord) == 56, "tensor record is 56 bytes");
static_assert(sizeof(NodeRecord) == 208, "node record is 208 bytes");

template <typename Record>
Record read_record(const uint8_t* at) {
  Record record;
  std::memcpy(&record, at, sizeof(Record));
  return record;
}

// Byte offsets inside the graph block, from the graph header's address.
constexpr uint64_t tensor_record_offset(uint32_t id) {
  return sizeof(GraphHeader) + uint64_t{sizeof(TensorRecord)} * id;
}
constexpr uint64_t node_record_offset(uint32_t num_tensors, uint32_t index) {
  return tensor_record_offset(num_tensors) + uint64_t{sizeof(NodeRecord)} * index;
}

}  // namespace qen
