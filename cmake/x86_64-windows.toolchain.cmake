# Cross toolchain: 64-bit Windows (x86_64-w64-mingw32).
set(VANTOR_TARGET x86_64-w64-mingw32)
set(VANTOR_ARCH x64)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
# llvm-dlltool's machine name for the delay-load import libraries.
set(VANTOR_DLLTOOL_MACHINE i386:x86-64)
include("${CMAKE_CURRENT_LIST_DIR}/windows-toolchain.cmake")

# Both compilers pass an empty class argument the same way on this target, so
# GCC's library is used as it is.
if(NOT EXISTS "${VANTOR_SYSROOT_GCC}/libstdc++.a")
  file(CREATE_LINK "${VANTOR_GCC_DIR}/libstdc++.a" "${VANTOR_SYSROOT_GCC}/libstdc++.a" SYMBOLIC)
endif()
