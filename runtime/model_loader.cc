#include "qen/model_loader.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "file_mapping.h"

namespace qen {
namespace {

// True when [offset, offset + size) lies inside a file of file_size bytes,
// computed without wrapping.
bool range_in_file(uint64_t offset, uint64_t size, uint64_t file_size) {
  return offset <= file_size && size <= file_size - offset;
}

// Length of the well-formed UTF-8 sequence at text[at], or 0 when it is not
// one (a stray continuation, an overlong form, a surrogate, past U+10FFFF).
size_t utf8_sequence_length(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return length;
}

// The path for an error message: unchanged when it is valid UTF-8, else with
// each stray byte written as \xNN, so that the message can be decoded.
std::string printable_path(const std::string& path) {
  std::string out;
  for (size_t at = 0; at < path.size();) {
    const size_t length = utf8_sequence_length(path, at);
    if (length == 0) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(static_cast<uint8_t>(path[at])));
      out += escaped;
      ++at;
    } else {
      out.append(path, at, length);
      at += length;
    }
  }
  return out;
}

}  // namespace

ModelLoader::ModelLoader(const std::string& path_) : path(path_) {
  try {
    file_handle = platform::open_for_reading(path);
    if (file_handle == platform::kNoHandle) throw std::runtime_error("Failed to open file: " + printable_path(path));
    if (!platform::file_size(file_handle, &file_size)) throw std::runtime_error("Failed to get file size");
    mapping_handle = platform::create_mapping(file_handle, file_size);
    if (mapping_handle == platform::kNoHandle) throw std::runtime_error("Failed to create file mapping");
    base = platform::map_view(mapping_handle, file_size);
    if (base == nullptr) throw std::runtime_error("Failed to map file");

    if (file_size < sizeof(FileHeader)) throw std::runtime_error("File too small for header");
    header = read_record<FileHeader>(base);
    if (header.magic != kModelMagic) throw std::runtime_error("Invalid magic number");
    if (header.version != kModelVersion) throw std::runtime_error("Unsupported version");
    if (!range_in_file(header.graph_offset, header.graph_size, file_size))
      throw std::runtime_error("Invalid graph offset/size");

    // The graph header and both tables are read in place from here on, so
    // they must lie inside the file whatever graph_size claims.
    if (!range_in_file(header.graph_offset, sizeof(GraphHeader), file_size))
      throw std::runtime_error("Graph header extends past the end of the file");
    const GraphHeader info = read_record<GraphHeader>(base + header.graph_offset);
    const uint64_t extent = node_record_offset(info.num_tensors, info.num_nodes);
    if (!range_in_file(header.graph_offset, extent, file_size))
      throw std::runtime_error("Graph tables extend past the end of the file");
    if (info.num_inputs > kMaxGraphIds || info.num_outputs > kMaxGraphIds)
      throw std::runtime_error("Graph has more than 16 inputs or outputs");

    graph = base + header.graph_offset;
    tensors = graph + sizeof(GraphHeader);
    nodes = graph + node_record_offset(info.num_tensors, 0);
    graph_copy = info;
  } catch (...) {
    release();
    throw;
  }
}

ModelLoader::~ModelLoader() { release(); }

void ModelLoader::release() {
  if (base != nullptr) platform::unmap_view(base, file_size);
  if (mapping_handle != platform::kNoHandle) platform::close_handle(mapping_handle);
  if (file_handle != platform::kNoHandle) platform::close_handle(file_handle);
  base = nullptr;
  mapping_handle = file_handle = platform::kNoHandle;
}

NodeRecord ModelLoader::node_record(uint32_t index) const {
  if (index >= graph_copy.num_nodes) throw std::out_of_range("Invalid node index");
  return read_record<NodeRecord>(nodes + sizeof(NodeRecord) * uint64_t{index});
}

TensorView ModelLoader::load_tensor(uint32_t id) const {
  if (id >= graph_copy.num_tensors) throw std::out_of_range("Invalid tensor ID");
  const TensorRecord record = read_record<TensorRecord>(tensors + sizeof(TensorRecord) * uint64_t{id});
  if (record.data_size == 0) throw std::runtime_error("Cannot load placeholder tensor - it has no data");
  if (record.ndim > kMaxDims) throw std::runtime_error("Tensor has more than 8 dimensions");

  const auto dtype = static_cast<DType>(record.dtype);
  uint64_t bytes = 0;
  if (!checked_byte_size(record.dims, record.ndim, dtype, &bytes))
    throw std::runtime_error("Tensor byte size overflows");
  // The view's elements must lie inside the mapping: weights region start
  // plus data_offset plus the shape's byte size, all without wrapping.
  if (header.weights_offset > file_size || !range_in_file(record.data_offset, bytes, file_size - header.weights_offset))
    throw std::runtime_error("Tensor data extends past the end of the file");

  const uint8_t* data = base + header.weights_offset + record.data_offset;
  std::vector<uint32_t> shape(record.dims, record.dims + record.ndim);
  return TensorView(const_cast<uint8_t*>(data), std::move(shape), dtype);
}

std::string ModelLoader::get_metadata() const {
  if (header.metadata_size == 0) return "{}";
  if (!range_in_file(header.metadata_offset, header.metadata_size, file_size))
    throw std::runtime_error("Metadata extends past the end of the file");
  return std::string(reinterpret_cast<const char*>(base + header.metadata_offset), header.metadata_size);
}

}  // namespace qen
