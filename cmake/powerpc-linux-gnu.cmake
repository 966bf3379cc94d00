# Cross build for the management processor: big-endian 32-bit PowerPC Linux.
# Tests run through qemu-user; there is no binfmt_misc registration on the build machines,
# so the emulator is always named explicitly.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-user runs helper threads, and a threaded process cannot enter a user namespace; the
# unit tests jail themselves, so the namespace is entered before qemu starts (this also lets an
# ordinary user run them).
set(CMAKE_CROSSCOMPILING_EMULATOR unshare -Ur qemu-ppc -L /usr/powerpc-linux-gnu)
