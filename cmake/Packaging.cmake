# The Debian packages, made by `cpack -G DEB` in a build directory: palvex_<version>_<arch>.deb
# (cross builds included: the architecture is the target's) and, where palvexd is built,
# palvexd_<version>_<arch>.deb beside it. One package per install component.
set(CPACK_PACKAGE_NAME palvex)
set(CPACK_PACKAGE_VENDOR palvex)
set(CPACK_PACKAGE_CONTACT "palvex developers <palvex@palvex.example>")
# Each package's description is its own first line and text: no summary for all of them, which
# cpack would put in front of each.
set(PALVEX_DEB_DESCRIPTION
    "reverse reachability detection and TCP ping for embedded Linux devices\n\
palvex asks a detection server whether it can connect back to this device\n\
and which public address and location it sees, grades the TCP NAT in front\n\
of it, and measures TCP connect times where ICMP ping is filtered.")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};palvex;ALL;/")
set(CPACK_COMPONENTS_ALL palvex)
set(CPACK_DEBIAN_PALVEX_PACKAGE_NAME palvex)
set(CPACK_DEBIAN_PALVEX_DESCRIPTION "${PALVEX_DEB_DESCRIPTION}")
if(PALVEX_BUILD_SERVER)
  list(APPEND CPACK_COMPONENTS_ALL palvexd)
  set(CPACK_DEBIAN_PALVEXD_PACKAGE_NAME palvexd)
  set(CPACK_DEBIAN_PALVEXD_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PALVEXD_DESCRIPTION "detection service for palvex devices\n\
palvexd answers palvex's detect requests with the address and location it\n\
sees, connects back to the device and grades its TCP NAT. One record per\n\
request, Prometheus metrics, locations from a table or MMDB databases.")
  # Dependencies from what the program links (dpkg-shlibdeps); the country codes are data.
  set(CPACK_DEBIAN_PALVEXD_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PALVEXD_PACKAGE_DEPENDS "iso-codes")
  set(CPACK_DEBIAN_PALVEXD_PACKAGE_CONTROL_EXTRA
      ${PROJECT_SOURCE_DIR}/src/server/debian/conffiles)
endif()
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
