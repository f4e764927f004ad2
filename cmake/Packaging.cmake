# The Debian package, palvex_<version>_<arch>.deb, made by `cpack -G DEB` in a build directory
# (cross builds included: the architecture is the target's).
set(CPACK_PACKAGE_NAME palvex)
set(CPACK_PACKAGE_VENDOR palvex)
set(CPACK_PACKAGE_CONTACT "palvex developers <palvex@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "reverse reachability detection and TCP ping for embedded Linux devices")
set(CPACK_PACKAGE_DESCRIPTION
    "palvex asks a detection server whether it can connect back to this device and which public\n\
address and location it sees, and measures TCP connect times where ICMP ping is filtered.")
set(CPACK_GENERATOR DEB)
# The probe only (its install component): palvexd goes onto the operator's hosts with
# `cmake --install`.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};palvex;palvex;/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_STRIP_FILES ON)

if(PALVEX_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PALVEX_DEB_ARCH})
elseif(CMAKE_CROSSCOMPILING)
  execute_process(COMMAND dpkg-architecture -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
endif()

# Depends: nothing for a fully static program. Otherwise the shared libraries it links, and
# libc6 at the newest symbol version the built program uses, read from it when cpack runs
# (PackageDepends.cmake): a cross build cannot ask dpkg-shlibdeps about the target's libraries.
if(PALVEX_FULLY_STATIC)
  set(CPACK_PALVEX_SHARED_DEPENDS "")
else()
  set(CPACK_PALVEX_SHARED_DEPENDS "libcjson1 (>= 1.7.15)")
  if(NOT PALVEX_STATIC_LINK)
    string(APPEND CPACK_PALVEX_SHARED_DEPENDS
           ", libevent-core-2.1-7 (>= 2.1.12), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
  endif()
endif()
set(CPACK_PALVEX_FULLY_STATIC ${PALVEX_FULLY_STATIC})
set(CPACK_PALVEX_PROGRAM ${PROJECT_BINARY_DIR}/palvex)
set(CPACK_PALVEX_OBJDUMP ${CMAKE_OBJDUMP})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/PackageDepends.cmake)

include(CPack)
