// The operating system's handle of an open file or of a file mapping, as a
// ModelLoader holds them. The calls on them are internal to the library.
#pragma once

namespace qen::platform {

#ifdef _WIN32
using Handle = void*;  // a Windows HANDLE
constexpr Handle kNoHandle = nullptr;
#else
using Handle = int;  // a POSIX descriptor
constexpr Handle kNoHandle = -1;
#endif

}  // namespace qen::platform
