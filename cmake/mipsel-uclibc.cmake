# Device build against uClibc, the device's own kind of C library, linked
# dynamically as on the device: programs and libnvram.so load through
# /lib/ld-uClibc.so.0, are soft float (the device's 24KEc has no FPU) and
# position-dependent, with a SYSV symbol hash table, which older uClibc loaders
# need. Tests run under qemu with the 24KEc CPU model.
#
#   QV_SYSROOT   a uClibc sysroot: /lib with ld-uClibc.so.0 and libc.so.0,
#                /usr/include, /usr/lib with the start files and libc.so. Unset,
#                cmake/build-uclibc.sh builds uClibc-ng from Debian's
#                uclibc-source into the build folder (once, a few minutes).
#
# Debian's mipsel cross compiler with uClibc's headers and libraries: its C++
# headers are configured for glibc, and uclibc-cxx-config.h tells them what
# uClibc lacks; the device programs use only the parts of C++ that need no C++
# library. GoogleTest needs the whole C++ library, which Debian does not build
# for uClibc: this build has no unit tests (QV_UNIT_TESTS is off).
#
# Debian's libgcc is built for hard float: the integer helpers it brings (64-bit
# division) work in soft-float code, its floating-point helpers do not. No
# device program uses floating point.
if(NOT QV_SYSROOT)
  set(QV_SYSROOT ${CMAKE_BINARY_DIR}/uclibc-ng/sysroot)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/build-uclibc.sh ${CMAKE_BINARY_DIR}/uclibc-ng
    RESULT_VARIABLE built)
  if(NOT built EQUAL 0)
    message(FATAL_ERROR "uClibc-ng could not be built (cmake/build-uclibc.sh)")
  endif()
endif()
set(QV_UCLIBC ON)
# What the device's loader and kernel need (tests/check-device-elf.sh).
set(QV_DEVICE_ELF --interp /lib/ld-uClibc.so.0 --float soft --pie no)
set(QV_DEVICE_CPU 24KEc)
set(QV_DEVICE_C_LIBS ld-uClibc.so.0 ld-uClibc.so.1 libc.so.0)
# Built against Debian's kernel headers, newer than the device's, uClibc-ng makes
# rename() as renameat2: the system-call check keeps its baseline program
# (QV_SYSCALL_BASELINE, on) to tell the library's calls from the programs'.
include(${CMAKE_CURRENT_LIST_DIR}/mipsel-linux-gnu.cmake)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QV_UCLIBC)

set(QV_UNIT_TESTS OFF)

include(${CMAKE_CURRENT_LIST_DIR}/mipsel-libc-headers.cmake)
qv_libc_include_flags(${QV_SYSROOT}/usr/include includes)

# g++ links the C++ library and the math library, which the device programs do
# not use and this uClibc does not have (the compiler's libstdc++ is glibc's):
# empty archives answer -lstdc++ and -lm, so that a program that needs either
# fails to link here.
set(no_libs ${CMAKE_BINARY_DIR}/uclibc-no-libs)
file(WRITE ${no_libs}/libstdc++.a "!<arch>\n")
file(WRITE ${no_libs}/libm.a "!<arch>\n")

# uClibc's start files, libraries and loader in place of glibc's; the
# compiler's own crtbegin/crtend and libgcc.
set(specs ${CMAKE_BINARY_DIR}/uclibc.specs)
file(WRITE ${specs} "*link_libgcc:
-L${no_libs} -L${QV_SYSROOT}/usr/lib -L${QV_SYSROOT}/lib -L .%s

*libgcc:
libgcc.a%s

*startfile:
%{!shared: ${QV_SYSROOT}/usr/lib/crt1.o} ${QV_SYSROOT}/usr/lib/crti.o %{shared:crtbeginS.o%s;:crtbegin.o%s}

*endfile:
%{shared:crtendS.o%s;:crtend.o%s} ${QV_SYSROOT}/usr/lib/crtn.o

*link:
-dynamic-linker /lib/ld-uClibc.so.0 -nostdlib %{shared:-shared} %{static:-static} %{rdynamic:-export-dynamic}
")

set(flags "${includes} -msoft-float -fno-pie")
set(CMAKE_C_FLAGS_INIT "${flags}")
set(CMAKE_CXX_FLAGS_INIT "${flags} -include ${CMAKE_CURRENT_LIST_DIR}/uclibc-cxx-config.h")
set(link "-specs=${specs} -msoft-float -Wl,--hash-style=sysv")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${link} -no-pie")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${link}")
