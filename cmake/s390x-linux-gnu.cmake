# IBM Z Linux (s390x), big-endian, run under qemu-s390x (without -L: with it, glibc's
# stack protector trips).
set(QX_CROSS_TRIPLE s390x-linux-gnu)
set(QX_CROSS_EMULATOR qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
set(CMAKE_PROJECT_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/s390x-multiarch.cmake)
