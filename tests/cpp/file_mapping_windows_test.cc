// The Windows file-sharing rules of the loader: it shares the file for
// reading only, so a writer and a loader exclude each other while readers
// share; and it opens paths given in UTF-8 with the wide-character calls.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "error_of.h"
#include "model_builder.h"
#include "process_resources.h"
#include "qen/model_loader.h"

namespace qen {
namespace {

using testing::error_of;
using testing::ModelBuilder;
using testing::TempFile;

std::vector<uint8_t> one_tensor_model() {
  ModelBuilder b;
  const uint32_t weight = b.add_stored<float>({2}, {1.5f, -2.0f});
  b.set_io({weight}, {weight});
  return b.bytes();
}

std::wstring wide(const std::string& path) { return std::filesystem::u8path(path).wstring(); }

// A handle with write access that lets every other open share the file, so
// only the other side's share mode can make an open fail.
HANDLE open_for_writing(const std::string& path) {
  return ::CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

float first_weight(const ModelLoader& loader) { return *static_cast<const float*>(loader.load_tensor(0).data); }

TEST(WindowsFileSharing, FileHeldOpenForWritingIsRefusedAtOpen) {
  TempFile file(one_tensor_model());
  HANDLE writer = open_for_writing(file.path());
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  const auto open_error = [&] { return error_of([&] { ModelLoader loader(file.path()); }); };
  // Wine's first throw in a process opens handles of its own.
  EXPECT_EQ(open_error(), "Failed to open file: " + file.path());
  const size_t handles = testing::open_descriptors();
  EXPECT_EQ(open_error(), "Failed to open file: " + file.path());
  EXPECT_EQ(testing::open_descriptors(), handles);
  ::CloseHandle(writer);
  EXPECT_EQ(first_weight(ModelLoader(file.path())), 1.5f);
}

TEST(WindowsFileSharing, TwoLoadersReadTogetherAndKeepWritersOut) {
  TempFile file(one_tensor_model());
  const size_t handles = testing::open_descriptors(), views = testing::mapped_regions();
  auto first = std::make_unique<ModelLoader>(file.path());
  auto second = std::make_unique<ModelLoader>(file.path());
  // Each loader holds its file, its mapping object and one view.
  EXPECT_EQ(testing::open_descriptors(), handles + 4);
  EXPECT_EQ(testing::mapped_regions(), views + 2);
  EXPECT_EQ(first_weight(*first), 1.5f);
  EXPECT_EQ(first_weight(*second), 1.5f);

  for (int alive = 2; alive > 0; --alive) {
    EXPECT_EQ(open_for_writing(file.path()), INVALID_HANDLE_VALUE) << alive << " loaders alive";
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    (alive == 2 ? first : second).reset();
  }
  EXPECT_EQ(testing::open_descriptors(), handles);
  EXPECT_EQ(testing::mapped_regions(), views);
  HANDLE writer = open_for_writing(file.path());
  EXPECT_NE(writer, INVALID_HANDLE_VALUE);
  ::CloseHandle(writer);
}

// The file is written under its UTF-16 name, independently of the loader's
// conversion, and opened by the UTF-8 spelling of the same name.
TEST(WindowsPaths, NonAsciiUtf8PathOpens) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / L"qen_\u00e9t\u00e9_\u6a21\u578b.qen";
  const std::vector<uint8_t> bytes = one_tensor_model();
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const std::string utf8 = path.u8string();
  EXPECT_EQ(error_of([&] { EXPECT_EQ(first_weight(ModelLoader(utf8)), 1.5f); }), "");
  std::filesystem::remove(path);
}

// The message escapes the bytes that are not UTF-8.
TEST(WindowsPaths, InvalidUtf8AndDevicesFailAtOpen) {
  const std::string dir = std::filesystem::temp_directory_path().u8string();
  EXPECT_EQ(error_of([&] { ModelLoader loader(dir + "\\qen_\xff\xfe.qen"); }),
            "Failed to open file: " + dir + "\\qen_\\xff\\xfe.qen");
  for (const std::string& path : {std::string("NUL"), std::string("\\\\.\\NUL")})
    EXPECT_EQ(error_of([&] { ModelLoader loader(path); }), "Failed to open file: " + path);
}

}  // namespace
}  // namespace qen
