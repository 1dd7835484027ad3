#include <windows.h>

#include <climits>
#include <cstdint>
#include <string>

#include "file_mapping.h"

namespace qen::platform {
namespace {

// Paths arrive as UTF-8. The narrow-character calls would read them in the
// ANSI code page, so they are converted to UTF-16 and opened with the wide
// calls. Empty for a path that is not valid UTF-8 or holds a NUL byte.
std::wstring to_utf16(const std::string& path) {
  if (path.empty() || path.size() > INT_MAX || path.find('\0') != std::string::npos) return {};
  const int size = static_cast<int>(path.size());
  const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, wide.data(), length);
  return wide;
}

}  // namespace

// Shared for reading only: other readers may open the file at the same time,
// a writer may not while this handle lives, and a file that a writer already
// holds open is refused here. Without FILE_FLAG_BACKUP_SEMANTICS a directory
// does not open; devices, pipes and consoles are refused by their type.
Handle open_for_reading(const std::string& path) {
  const std::wstring wide = to_utf16(path);
  if (wide.empty()) return kNoHandle;
  HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kNoHandle;
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    ::CloseHandle(file);
    return kNoHandle;
  }
  return file;
}

bool file_size(Handle file, uint64_t* size) {
  LARGE_INTEGER bytes;
  if (!::GetFileSizeEx(file, &bytes) || bytes.QuadPart < 0) return false;
  *size = static_cast<uint64_t>(bytes.QuadPart);
  return true;
}

// Maximum size 0 maps the file at its current size; Windows refuses a
// mapping of an empty file, and so does this layer before asking.
Handle create_mapping(Handle file, uint64_t size) {
  if (size == 0) return kNoHandle;
  return ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
}

// Offset 0 and length 0: a view of the whole file.
const uint8_t* map_view(Handle mapping, uint64_t size) {
  if (size > SIZE_MAX) return nullptr;
  return static_cast<const uint8_t*>(::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
}

void unmap_view(const uint8_t* view, uint64_t) { ::UnmapViewOfFile(view); }

void close_handle(Handle handle) { ::CloseHandle(handle); }

}  // namespace qen::platform
