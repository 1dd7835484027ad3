# zig build for aarch64 Linux with glibc 2.28 or later (manylinux_2_28 at most).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QEN_ZIG_TARGET aarch64-linux-gnu.2.28)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
