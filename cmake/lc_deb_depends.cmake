# The Depends of a package from what its ELF files need, for a cross build
# (debian/rules runs it in place of dh_shlibdeps):
#
#   cmake -DLC_READELF=<target>-readelf -DLC_ROOT=debian/<package> \
#         -DLC_SUBSTVARS=debian/<package>.substvars -P cmake/lc_deb_depends.cmake
#
# appends "shlibs:Depends=..." to LC_SUBSTVARS (or prints it without).
#
# Each needed library (NEEDED) names its Debian package; the newest symbol
# version a file uses from it names the lowest package version that has it:
# GLIBC_2.34 -> libc6 (>= 2.34), GCC_3.5 -> libgcc-s1 (>= 3.5), and for the
# C++ library Debian's own table (the symbols file of libstdc++6, the same
# table dpkg-shlibdeps reads: CXXABI_1.3.9 -> 5).  dpkg-shlibdeps itself
# cannot do this for a cross build: this machine has the target's libraries
# only as the cross toolchain's copies, whose packages name themselves
# (libgcc-s1-armhf-cross) and give libstdc++6 no version.  A native build
# uses dpkg-shlibdeps, and tests/package/check_packages.sh checks that this
# script finds the same there.  A library or version not known here stops
# the packing.

cmake_policy(PUSH)
cmake_policy(VERSION 3.21)

set(readelf ${LC_READELF})
if(NOT readelf)
  set(readelf readelf)
endif()

# The lowest version of package ${package} that defines version node ${node}.
function(lc_node_min_version package node out)
  if(package STREQUAL "libc6" AND node MATCHES "^GLIBC_([0-9.]+)$")
    set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
  elseif(package STREQUAL "libgcc-s1" AND node MATCHES "^GCC_([0-9.]+)$")
    set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
  elseif(package STREQUAL "libstdc++6" AND node STREQUAL "CXXABI_ARM_1.3.3")
    # The ARM EABI's own node, in libstdc++ since GCC 4.4; the symbols file
    # of this machine's own libstdc++6 (not an ARM one) cannot list it.
    set(${out} 4.4.0 PARENT_SCOPE)
  elseif(package STREQUAL "libstdc++6" AND node MATCHES "^(GLIBCXX|CXXABI)_[0-9.]+$")
    if(NOT DEFINED LC_STDCXX_SYMBOLS)
      execute_process(COMMAND dpkg-query --control-show libstdc++6 symbols
        OUTPUT_VARIABLE symbols RESULT_VARIABLE rc ERROR_QUIET)
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR "Debian's symbols file of libstdc++6 is not installed")
      endif()
      set(LC_STDCXX_SYMBOLS "${symbols}" CACHE INTERNAL "")
    endif()
    string(REPLACE "." "\\." pattern "${node}")
    if(NOT LC_STDCXX_SYMBOLS MATCHES "\n ${pattern}@${pattern} ([^ \n]+)")
      message(FATAL_ERROR "libstdc++6's symbols file has no version node ${node}")
    endif()
    set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
  else()
    message(FATAL_ERROR "no minimal version known for ${node} of ${package}")
  endif()
endfunction()

# The Debian package of a needed library (by its SONAME).
function(lc_package_of soname out)
  if(soname MATCHES "^(libc|libm|libpthread|libdl|librt|libresolv|libutil)\\.so\\.[0-9]+$"
     OR soname MATCHES "^ld-linux.*\\.so\\.[0-9]+$")
    set(${out} libc6 PARENT_SCOPE)
  elseif(soname STREQUAL "libstdc++.so.6")
    set(${out} libstdc++6 PARENT_SCOPE)
  elseif(soname STREQUAL "libgcc_s.so.1")
    set(${out} libgcc-s1 PARENT_SCOPE)
  else()
    message(FATAL_ERROR "no Debian package known for the needed library ${soname}")
  endif()
endfunction()

# The ELF files of the package.
file(GLOB_RECURSE files LIST_DIRECTORIES false ${LC_ROOT}/*)
set(elf_files)
foreach(f IN LISTS files)
  if(NOT IS_SYMLINK ${f})
    file(READ ${f} magic LIMIT 4 HEX)
    if(magic STREQUAL "7f454c46")
      list(APPEND elf_files ${f})
    endif()
  endif()
endforeach()

# SONAMEs of the package itself (a tool needs the library beside it).
set(own_sonames)
set(needed_files)
foreach(f IN LISTS elf_files)
  execute_process(COMMAND ${readelf} -d --wide ${f} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${readelf} -d ${f} failed")
  endif()
  string(REGEX MATCHALL "\\(SONAME\\)[^\n]*\\[[^]]+\\]" sonames "${dynamic}")
  foreach(line IN LISTS sonames)
    string(REGEX REPLACE ".*\\[([^]]+)\\]" "\\1" name "${line}")
    list(APPEND own_sonames ${name})
  endforeach()
  string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]]+\\]" needed "${dynamic}")
  foreach(line IN LISTS needed)
    string(REGEX REPLACE ".*\\[([^]]+)\\]" "\\1" name "${line}")
    list(APPEND needed_files ${name})
  endforeach()
endforeach()
list(REMOVE_DUPLICATES needed_files)

# Packages, each first without a version.
set(packages)
foreach(soname IN LISTS needed_files)
  if(NOT soname IN_LIST own_sonames)
    lc_package_of(${soname} package)
    list(APPEND packages ${package})
    set(min_${package} "")
  endif()
endforeach()

# The newest version node each file needs from each library.
foreach(f IN LISTS elf_files)
  execute_process(COMMAND ${readelf} -V --wide ${f} OUTPUT_VARIABLE versions RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${readelf} -V ${f} failed")
  endif()
  string(REGEX REPLACE ".*Version needs section[^\n]*\n" "" needs "${versions}")
  string(REPLACE "\n" ";" lines "${needs}")
  set(package "")
  foreach(line IN LISTS lines)
    if(line MATCHES "File: ([^ ]+)")
      set(package "")
      if(NOT CMAKE_MATCH_1 IN_LIST own_sonames)
        lc_package_of(${CMAKE_MATCH_1} package)
      endif()
    elseif(package AND line MATCHES "Name: ([^ ]+)")
      lc_node_min_version(${package} ${CMAKE_MATCH_1} version)
      if(NOT min_${package} OR version VERSION_GREATER min_${package})
        set(min_${package} ${version})
      endif()
    endif()
  endforeach()
endforeach()

list(REMOVE_DUPLICATES packages)
list(SORT packages)
set(depends)
foreach(package IN LISTS packages)
  if(min_${package})
    list(APPEND depends "${package} (>= ${min_${package}})")
  else()
    list(APPEND depends "${package}")
  endif()
endforeach()
list(JOIN depends ", " depends)
if(LC_SUBSTVARS)
  file(APPEND ${LC_SUBSTVARS} "shlibs:Depends=${depends}\n")
else()
  message("shlibs:Depends=${depends}")
endif()
cmake_policy(POP)
