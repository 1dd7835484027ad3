# Cross build with zig's clang, libc++ and glibc stubs, for manylinux wheels
# and macOS builds from this machine. The including toolchain file sets
# QEN_ZIG_TARGET (a zig target such as x86_64-linux-gnu.2.28: the oldest
# glibc the binaries may need), CMAKE_SYSTEM_NAME and CMAKE_SYSTEM_PROCESSOR.
# zig is QEN_ZIG, else the ZIG environment variable, else zig on PATH.
# CMake calls each tool by one path, so one small script per tool, made in
# the build directory, calls `zig <tool> -target ...`.
if(NOT QEN_ZIG)
  if(DEFINED ENV{ZIG})
    set(QEN_ZIG "$ENV{ZIG}")
  else()
    find_program(QEN_ZIG zig REQUIRED)
  endif()
endif()
set(QEN_ZIG "${QEN_ZIG}" CACHE FILEPATH "The zig compiler")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QEN_ZIG QEN_ZIG_TARGET)

set(_qen_zig_tools "${CMAKE_BINARY_DIR}/zig-${QEN_ZIG_TARGET}")
foreach(_tool cc c++ ar ranlib)
  set(_target_flag "")
  if(_tool MATCHES "^c")
    set(_target_flag "-target ${QEN_ZIG_TARGET}")
  endif()
  file(WRITE "${_qen_zig_tools}/${_tool}" "#!/bin/sh\nexec \"${QEN_ZIG}\" ${_tool} ${_target_flag} \"$@\"\n")
  file(CHMOD "${_qen_zig_tools}/${_tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
       WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER "${_qen_zig_tools}/cc")
set(CMAKE_CXX_COMPILER "${_qen_zig_tools}/c++")
set(CMAKE_AR "${_qen_zig_tools}/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${_qen_zig_tools}/ranlib" CACHE FILEPATH "" FORCE)
# No strip of this machine's, which may not read the target's objects: the
# linker strips the Release modules instead.
set(CMAKE_STRIP "" CACHE FILEPATH "" FORCE)
set(CMAKE_MODULE_LINKER_FLAGS_RELEASE_INIT "-s")

if(CMAKE_SYSTEM_NAME STREQUAL "Darwin")
  # CMake wants install_name_tool for installs, which this build (a compile
  # and link check) never makes.
  file(WRITE "${_qen_zig_tools}/install_name_tool" "#!/bin/sh\necho 'no install_name_tool: install on a Mac' >&2\nexit 1\n")
  file(CHMOD "${_qen_zig_tools}/install_name_tool" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  set(CMAKE_INSTALL_NAME_TOOL "${_qen_zig_tools}/install_name_tool" CACHE FILEPATH "" FORCE)
endif()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # zig links with immediate binding; lazy binding lets an interpreter of
  # another version load the module far enough for pybind11's own message.
  string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " -Wl,-z,lazy")
  # glibc ends a thread (pthread_exit at interpreter exit) by a forced unwind
  # through the system's libgcc_s; the binaries unwind with that same library
  # rather than zig's own unwinder, which cannot resume glibc's unwind.
  string(REGEX REPLACE "-.*" "" _qen_arch "${QEN_ZIG_TARGET}")
  find_file(QEN_LIBGCC_S libgcc_s.so.1 PATHS /lib/${_qen_arch}-linux-gnu /usr/lib/${_qen_arch}-linux-gnu
            /usr/${_qen_arch}-linux-gnu/lib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(CMAKE_CXX_STANDARD_LIBRARIES "${QEN_LIBGCC_S}")
  # This machine's libgcc_s may need a newer glibc than the target's; where
  # the binaries run, that system's own libgcc_s is loaded.
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--allow-shlib-undefined")
endif()
