# Cross build for the device: 32-bit ARM, hard-float, glibc (Debian's
# crossbuild-essential-armhf).  Test binaries run under qemu-arm through
# ctest's emulator setting.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(LC_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${LC_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LC_TRIPLE}-g++)
set(CMAKE_NM ${LC_TRIPLE}-nm CACHE FILEPATH "")
set(CMAKE_STRIP ${LC_TRIPLE}-strip CACHE FILEPATH "")
# Libraries, headers and packages for the target come from the cross
# toolchain's root and from the prefixes a build names for the target: each
# folder of CMAKE_PREFIX_PATH (the variable or the environment's) is a root
# of its own, searched as it is.  CMAKE_STAGING_PREFIX is searched too.
# Programs (compilers, generators) are always the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${LC_TRIPLE} ${CMAKE_PREFIX_PATH})
if(DEFINED ENV{CMAKE_PREFIX_PATH})
  string(REPLACE ":" ";" lc_env_prefixes "$ENV{CMAKE_PREFIX_PATH}")
  list(APPEND CMAKE_FIND_ROOT_PATH ${lc_env_prefixes})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${LC_TRIPLE})
