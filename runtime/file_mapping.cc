#include "file_mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qen::platform {

Handle open_for_reading(const std::string& path) {
  if (path.find('\0') != std::string::npos) return kNoHandle;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kNoHandle;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return kNoHandle;
  }
  return fd;
}

bool file_size(Handle file, uint64_t* size) {
  struct stat info {};
  if (::fstat(file, &info) != 0 || info.st_size < 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

Handle create_mapping(Handle file, uint64_t size) {
  if (size == 0) return kNoHandle;
  return ::fcntl(file, F_DUPFD_CLOEXEC, 0);
}

const uint8_t* map_view(Handle mapping, uint64_t size) {
  if (size > SIZE_MAX) return nullptr;
  void* view = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, mapping, 0);
  return view == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(view);
}

void unmap_view(const uint8_t* view, uint64_t size) {
  ::munmap(const_cast<uint8_t*>(view), static_cast<size_t>(size));
}

void close_handle(Handle handle) { ::close(handle); }

}  // namespace qen::platform
