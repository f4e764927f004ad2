# Shared part of the cross toolchain files: Debian's cross compiler for PALVEX_TRIPLE, the
# target's libraries from a staging folder that scripts/stage-target.sh fills, and
# qemu-user-static to run what is built (tests, try_run).
#
# The staging folder is staging/<Debian architecture> in the checkout unless PALVEX_STAGING_DIR
# names another (as a cache variable or in the environment).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${PALVEX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${PALVEX_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${PALVEX_TRIPLE})

if(NOT PALVEX_STAGING_DIR)
  if(DEFINED ENV{PALVEX_STAGING_DIR})
    set(PALVEX_STAGING_DIR $ENV{PALVEX_STAGING_DIR})
  else()
    get_filename_component(PALVEX_STAGING_DIR
                           "${CMAKE_CURRENT_LIST_DIR}/../../staging/${PALVEX_DEB_ARCH}" ABSOLUTE)
  endif()
endif()
set(PALVEX_STAGING_DIR "${PALVEX_STAGING_DIR}" CACHE PATH "Target libraries (stage-target.sh)")
if(NOT EXISTS "${PALVEX_STAGING_DIR}/usr/include/event2/event.h")
  message(FATAL_ERROR "No target libraries in ${PALVEX_STAGING_DIR}: "
          "run scripts/stage-target.sh ${PALVEX_DEB_ARCH} first")
endif()
# The checks CMake compiles in their own projects read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PALVEX_TRIPLE PALVEX_DEB_ARCH PALVEX_QEMU
     PALVEX_STAGING_DIR)

# Libraries, headers and package files only from the staging folder; programs (python3, the
# emulator) from the build machine. The cross compiler finds its own C and C++ libraries.
set(CMAKE_FIND_ROOT_PATH ${PALVEX_STAGING_DIR})
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# A static program runs as it is; a dynamic one finds its C library in the cross compiler's
# folder (-L) and the other shared libraries in the staging folder.
find_program(PALVEX_QEMU_PATH ${PALVEX_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PALVEX_QEMU_PATH} -L /usr/${PALVEX_TRIPLE} -E
    LD_LIBRARY_PATH=${PALVEX_STAGING_DIR}/usr/lib/${PALVEX_TRIPLE})
