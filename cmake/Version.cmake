# The launcher's four-part version, VANTOR_VERSION_4 (A.B.C.D): the project's,
# or VANTOR_FILE_VERSION when set. The Windows builds put it into the image;
# the native image checks expect it (set it there for a stamped launcher).
set(VANTOR_FILE_VERSION "" CACHE STRING "Version of the launcher (A.B.C.D, each 0-65535; empty: the project version)")
if(VANTOR_FILE_VERSION)
  if(NOT VANTOR_FILE_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "VANTOR_FILE_VERSION must be A.B.C.D, not '${VANTOR_FILE_VERSION}'")
  endif()
  set(VANTOR_VERSION_4 "${VANTOR_FILE_VERSION}")
else()
  set(VANTOR_VERSION_4 "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
endif()
