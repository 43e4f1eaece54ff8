# 32-bit x86 Linux with the host's multilib GCC (Debian: gcc-multilib,
# g++-multilib). The programs run under qemu-i386, directly or through
# binfmt_misc (scripts/test.sh, stage m32). CMAKE_SYSTEM_NAME stays unset:
# the build is treated as native, so that each test runs as a process of
# its own and the tests that start the tools find them runnable.
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# Debian's GoogleTest libraries are 64-bit: build it from its sources.
set(YNET_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from /usr/src/googletest (cross builds)")
