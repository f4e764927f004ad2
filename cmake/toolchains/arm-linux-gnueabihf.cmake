# Cross build for armhf with Debian's g++-arm-linux-gnueabihf; see debian-cross.cmake.
#   cmake -S . -B build-armhf --toolchain cmake/toolchains/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(PALVEX_TRIPLE arm-linux-gnueabihf)
set(PALVEX_DEB_ARCH armhf)
set(PALVEX_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
