# Debian packages of the library, made by CPack from the install components:
#
#   liblib-common<SOVERSION>  the "runtime" component and every other one
#                             that is not "development" (so a program that
#                             installs without naming a component, such as
#                             a tool under bin/, goes with the library)
#   liblib-common-dev         the "development" component; depends on the
#                             runtime package of exactly the same version
#
# Configure with -DCMAKE_INSTALL_PREFIX=/usr (the presets "release" and
# "armhf-release" do) so that the library lands in Debian's multiarch
# folder, then run cpack in the build folder.  scripts/package.sh does both
# for amd64 and armhf and checks the results.

# Debian names: lower case, no underscores; the runtime package carries the
# SONAME's number, so that a later incompatible library can sit beside it.
string(REPLACE "_" "-" LC_DEB_NAME "lib${PROJECT_NAME}")
set(LC_DEB_RUNTIME ${LC_DEB_NAME}${PROJECT_VERSION_MAJOR})
set(LC_DEB_DEV ${LC_DEB_NAME}-dev)

# The target's Debian architecture, from the compiler's multiarch triplet
# (a cross build is packed on this machine, so dpkg's own would be wrong).
if(NOT LC_DEB_ARCHITECTURE)
  find_program(LC_DPKG_ARCHITECTURE dpkg-architecture)
  if(LC_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND ${LC_DPKG_ARCHITECTURE} -qDEB_HOST_ARCH -t${CMAKE_LIBRARY_ARCHITECTURE}
      OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  set(LC_DEB_ARCHITECTURE "${arch}" CACHE STRING
    "Debian architecture of the packages (found from the compiler when empty)")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${LC_DEB_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "lib_common developers <lib_common@localhost>" CACHE STRING
  "Maintainer field of the Debian packages")
# A Debian package installs under /usr, whatever prefix the build was
# configured with; the library gets Debian's multiarch folder only when the
# build was configured with the prefix /usr (GNUInstallDirs does it for a
# native build, CMAKE_INSTALL_LIBDIR=lib/<triplet> for a cross build), as
# scripts/package.sh does.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${LC_DEB_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${LC_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(LC_DEB_ABOUT "lib_common gives every process of the device timed tasks on a thread pool,
per-module traces with levels changed at run time through a debug command
pipe, queues and ring buffers for video and audio frames, a key=value
configuration store and small platform helpers.")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "common utility library of the device processes
${LC_DEB_ABOUT}

This package holds the shared library and the tools built with it.")
# The shlibs file lets packages built against this one depend on it (">=":
# a minor release only adds); with it come the calls of ldconfig after
# installing and removing.  Only the runtime package holds a library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${LC_DEB_DEV})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${LC_DEB_RUNTIME} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "common utility library of the device processes - development files
${LC_DEB_ABOUT}

This package holds the headers, the pkg-config file, the CMake package
(find_package(lib_common)) and the man pages.")

# The runtime package's Depends are worked out from the files it really
# holds, after CPack has installed them (cmake/lc_deb_depends.cmake).
set(CPACK_LC_READELF ${CMAKE_READELF})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/lc_deb_depends.cmake)

# Every component lands in one of two groups, one package each.  The
# components are collected when the whole project has been read, so that
# install rules that come after this file (a tool's) are packed too.
macro(lc_packaging_finish)
  get_cmake_property(LC_COMPONENTS COMPONENTS)
  set(CPACK_COMPONENTS_ALL ${LC_COMPONENTS})
  foreach(component IN LISTS LC_COMPONENTS)
    string(TOUPPER ${component} upper)
    if(component STREQUAL "development")
      set(CPACK_COMPONENT_${upper}_GROUP development)
    else()
      set(CPACK_COMPONENT_${upper}_GROUP runtime)
    endif()
  endforeach()
  include(CPack)
endmacro()
cmake_language(DEFER CALL lc_packaging_finish)
