# qv_libc_include_flags(LIBC_INCLUDE OUT): the compiler flags under which Debian's
# mipsel cross compiler compiles against another C library than glibc, in OUT:
# the compiler's own headers (C++ and stddef.h and the like), with the C
# library's headers (LIBC_INCLUDE) between them in place of glibc's, and the
# kernel's headers (linux/, mtd/, asm/).
#
# The kernel's headers sit among glibc's in the cross toolchain's include folder
# (/usr/mipsel-linux-gnu/include for the tools mipsel-linux-gnu-*): only their
# folders are linked into the build, so that no glibc header is found by chance.
function(qv_libc_include_flags libc_include out)
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
  string(REGEX REPLACE "-$" "" triplet "${QV_TOOLCHAIN_PREFIX}")
  set(kernel_headers ${CMAKE_BINARY_DIR}/kernel-headers)
  file(MAKE_DIRECTORY ${kernel_headers})
  foreach(d asm asm-generic linux mtd)
    file(CREATE_LINK /usr/${triplet}/include/${d} ${kernel_headers}/${d} SYMBOLIC)
  endforeach()
  string(APPEND includes " -isystem ${libc_include} -isystem ${kernel_headers} -isystem ${gcc_include}")
  set(${out} "-nostdinc${includes}" PARENT_SCOPE)
endfunction()
