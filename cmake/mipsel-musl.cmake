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
set(QV_TOOLCHAIN_PREFIX_DIR mipsel-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/mipsel-linux-gnu.cmake)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QV_MUSL QV_MUSL_INCLUDE QV_TOOLCHAIN_PREFIX_DIR)

set(QV_STATIC_DEVICE ON)
set(QV_UNIT_TESTS OFF)

# The compiler's own headers (C++ and stddef.h and the like), with musl's C
# headers between them in place of glibc's.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -x c++ -E -v /dev/null
  OUTPUT_QUIET ERROR_VARIABLE search)
string(REGEX MATCHALL " [^ \n]*/c\\+\\+/[^\n]*" cxx_dirs "${search}")
set(includes)
foreach(d ${cxx_dirs})
  string(STRIP "${d}" d)
  string(APPEND includes " -isystem ${d}")
endforeach()
# The kernel's headers (linux/, mtd/, asm/) sit among glibc's: only their
# folders are linked into the build, so that no glibc header is found by chance.
set(kernel_headers ${CMAKE_BINARY_DIR}/kernel-headers)
file(MAKE_DIRECTORY ${kernel_headers})
foreach(d asm asm-generic linux mtd)
  file(CREATE_LINK /usr/${QV_TOOLCHAIN_PREFIX_DIR}/include/${d} ${kernel_headers}/${d} SYMBOLIC)
endforeach()
string(APPEND includes " -isystem ${QV_MUSL_INCLUDE} -isystem ${kernel_headers} -isystem ${gcc_include}")

set(CMAKE_C_FLAGS_INIT "-nostdinc${includes}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc${includes} '-D__GLIBC_PREREQ(major,minor)=0'")
# musl's start files and libraries, statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -specs=${QV_MUSL}/musl-gcc.specs")

set(QV_DEVICE_EMULATOR qemu-mipsel-static -cpu 24Kf)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QV_DEVICE_EMULATOR})
