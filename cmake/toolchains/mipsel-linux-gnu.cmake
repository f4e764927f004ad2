# Cross build for mipsel with Debian's g++-mipsel-linux-gnu; see debian-cross.cmake.
#   cmake -S . -B build-mipsel --toolchain cmake/toolchains/mipsel-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(PALVEX_TRIPLE mipsel-linux-gnu)
set(PALVEX_DEB_ARCH mipsel)
set(PALVEX_QEMU qemu-mipsel-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
