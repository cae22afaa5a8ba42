# Cross build for Debian arm64 (64-bit ARM):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VEYRA_CROSS_TRIPLET aarch64-linux-gnu)
set(VEYRA_CROSS_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
