# How launcher images are made: the stub (the launcher's code, its hardening:
# delay-loaded system DLLs, Control Flow Guard, load configuration; its own
# resources), and launchers packed from it with a payload of RT_RCDATA 100
# (the installer) and 101 (its manifest).

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

# The image's resources: manifest, icon and version (VANTOR_VERSION_4).
set(VANTOR_DESCRIPTION "${PROJECT_DESCRIPTION}")
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

# The launcher stub: the launcher's code, hardening and own resources, and no
# payload. Every launcher is made from it by vantor-pack.
function(vantor_add_launcher_stub name)
  vantor_add_gui_program(${name} "${CMAKE_SOURCE_DIR}/src/Launcher/WinMain.cpp" "${VANTOR_LAUNCHER_RC}")
  set_source_files_properties("${CMAKE_SOURCE_DIR}/src/Launcher/WinMain.cpp" TARGET_DIRECTORY ${name}
                              PROPERTIES COMPILE_OPTIONS "-Os")
  target_link_libraries(${name} PRIVATE vantor_core)
  vantor_harden_image(${name})
  target_link_options(${name} PRIVATE -s)  # shipped stripped
endfunction()

# The packer and the fixture packer (any payload, unchecked) built for this
# build host, from the same tree, in a native build of their own.
include(ExternalProject)
set(VANTOR_HOST_BIN "${CMAKE_BINARY_DIR}/host/bin")
set(VANTOR_PACKER "${VANTOR_HOST_BIN}/vantor-pack")
set(VANTOR_PACK_FIXTURE "${VANTOR_HOST_BIN}/pack-fixture")
ExternalProject_Add(host_tools
  SOURCE_DIR "${CMAKE_SOURCE_DIR}"
  BINARY_DIR "${CMAKE_BINARY_DIR}/host"
  PREFIX "${CMAKE_BINARY_DIR}/host-project"
  CONFIGURE_COMMAND "${CMAKE_COMMAND}" -S <SOURCE_DIR> --preset pack-host -B <BINARY_DIR>
  BUILD_COMMAND "${CMAKE_COMMAND}" --build <BINARY_DIR> --target vantor-pack pack-fixture
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS "${VANTOR_PACKER}" "${VANTOR_PACK_FIXTURE}")

# A launcher `name`.exe in the program folder: vantor-pack writes INSTALLER
# and its signed MANIFEST into the stub, checking both first; OPTIONS are
# further vantor-pack options (a version, version strings, an icon).
function(vantor_pack_launcher name)
  cmake_parse_arguments(arg "" "INSTALLER;MANIFEST" "DEPENDS;OPTIONS" ${ARGN})
  set(output "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name}.exe")
  add_custom_command(OUTPUT "${output}"
    COMMAND "${VANTOR_PACKER}" --stub "$<TARGET_FILE:VantorSetup-stub>" --installer "${arg_INSTALLER}"
            --manifest "${arg_MANIFEST}" --arch ${VANTOR_ARCH} --output "${output}" ${arg_OPTIONS}
    DEPENDS VantorSetup-stub host_tools "${VANTOR_PACKER}" "${arg_INSTALLER}" "${arg_MANIFEST}" ${arg_DEPENDS}
    COMMENT "Packing ${name}.exe"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${output}")
endfunction()

# A test launcher with a broken payload, which vantor-pack would refuse: the
# fixture packer writes RESOURCES (ID=FILE, an empty FILE for an empty
# resource) into the stub as they are.
function(vantor_pack_broken_launcher name)
  cmake_parse_arguments(arg "" "" "RESOURCES;DEPENDS" ${ARGN})
  set(output "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name}.exe")
  set(files "")
  foreach(resource IN LISTS arg_RESOURCES)
    string(REGEX REPLACE "^[0-9]+=" "" file "${resource}")
    if(file)
      list(APPEND files "${file}")
    endif()
  endforeach()
  add_custom_command(OUTPUT "${output}"
    COMMAND "${VANTOR_PACK_FIXTURE}" "$<TARGET_FILE:VantorSetup-stub>" "${output}" ${arg_RESOURCES}
    DEPENDS VantorSetup-stub host_tools "${VANTOR_PACK_FIXTURE}" ${files} ${arg_DEPENDS}
    COMMENT "Packing ${name}.exe (broken payload)"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${output}")
endfunction()
