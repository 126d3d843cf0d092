# How a launcher image is made: the launcher's code, its hardening (delay-loaded
# system DLLs, Control Flow Guard, load configuration), its own resources, and
# a payload of RT_RCDATA 100 (the installer) and 101 (its manifest).

# A short-format import library made from `def` (LLVM's format: lld fills the
# delay-import directory only from those). The .def files name 32-bit stdcall
# functions with their @N suffix; 64-bit Windows has one calling convention and
# undecorated names, so the suffixes are dropped for it.
function(vantor_short_import_library def lib)
  get_filename_component(name "${def}" NAME)
  set(arch_def "${CMAKE_BINARY_DIR}/delayload/${VANTOR_ARCH}-${name}")
  file(READ "${def}" content)
  if(VANTOR_ARCH STREQUAL "x64")
    string(REGEX REPLACE "@[0-9]+" "" content "${content}")
  endif()
  file(CONFIGURE OUTPUT "${arch_def}" CONTENT "${content}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${def}")
  add_custom_command(OUTPUT "${lib}"
    COMMAND "${VANTOR_DLLTOOL}" -m ${VANTOR_DLLTOOL_MACHINE} -k -d "${arch_def}" -l "${lib}"
    DEPENDS "${arch_def}"
    COMMENT "Short-format import library for ${name}")
endfunction()

# user32 and advapi32 are delay-loaded, from import libraries that list exactly
# the functions the launcher uses.
set(VANTOR_DELAYLOAD_LIBS "")
foreach(dll user32 advapi32)
  set(lib "${CMAKE_BINARY_DIR}/delayload/lib${dll}.a")
  vantor_short_import_library("${CMAKE_SOURCE_DIR}/cmake/delayload/${dll}.def" "${lib}")
  list(APPEND VANTOR_DELAYLOAD_LIBS "${lib}")
endforeach()
add_custom_target(vantor_delayload_libs DEPENDS ${VANTOR_DELAYLOAD_LIBS})

# The image's resources: manifest, icon and version, from the project version.
# tools/pack --version sets VANTOR_FILE_VERSION (A.B.C.D, each 0-65535).
set(VANTOR_FILE_VERSION "" CACHE STRING "Version stamped into the launcher (A.B.C.D; empty: the project version)")
set(VANTOR_DESCRIPTION "${PROJECT_DESCRIPTION}")
if(VANTOR_FILE_VERSION)
  if(NOT VANTOR_FILE_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "VANTOR_FILE_VERSION must be A.B.C.D, not '${VANTOR_FILE_VERSION}'")
  endif()
  set(VANTOR_VERSION_4 "${VANTOR_FILE_VERSION}")
else()
  set(VANTOR_VERSION_4 "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
endif()
string(REPLACE "." "," VANTOR_VERSION_COMMAS "${VANTOR_VERSION_4}")
if(VANTOR_ARCH STREQUAL "x64")
  set(VANTOR_MANIFEST_ARCH amd64)
else()
  set(VANTOR_MANIFEST_ARCH x86)
endif()
set(VANTOR_MANIFEST_FILE "${CMAKE_BINARY_DIR}/resources/VantorSetup.manifest")
set(VANTOR_ICON_FILE "${CMAKE_SOURCE_DIR}/resources/VantorSetup.ico")
configure_file("${CMAKE_SOURCE_DIR}/resources/VantorSetup.manifest.in" "${VANTOR_MANIFEST_FILE}" @ONLY)
configure_file("${CMAKE_SOURCE_DIR}/resources/launcher.rc.in" "${CMAKE_BINARY_DIR}/resources/launcher.rc" @ONLY)
set(VANTOR_LAUNCHER_RC "${CMAKE_BINARY_DIR}/resources/launcher.rc")
set_source_files_properties("${VANTOR_LAUNCHER_RC}" PROPERTIES OBJECT_DEPENDS "${VANTOR_MANIFEST_FILE};${VANTOR_ICON_FILE}")

# Links `target` with user32 and advapi32 delay-loaded.
function(vantor_delay_load_system_dlls target)
  add_dependencies(${target} vantor_delayload_libs)
  target_link_libraries(${target} PRIVATE ${VANTOR_DELAYLOAD_LIBS})
  target_link_options(${target} PRIVATE -Wl,--delayload=user32.dll -Wl,--delayload=advapi32.dll)
endfunction()

# A hardened image: delay-loaded system DLLs, and Control Flow Guard (its
# load configuration comes with vantor_core). Large-address-aware, so that on
# 64-bit Windows the launcher can map payloads near 1 GB. Unused sections are
# dropped and identical code folded, for size. Sections are page-aligned in the
# file too, so a loader can map them straight from the file: Wine otherwise
# copies the whole image, payload included, into private memory.
function(vantor_harden_image target)
  vantor_delay_load_system_dlls(${target})
  target_link_options(${target} PRIVATE -mguard=cf -Wl,--large-address-aware -Wl,--gc-sections -Wl,--icf=all
    -Wl,--file-alignment=4096)
endfunction()

# A launcher image around a payload. Tests leave one resource out to build a
# broken package.
function(vantor_add_launcher name)
  cmake_parse_arguments(arg "" "INSTALLER;MANIFEST" "DEPENDS" ${ARGN})
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${name}-payload.rc")
  set(content "")
  if(arg_INSTALLER)
    string(APPEND content "100 RCDATA \"${arg_INSTALLER}\"\n")
  endif()
  if(arg_MANIFEST)
    string(APPEND content "101 RCDATA \"${arg_MANIFEST}\"\n")
  endif()
  # A stub has no payload, and the resource compiler refuses an empty script.
  set(payload_rc "")
  if(content)
    file(GENERATE OUTPUT "${rc}" CONTENT "${content}")
    set_source_files_properties("${rc}" PROPERTIES OBJECT_DEPENDS "${arg_INSTALLER};${arg_MANIFEST}")
    set(payload_rc "${rc}")
  endif()
  vantor_add_gui_program(${name} "${CMAKE_SOURCE_DIR}/src/Launcher/WinMain.cpp" "${VANTOR_LAUNCHER_RC}" ${payload_rc})
  set_source_files_properties("${CMAKE_SOURCE_DIR}/src/Launcher/WinMain.cpp" TARGET_DIRECTORY ${name}
                              PROPERTIES COMPILE_OPTIONS "-Os")
  target_link_libraries(${name} PRIVATE vantor_core)
  vantor_harden_image(${name})
  if(arg_DEPENDS)
    add_dependencies(${name} ${arg_DEPENDS})
  endif()
endfunction()
