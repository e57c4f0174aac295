# 64-bit Arm Linux (arm64), run under qemu-aarch64.
set(QX_CROSS_TRIPLE aarch64-linux-gnu)
set(QX_CROSS_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
