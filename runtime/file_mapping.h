// The platform layer: open a file for reading, take its size, and map the
// whole file read-only at one address. Each step reports failure on its own
// so the loader can name the step that failed. file_mapping.cc implements it
// with POSIX calls, file_mapping_windows.cc with the Windows ones.
#pragma once

#include <cstdint>
#include <string>

#include "qen/file_handle.h"

namespace qen::platform {

// Opens an existing regular file read-only without ever blocking, the path in
// UTF-8. kNoHandle for anything else: a missing path, a directory, a FIFO or
// device, no permission, a path with a NUL byte (on Windows also one that is
// not valid UTF-8), or a file that some process has open for writing (where
// the platform can tell; Windows always can).
Handle open_for_reading(const std::string& path);

// The file's size in bytes; false when it cannot be taken.
bool file_size(Handle file, uint64_t* size);

// The mapping object for the whole file at its current size. POSIX maps from
// the descriptor itself, so there the object is a descriptor of its own that
// keeps the file referenced. An empty file cannot be mapped and gives kNoHandle.
Handle create_mapping(Handle file, uint64_t size);

// A read-only view of the whole file; null on failure.
const uint8_t* map_view(Handle mapping, uint64_t size);

void unmap_view(const uint8_t* view, uint64_t size);
void close_handle(Handle handle);

}  // namespace qen::platform
