// The platform layer: open a file for reading, take its size, and map the
// whole file read-only at one address. Each step reports failure on its own
// so the loader can name the step that failed.
#pragma once

#include <cstdint>
#include <string>

namespace qen::platform {

using Handle = int;  // a POSIX descriptor
constexpr Handle kNoHandle = -1;

// Opens an existing regular file read-only without ever blocking. kNoHandle
// for anything else: a missing path, a directory, a FIFO or device, no
// permission, a path with a NUL byte, or a file that some process has open
// for writing (where the platform can tell).
Handle open_for_reading(const std::string& path);

// The file's size in bytes; false when it cannot be taken.
bool file_size(Handle file, uint64_t* size);

// The mapping object for the whole file at its current size. POSIX maps from
// the descriptor itself, so the object is a descriptor of its own that keeps
// the file referenced. An empty file cannot be mapped and gives kNoHandle.
Handle create_mapping(Handle file, uint64_t size);

// A read-only view of the whole file; null on failure.
const uint8_t* map_view(Handle mapping, uint64_t size);

void unmap_view(const uint8_t* view, uint64_t size);
void close_handle(Handle handle);

}  // namespace qen::platform
