#include "file_mapping.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

// Under AddressSanitizer the bytes between the end of the file and the end of
// its last page are poisoned while mapped: the kernel fills them with zeros,
// so a read past the file would otherwise go unnoticed. The header's macros
// do nothing in a build without AddressSanitizer.
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace qen::platform {
namespace {

// The bytes of the last mapped page that lie past the end of the file.
size_t page_tail(uint64_t size) {
  const auto page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  return static_cast<size_t>((page - size % page) % page);
}

// Whether some process has the file open for writing. Linux grants a read
// lease only while no descriptor of the file is open for writing, so taking
// one and dropping it at once answers that. Where no lease can be had at all
// (a file of another owner without CAP_LEASE, a file system without leases)
// the answer is unknown and the file is taken as unwritten, as it is on
// systems without leases (macOS).
bool open_for_writing_elsewhere(int fd) {
#if defined(__linux__)
  // A writer opening the file while the lease is held breaks it, and the
  // break is signalled to this process: SIGIO by default, which would end
  // it. SIGURG is ignored unless a program asks for it.
  if (::fcntl(fd, F_SETSIG, SIGURG) != 0) return false;
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) != 0) return errno == EAGAIN;
  ::fcntl(fd, F_SETLEASE, F_UNLCK);
  return false;
#else
  (void)fd;
  return false;
#endif
}

}  // namespace

Handle open_for_reading(const std::string& path) {
  if (path.find('\0') != std::string::npos) return kNoHandle;
  // Non-blocking, so that a FIFO without a writer fails the type check below
  // instead of waiting for one; no controlling terminal from a device path.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return kNoHandle;
  struct stat info{};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || open_for_writing_elsewhere(fd)) {
    ::close(fd);
    return kNoHandle;
  }
  return fd;
}

bool file_size(Handle file, uint64_t* size) {
  struct stat info{};
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
  if (view == MAP_FAILED) return nullptr;
  const auto* bytes = static_cast<const uint8_t*>(view);
  ASAN_POISON_MEMORY_REGION(bytes + size, page_tail(size));
  return bytes;
}

void unmap_view(const uint8_t* view, uint64_t size) {
  ASAN_UNPOISON_MEMORY_REGION(view + size, page_tail(size));
  ::munmap(const_cast<uint8_t*>(view), static_cast<size_t>(size));
}

void close_handle(Handle handle) { ::close(handle); }

}  // namespace qen::platform
