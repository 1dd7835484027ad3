// What the process holds, for tests that check a failed call releases all it
// acquired: open files (descriptors, or handles on Windows) and mapped views.
#pragma once

#include <cstddef>

#ifdef _WIN32
#include <windows.h>

#include <cstdlib>
#include <vector>
#else
#include <filesystem>
#include <fstream>
#include <string>
#endif

namespace qen::testing {

#ifdef _WIN32

// The process's handles, from the system's handle table. GetProcessHandleCount
// would do on Windows, but under Wine it always reports 0.
inline size_t open_descriptors() {
  struct Entry {
    void* object;
    ULONG_PTR process_id;
    ULONG_PTR value;
    ULONG access;
    USHORT creator_back_trace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
  };
  struct Table {
    ULONG_PTR count;
    ULONG_PTR reserved;
    Entry entries[1];
  };
  using Query = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
  constexpr int kSystemExtendedHandleInformation = 64;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  std::vector<ULONG_PTR> buffer(1 << 14);
  LONG status;
  while ((status = query(kSystemExtendedHandleInformation, buffer.data(),
                         static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR)), nullptr)) == kInfoLengthMismatch)
    buffer.resize(buffer.size() * 2);
  if (status != 0) std::abort();
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  size_t count = 0;
  for (ULONG_PTR i = 0; i < table->count; ++i)
    if (table->entries[i].process_id == ::GetCurrentProcessId()) ++count;
  return count;
}

// Views of mapped files, counted by walking the address space.
inline size_t mapped_regions() {
  size_t count = 0;
  MEMORY_BASIC_INFORMATION region;
  for (const char* at = nullptr; ::VirtualQuery(at, &region, sizeof region) == sizeof region;
       at = static_cast<const char*>(region.BaseAddress) + region.RegionSize)
    if (region.Type == MEM_MAPPED && region.BaseAddress == region.AllocationBase) ++count;
  return count;
}

#else

inline size_t open_descriptors() {
  size_t count = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

inline size_t mapped_regions() {
  std::ifstream in("/proc/self/maps");
  size_t lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

#endif

}  // namespace qen::testing
