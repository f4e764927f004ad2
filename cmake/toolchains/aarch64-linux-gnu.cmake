# Cross build for arm64 with Debian's g++-aarch64-linux-gnu; see debian-cross.cmake.
#   cmake -S . -B build-arm64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PALVEX_TRIPLE aarch64-linux-gnu)
set(PALVEX_DEB_ARCH arm64)
set(PALVEX_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
