# Shared part of the Debian multiarch cross toolchains (armhf.cmake, arm64.cmake set the triplet
# and the emulator first). Needs crossbuild-essential-<arch> and the :<arch> development packages
# (qtbase5-dev, libcurl4-openssl-dev, libcpp-httplib-dev, pkg-config); qemu-user-static runs the
# build-time generator and the tests, so CTest works as on the build machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VEYRA_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VEYRA_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VEYRA_CROSS_TRIPLET})
set(PKG_CONFIG_EXECUTABLE /usr/bin/${VEYRA_CROSS_TRIPLET}-pkg-config CACHE FILEPATH "")

# Multiarch keeps the target's libraries in /usr/lib/<triplet> of this very root, so no sysroot:
# the target's packages are found, the build machine's programs (moc, rcc) run natively.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# libc6:<arch> puts the dynamic loader where the binaries expect it, so qemu needs no -L.
find_program(VEYRA_QEMU ${VEYRA_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VEYRA_QEMU})

# GCC notes that the ABI for passing some structures changed in GCC 7.1; everything here is built
# with this one compiler, so the note says nothing.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
