# Cross toolchain: 32-bit Windows (i686-w64-mingw32), DWARF-2 exceptions.
set(VANTOR_TARGET i686-w64-mingw32)
set(VANTOR_ARCH x86)
set(CMAKE_SYSTEM_PROCESSOR x86)
# llvm-dlltool's machine name for the delay-load import libraries.
set(VANTOR_DLLTOOL_MACHINE i386)
include("${CMAKE_CURRENT_LIST_DIR}/windows-toolchain.cmake")

# clang passes an empty class argument (an iterator tag) in no bytes, GCC in
# four, so a libstdc++ function that takes one must never be shared between
# code the two compilers built. The few that libstdc++.a defines (basic_string's
# _M_construct and _S_construct) get their own names in a copy of the library;
# GCC's code keeps calling its own, ours instantiates its own. The copy is made
# again whenever GCC's library changes (its digest is kept beside the copy).
file(SHA256 "${VANTOR_GCC_DIR}/libstdc++.a" gcc_libstdcxx_digest)
set(stamp "${VANTOR_SYSROOT}/libstdc++.sha256")
set(copied_digest "")
if(EXISTS "${stamp}" AND EXISTS "${VANTOR_SYSROOT_GCC}/libstdc++.a")
  file(READ "${stamp}" copied_digest)
endif()
if(NOT copied_digest STREQUAL gcc_libstdcxx_digest)
  set(renames "${VANTOR_SYSROOT}/libstdc++-renames.txt")
  execute_process(
    COMMAND bash -c "set -euo pipefail
      '${VANTOR_NM}' --defined-only \"$1\" 2>/dev/null |
        awk '$2 ~ /^[TtWw]$/ && $3 ~ /St(20forward|18input|26random_access|26bidirectional)_iterator_tag/ { print $3 \" \" $3 \"$gcc\" }' |
        sort -u >\"$2\"
      [ -s \"$2\" ]
      '${VANTOR_OBJCOPY}' --redefine-syms=\"$2\" \"$1\" \"$3.tmp\"
      mv -f \"$3.tmp\" \"$3\"" prepare "${VANTOR_GCC_DIR}/libstdc++.a" "${renames}" "${VANTOR_SYSROOT_GCC}/libstdc++.a"
    RESULT_VARIABLE prepared)
  if(NOT prepared EQUAL 0)
    message(FATAL_ERROR "Could not prepare libstdc++.a for clang")
  endif()
  file(WRITE "${stamp}" "${gcc_libstdcxx_digest}")
endif()
