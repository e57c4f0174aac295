# Cross-building for another Linux architecture with Debian's cross compilers and its
# multiarch packages (libassimp-dev:ARCH); included by aarch64-linux-gnu.cmake and
# s390x-linux-gnu.cmake, which set QX_CROSS_TRIPLE. Tests run under qemu-user, which
# the tests also put in front of the tools they start (QX_EMULATOR).
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${QX_CROSS_TRIPLE}")
set(CMAKE_C_COMPILER ${QX_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QX_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QX_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${QX_CROSS_TRIPLE} /usr/lib/${QX_CROSS_TRIPLE} /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The multiarch libraries' own dependencies are found where Debian put them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,/usr/lib/${QX_CROSS_TRIPLE}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,/usr/lib/${QX_CROSS_TRIPLE}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,-rpath-link,/usr/lib/${QX_CROSS_TRIPLE}")
set(CMAKE_CROSSCOMPILING_EMULATOR ${QX_CROSS_EMULATOR})
