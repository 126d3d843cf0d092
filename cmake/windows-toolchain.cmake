# Shared part of the cross toolchains: Windows with clang 16 and lld 16 against
# GCC 12's mingw-w64 libstdc++ (posix threads). The including file sets
# VANTOR_TARGET (the mingw triple) and CMAKE_SYSTEM_PROCESSOR first.
# Every host tool the build calls is named here, once.
set(CMAKE_SYSTEM_NAME Windows)

set(VANTOR_LLVM_BIN /usr/lib/llvm-16/bin)
set(VANTOR_DLLTOOL ${VANTOR_LLVM_BIN}/llvm-dlltool)
set(VANTOR_NM ${VANTOR_LLVM_BIN}/llvm-nm)
set(VANTOR_OBJCOPY ${VANTOR_LLVM_BIN}/llvm-objcopy)
set(VANTOR_GCC_DIR /usr/lib/gcc/${VANTOR_TARGET}/12-posix)

# clang cannot parse the version of GCC's "12-posix" folder and would fall back
# to the Linux C++ headers and a wrong crtbegin.o. A small sysroot of links
# gives the driver the layout it expects. libstdc++.a itself is provided by the
# including file (a link, or a prepared copy).
set(VANTOR_SYSROOT "${CMAKE_BINARY_DIR}/sysroot")
set(VANTOR_SYSROOT_GCC "${VANTOR_SYSROOT}/lib/gcc/${VANTOR_TARGET}/12")
if(NOT EXISTS "${VANTOR_SYSROOT}/${VANTOR_TARGET}")
  file(MAKE_DIRECTORY "${VANTOR_SYSROOT_GCC}")
  file(CREATE_LINK /usr/${VANTOR_TARGET} "${VANTOR_SYSROOT}/${VANTOR_TARGET}" SYMBOLIC)
  file(GLOB gcc_files "${VANTOR_GCC_DIR}/*")
  foreach(file IN LISTS gcc_files)
    get_filename_component(name "${file}" NAME)
    if(NOT name STREQUAL "libstdc++.a")
      file(CREATE_LINK "${file}" "${VANTOR_SYSROOT_GCC}/${name}" SYMBOLIC)
    endif()
  endforeach()
endif()
set(CMAKE_SYSROOT "${VANTOR_SYSROOT}")

set(CMAKE_C_COMPILER ${VANTOR_LLVM_BIN}/clang)
set(CMAKE_CXX_COMPILER ${VANTOR_LLVM_BIN}/clang++)
set(CMAKE_C_COMPILER_TARGET ${VANTOR_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${VANTOR_TARGET})
set(CMAKE_AR ${VANTOR_LLVM_BIN}/llvm-ar)
set(CMAKE_RANLIB ${VANTOR_LLVM_BIN}/llvm-ranlib)
set(CMAKE_RC_COMPILER /usr/bin/${VANTOR_TARGET}-windres)

# GCC built libstdc++ for these targets without weak symbols, so type_info's
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
