# 32-bit big-endian PowerPC target, built with Debian's cross compiler and run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(ZVPLD_TARGET_TRIPLE powerpc-linux-gnu)
set(ZVPLD_TARGET_SYSROOT /usr/${ZVPLD_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${ZVPLD_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZVPLD_TARGET_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH ${ZVPLD_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Header-only libraries (nlohmann/json, CLI11) are mirrored from the build machine by the project.
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L ${ZVPLD_TARGET_SYSROOT})
