# Cross toolchain: 32-bit Windows (i686-w64-mingw32) with clang 16 and lld 16,
# against GCC 12's mingw-w64 libstdc++ (posix threads, DWARF-2 exceptions).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VANTOR_TARGET i686-w64-mingw32)
set(VANTOR_LLVM_BIN /usr/lib/llvm-16/bin)

# clang cannot parse the version of GCC's "12-posix" folder and would fall back
# to the Linux C++ headers and a wrong crtbegin.o. A small sysroot of links
# gives the driver the layout it expects.
#
# One file of it is not a link: clang passes an empty class argument (an
# iterator tag) in no bytes, GCC in four, so a libstdc++ function that takes
# one must never be shared between code the two compilers built. The few that
# libstdc++.a defines (basic_string's _M_construct and _S_construct) get their
# own names in a copy of the library; GCC's code keeps calling its own, ours
# instantiates its own.
set(VANTOR_SYSROOT "${CMAKE_BINARY_DIR}/sysroot")
set(VANTOR_GCC_DIR /usr/lib/gcc/${VANTOR_TARGET}/12-posix)
set(VANTOR_SYSROOT_GCC "${VANTOR_SYSROOT}/lib/gcc/${VANTOR_TARGET}/12")
if(NOT EXISTS "${VANTOR_SYSROOT}/libstdc++-renames.txt")
  file(REMOVE "${VANTOR_SYSROOT}/${VANTOR_TARGET}" "${VANTOR_SYSROOT_GCC}")  # links of an older layout
  file(MAKE_DIRECTORY "${VANTOR_SYSROOT_GCC}")
  file(CREATE_LINK /usr/${VANTOR_TARGET} "${VANTOR_SYSROOT}/${VANTOR_TARGET}" SYMBOLIC)
  file(GLOB gcc_files "${VANTOR_GCC_DIR}/*")
  foreach(file IN LISTS gcc_files)
    get_filename_component(name "${file}" NAME)
    if(NOT name STREQUAL "libstdc++.a")
      file(CREATE_LINK "${file}" "${VANTOR_SYSROOT_GCC}/${name}" SYMBOLIC)
    endif()
  endforeach()
  execute_process(
    COMMAND sh -c "${VANTOR_LLVM_BIN}/llvm-nm --defined-only '${VANTOR_GCC_DIR}/libstdc++.a' 2>/dev/null | awk '$2 ~ /^[TtWw]$/ && $3 ~ /St(20forward|18input|26random_access|26bidirectional)_iterator_tag/ { print $3 \" \" $3 \"$gcc\" }' | sort -u > '${VANTOR_SYSROOT}/libstdc++-renames.txt' && ${VANTOR_LLVM_BIN}/llvm-objcopy --redefine-syms='${VANTOR_SYSROOT}/libstdc++-renames.txt' '${VANTOR_GCC_DIR}/libstdc++.a' '${VANTOR_SYSROOT_GCC}/libstdc++.a'"
    RESULT_VARIABLE patched)
  if(NOT patched EQUAL 0)
    message(FATAL_ERROR "Could not prepare libstdc++.a for clang")
  endif()
endif()
set(CMAKE_SYSROOT "${VANTOR_SYSROOT}")

set(CMAKE_C_COMPILER ${VANTOR_LLVM_BIN}/clang)
set(CMAKE_CXX_COMPILER ${VANTOR_LLVM_BIN}/clang++)
set(CMAKE_C_COMPILER_TARGET ${VANTOR_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${VANTOR_TARGET})
set(CMAKE_AR ${VANTOR_LLVM_BIN}/llvm-ar)
set(CMAKE_RANLIB ${VANTOR_LLVM_BIN}/llvm-ranlib)
set(CMAKE_RC_COMPILER /usr/bin/${VANTOR_TARGET}-windres)

# GCC built libstdc++ for this target without weak symbols, so type_info's
# equality is an ordinary function of the library. clang would otherwise
# define it inline too, and an unoptimised build then links it twice.
set(CMAKE_CXX_FLAGS_INIT "-D__GXX_TYPEINFO_EQUALITY_INLINE=0")

# lld instead of GNU ld (delay-import and load-config directories); everything
# static so the images import only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -static -pthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -static -pthread")

set(CMAKE_FIND_ROOT_PATH /usr/${VANTOR_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine, in the project's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run")
