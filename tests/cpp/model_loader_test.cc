#include "qen/model_loader.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <functional>
#include <stdexcept>

#include "model_builder.h"
#include "process_resources.h"

namespace qen {
namespace {

using testing::mapped_regions;
using testing::ModelBuilder;
using testing::open_descriptors;
using testing::patch;
using testing::TempFile;

std::string open_error(const std::string& path) {
  try {
    ModelLoader loader(path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

// One stored FP32 tensor [2,3], one placeholder, one node, and metadata.
ModelBuilder small_model() {
  ModelBuilder b;
  b.metadata = "{\"name\":\"small\"}";
  const uint32_t input = b.add_placeholder({1, 3});
  const uint32_t weight = b.add_stored<float>({2, 3}, {1, 2, 3, 4, 5, 6});
  b.add_node(1, input, input, weight, weight);
  b.set_io({input}, {input});
  return b;
}

struct BrokenFile {
  const char* name;
  std::function<void(std::vector<uint8_t>&, const ModelBuilder&)> mutate;
  const char* message;
};

class LoaderRefuses : public ::testing::TestWithParam<BrokenFile> {};

TEST_P(LoaderRefuses, WithItsMessageAndReleasesEverything) {
  const ModelBuilder b = small_model();
  std::vector<uint8_t> bytes = b.bytes();
  GetParam().mutate(bytes, b);
  TempFile file(bytes);
  // A first failed open lets the runtime set up what a throw needs (under
  // AddressSanitizer that maps new regions); the second must then add nothing.
  open_error(file.path());
  const size_t fds = open_descriptors();
  const size_t maps = mapped_regions();
  EXPECT_EQ(open_error(file.path()), GetParam().message);
  EXPECT_EQ(open_descriptors(), fds);
  EXPECT_EQ(mapped_regions(), maps);
}

constexpr uint64_t kGraphSizeField = 32;
constexpr uint64_t kGraphOffsetField = 24;

INSTANTIATE_TEST_SUITE_P(
    Files, LoaderRefuses,
    ::testing::Values(
        BrokenFile{"Empty", [](auto& f, auto&) { f.clear(); }, "Failed to create file mapping"},
        BrokenFile{"OneByte", [](auto& f, auto&) { f.resize(1); }, "File too small for header"},
        BrokenFile{"SeventyOneBytes", [](auto& f, auto&) { f.resize(71); }, "File too small for header"},
        BrokenFile{"ShortAndBadMagic", [](auto& f, auto&) { f.assign(40, 0xAB); }, "File too small for header"},
        BrokenFile{"HeaderOnlyZeros", [](auto& f, auto&) { f.assign(72, 0); }, "Invalid magic number"},
        BrokenFile{"MagicLastByte", [](auto& f, auto&) { f[3] = 1; }, "Invalid magic number"},
        BrokenFile{"Version0", [](auto& f, auto&) { patch<uint32_t>(f, 4, 0); }, "Unsupported version"},
        BrokenFile{"Version2", [](auto& f, auto&) { patch<uint32_t>(f, 4, 2); }, "Unsupported version"},
        BrokenFile{"GraphOneBytePastEnd",
                   [](auto& f, auto& b) { patch<uint64_t>(f, kGraphSizeField, f.size() - b.graph_offset() + 1); },
                   "Invalid graph offset/size"},
        BrokenFile{"GraphSizeWraps", [](auto& f, auto&) { patch<uint64_t>(f, kGraphSizeField, ~uint64_t{0}); },
                   "Invalid graph offset/size"},
        BrokenFile{"GraphOffsetWraps", [](auto& f, auto&) { patch<uint64_t>(f, kGraphOffsetField, ~uint64_t{0} - 10); },
                   "Invalid graph offset/size"},
        BrokenFile{"GraphHeaderCut",
                   [](auto& f, auto& b) {
                     f.resize(b.graph_offset() + 100);
                     patch<uint64_t>(f, kGraphSizeField, 0);
                   },
                   "Graph header extends past the end of the file"},
        BrokenFile{"NodeTableCut",
                   [](auto& f, auto& b) {
                     f.resize(b.weights_offset() - 1);
                     patch<uint64_t>(f, kGraphSizeField, 0);
                   },
                   "Graph tables extend past the end of the file"},
        BrokenFile{"HugeTensorCount", [](auto& f, auto& b) { patch<uint32_t>(f, b.graph_offset() + 4, 0xFFFFFFFFu); },
                   "Graph tables extend past the end of the file"},
        BrokenFile{"SeventeenInputs", [](auto& f, auto& b) { patch<uint32_t>(f, b.graph_offset() + 8, 17); },
                   "Graph has more than 16 inputs or outputs"},
        BrokenFile{"SeventeenOutputs", [](auto& f, auto& b) { patch<uint32_t>(f, b.graph_offset() + 12, 17); },
                   "Graph has more than 16 inputs or outputs"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModelLoader, UnopenablePathsNameThePath) {
  const std::string dir = std::filesystem::temp_directory_path().string();
  open_error(dir);  // the first throw may acquire what throwing needs (Wine: handles)
  const size_t fds = open_descriptors();
  // what() ends at the NUL byte, so the message is compared as a C string.
  for (const std::string& path : {dir + "/qen_no_such_file.qen", dir, std::string("a\0b", 3)})
    EXPECT_STREQ(open_error(path).c_str(), ("Failed to open file: " + path).c_str());
  EXPECT_EQ(open_descriptors(), fds);
}

TEST(ModelLoader, RefusesAtOnceWhatItCannotMapSafely) {
#ifdef _WIN32
  GTEST_SKIP() << "FIFOs and read leases are POSIX; file_mapping_windows_test covers Windows' writers and paths";
#else
  const TempFile model(small_model().bytes());
  const std::string fifo = model.path() + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int writer = ::open(model.path().c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  const size_t fds = open_descriptors();
  // A FIFO without a writer, a file open for writing, a path that is not
  // UTF-8 (its stray bytes escaped so the message can be decoded).
  EXPECT_EQ(open_error(fifo), "Failed to open file: " + fifo);
  const int reader = ::open(model.path().c_str(), O_RDONLY);
  if (::fcntl(reader, F_SETLEASE, F_RDLCK) == 0 || errno == EAGAIN) {  // writers show only where leases are granted
    EXPECT_EQ(open_error(model.path()), "Failed to open file: " + model.path());
  }
  ::close(reader);
  EXPECT_EQ(open_error("/no/such/\xff\xc3(\xe2\x82/\xed\xa0\x80\xc3\xa9"),
            "Failed to open file: /no/such/\\xff\\xc3(\\xe2\\x82/\\xed\\xa0\\x80\xc3\xa9");
  EXPECT_EQ(open_descriptors(), fds);
  ::close(writer);
  EXPECT_NO_THROW(ModelLoader{model.path()});
  std::remove(fifo.c_str());
#endif
}

TEST(ModelLoader, GraphEndingExactlyAtFileEndOpens) {
  ModelBuilder b = small_model();
  std::vector<uint8_t> bytes = b.bytes();
  patch<uint64_t>(bytes, kGraphSizeField, bytes.size() - b.graph_offset());
  TempFile file(bytes);
  EXPECT_NO_THROW(ModelLoader{file.path()});
}

TEST(ModelLoader, StoredTensorsAreViewsIntoTheMapping) {
  ModelBuilder b = small_model();
  b.add_stored<float>({}, {42.0f});  // ndim 0: one element
  TempFile file(b.bytes());
  ModelLoader first(file.path());
  ModelLoader second(file.path());

  TensorView w = first.load_tensor(1);
  EXPECT_EQ(w.shape, (std::vector<uint32_t>{2, 3}));
  EXPECT_EQ(w.dtype, DType::FP32);
  EXPECT_FALSE(w.owns_data);
  EXPECT_EQ(static_cast<const float*>(w.data)[5], 6.0f);
  EXPECT_EQ(first.load_tensor(1).data, w.data);
  // The scalar's data_offset is 24 bytes past the matrix's.
  TensorView scalar = first.load_tensor(2);
  EXPECT_EQ(static_cast<const uint8_t*>(scalar.data) - static_cast<const uint8_t*>(w.data), 24);
  EXPECT_EQ(scalar.ndim, 0u);
  EXPECT_EQ(scalar.size_bytes, 4u);
  EXPECT_EQ(*static_cast<const float*>(second.load_tensor(2).data), 42.0f);
  EXPECT_NE(second.load_tensor(2).data, scalar.data);  // a mapping of its own
}

struct TensorCase {
  const char* name;
  std::function<void(TensorRecord&)> mutate;
  const char* message;
};

class LoadTensorRefuses : public ::testing::TestWithParam<TensorCase> {};

TEST_P(LoadTensorRefuses, AndLeavesTheLoaderUsable) {
  ModelBuilder b = small_model();
  GetParam().mutate(b.tensors[1]);
  TempFile file(b.bytes());
  ModelLoader loader(file.path());
  try {
    loader.load_tensor(1);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), GetParam().message);
  }
  EXPECT_EQ(loader.get_metadata(), "{\"name\":\"small\"}");
}

INSTANTIATE_TEST_SUITE_P(
    Records, LoadTensorRefuses,
    ::testing::Values(TensorCase{"Placeholder", [](TensorRecord& r) { r.data_size = 0; },
                                 "Cannot load placeholder tensor - it has no data"},
                      TensorCase{"UnknownDtype", [](TensorRecord& r) { r.dtype = 4; }, "Unknown dtype"},
                      TensorCase{"NineDims", [](TensorRecord& r) { r.ndim = 9; }, "Tensor has more than 8 dimensions"},
                      TensorCase{"SizeOverflows",
                                 [](TensorRecord& r) {
                                   r.ndim = 3;
                                   r.dims[0] = r.dims[1] = r.dims[2] = 0xFFFFFFFFu;
                                 },
                                 "Tensor byte size overflows"},
                      TensorCase{"OneBytePastEnd", [](TensorRecord& r) { r.data_offset = 1; },
                                 "Tensor data extends past the end of the file"},
                      TensorCase{"OffsetWraps", [](TensorRecord& r) { r.data_offset = ~uint64_t{0} - 3; },
                                 "Tensor data extends past the end of the file"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModelLoader, TensorIdsAndRecordDetails) {
  ModelBuilder b = small_model();
  b.tensors[1].reserved[0] = 0xFF;  // bytes after dtype are ignored
  b.tensors[1].data_size = 1;       // data_size is not compared with the shape
  TempFile file(b.bytes());
  ModelLoader loader(file.path());
  EXPECT_EQ(loader.load_tensor(1).dtype, DType::FP32);
  EXPECT_EQ(loader.load_tensor(1).size_bytes, 24u);
  EXPECT_THROW(loader.load_tensor(2), std::out_of_range);
  EXPECT_THROW(loader.load_tensor(0xFFFFFFFFu), std::out_of_range);
  EXPECT_EQ(loader.graph_info().num_tensors, 2u);
  EXPECT_EQ(loader.node_record(0).op_type, 1);
  EXPECT_THROW(loader.node_record(1), std::out_of_range);
}

TEST(ModelLoader, WeightsRegionMayEndExactlyAtFileEnd) {
  ModelBuilder b = small_model();
  std::vector<uint8_t> bytes = b.bytes();
  patch<uint64_t>(bytes, 40, bytes.size() - 24);  // weights_offset: the matrix is the last 24 bytes
  TempFile file(bytes);
  EXPECT_EQ(static_cast<const float*>(ModelLoader(file.path()).load_tensor(1).data)[0], 1.0f);
}

TEST(ModelLoader, Metadata) {
  ModelBuilder b = small_model();
  b.metadata = std::string("a\0b", 3);
  std::vector<uint8_t> bytes = b.bytes();
  {
    TempFile file(bytes);
    EXPECT_EQ(ModelLoader(file.path()).get_metadata(), std::string("a\0b", 3));
  }
  patch<uint64_t>(bytes, 16, 0);  // size 0, offset still at the text
  {
    TempFile file(bytes);
    EXPECT_EQ(ModelLoader(file.path()).get_metadata(), "{}");
  }
  patch<uint64_t>(bytes, 16, bytes.size());  // one range past the end
  TempFile file(bytes);
  ModelLoader loader(file.path());
  EXPECT_THROW(loader.get_metadata(), std::runtime_error);
  EXPECT_NO_THROW(loader.load_tensor(1));
}

}  // namespace
}  // namespace qen
