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
set(CMAKE_FIND_ROOT_PATH /usr/${LC_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${LC_TRIPLE})
