# Cross build for Debian armhf (32-bit ARM, hard float):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VEYRA_CROSS_TRIPLET arm-linux-gnueabihf)
set(VEYRA_CROSS_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
