# Cross build for the device: 32-bit little-endian MIPS. Any mipsel toolchain:
#
#   QV_TOOLCHAIN_PREFIX  the tools' name prefix (default mipsel-linux-gnu-, Debian's;
#                        a vendor's uClibc toolchain is named like mipsel-linux-uclibc-)
#   QV_SYSROOT           the target's root with its C library, where libraries are
#                        looked up and where qemu finds the dynamic loader
#                        (default /usr/mipsel-linux-gnu). Set CMAKE_SYSROOT as well
#                        when the compiler needs --sysroot to find its headers.
#   QV_DEVICE_CPU        qemu's CPU model for the tests and the lab (default 24Kf)
#
# Tests run under qemu user emulation with the 24Kf CPU model: the device's 24KEc
# has no FPU, but Debian's mipsel libraries use one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

if(NOT QV_TOOLCHAIN_PREFIX)
  set(QV_TOOLCHAIN_PREFIX mipsel-linux-gnu-)
endif()
if(NOT QV_SYSROOT)
  set(QV_SYSROOT /usr/mipsel-linux-gnu)
endif()
if(NOT QV_DEVICE_CPU)
  set(QV_DEVICE_CPU 24Kf)
endif()
# The C library's loader and libraries that the programs need, in QV_SYSROOT/lib.
if(NOT QV_DEVICE_C_LIBS)
  set(QV_DEVICE_C_LIBS ld.so.1 libc.so.6)
endif()
# try_compile projects read this file again: hand the choices on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QV_TOOLCHAIN_PREFIX QV_SYSROOT QV_DEVICE_CPU)

set(CMAKE_C_COMPILER ${QV_TOOLCHAIN_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${QV_TOOLCHAIN_PREFIX}g++)
set(CMAKE_STRIP ${QV_TOOLCHAIN_PREFIX}strip)
set(CMAKE_NM ${QV_TOOLCHAIN_PREFIX}nm)
set(QV_READELF ${QV_TOOLCHAIN_PREFIX}readelf)

set(CMAKE_FIND_ROOT_PATH ${QV_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# What the device's loader and kernel must find in every binary of the build
# (tests/check-device-elf.sh): Debian's glibc loader, its hard-float ABI, and the
# compiler's default position-independent executables.
if(NOT DEFINED QV_DEVICE_ELF)
  set(QV_DEVICE_ELF --interp /lib/ld.so.1 --float hard --pie yes)
endif()

set(QV_DEVICE_EMULATOR qemu-mipsel-static -cpu ${QV_DEVICE_CPU})
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel-static -L ${QV_SYSROOT} -cpu ${QV_DEVICE_CPU})
