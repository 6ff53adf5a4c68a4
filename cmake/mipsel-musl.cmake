# Device build against musl instead of glibc, linked statically: musl is strict
# where glibc is lenient, so that a glibc-only habit of the code fails here.
#
# Debian's mipsel cross compiler with musl's headers and libraries for mipsel
# (musl-dev:mipsel). The compiler's C++ headers are configured for glibc and test
# __GLIBC_PREREQ, which musl does not define; the device programs use only the
# parts of C++ that need no C++ library, so defining it as 0 for them is enough.
# GoogleTest needs the whole C++ library, which Debian does not build for musl:
# this build has no unit tests (QV_UNIT_TESTS is off).
# Static: no loader, so no hash table either; musl for mipsel is hard-float.
set(QV_DEVICE_ELF --interp none --float hard --pie no)
set(QV_MUSL /usr/lib/mipsel-linux-musl)
set(QV_MUSL_INCLUDE /usr/include/mipsel-linux-musl)
set(QV_SYSROOT ${QV_MUSL})
include(${CMAKE_CURRENT_LIST_DIR}/mipsel-linux-gnu.cmake)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QV_MUSL QV_MUSL_INCLUDE)

set(QV_STATIC_DEVICE ON)
set(QV_UNIT_TESTS OFF)

include(${CMAKE_CURRENT_LIST_DIR}/mipsel-libc-headers.cmake)
qv_libc_include_flags(${QV_MUSL_INCLUDE} includes)

set(CMAKE_C_FLAGS_INIT "${includes}")
set(CMAKE_CXX_FLAGS_INIT "${includes} '-D__GLIBC_PREREQ(major,minor)=0'")
# musl's start files and libraries, statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -specs=${QV_MUSL}/musl-gcc.specs")

set(CMAKE_CROSSCOMPILING_EMULATOR ${QV_DEVICE_EMULATOR})
