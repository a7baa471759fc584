# The launcher's link path in the Windows build.
#
# The launcher kit: one static archive with the whole launcher (entry, core, zstd decoder) that
# the packer links each application's launcher against. add_onefile_executable() packs an
# application folder with the host packer (built by the native preset) into <name>.exe.

set(ZAMRIK_PACK "${PROJECT_SOURCE_DIR}/build/native/tools/pack/zamrik-pack" CACHE FILEPATH
    "The host packer used to link launchers in this build")
set(ZAMRIK_LAUNCHER_KIT_DIR "${CMAKE_BINARY_DIR}/launcher-kit")

function(zamrik_add_launcher_kit)
  set(parts zamrik_launcher ${ZAMRIK_LAUNCHER_PARTS})
  set(script "create ${ZAMRIK_LAUNCHER_KIT_DIR}/libzamrik_launcher_kit.a\n")
  foreach(part IN LISTS parts)
    get_target_property(type ${part} TYPE)
    if(type STREQUAL "STATIC_LIBRARY")
      string(APPEND script "addlib $<TARGET_FILE:${part}>\n")
      list(APPEND archives ${part})
    endif()
  endforeach()
  string(APPEND script "save\nend\n")
  file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/launcher-kit.mri" CONTENT "${script}")
  add_custom_command(
    OUTPUT "${ZAMRIK_LAUNCHER_KIT_DIR}/libzamrik_launcher_kit.a"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${ZAMRIK_LAUNCHER_KIT_DIR}"
    COMMAND ${CMAKE_COMMAND} -E rm -f "${ZAMRIK_LAUNCHER_KIT_DIR}/libzamrik_launcher_kit.a"
    COMMAND ${CMAKE_AR} -M < "${CMAKE_BINARY_DIR}/launcher-kit.mri"
    DEPENDS ${archives} "${CMAKE_BINARY_DIR}/launcher-kit.mri"
    COMMENT "Making the launcher kit"
    VERBATIM)
  add_custom_target(zamrik_launcher_kit ALL DEPENDS "${ZAMRIK_LAUNCHER_KIT_DIR}/libzamrik_launcher_kit.a")
endfunction()

# add_onefile_executable(<name> APP_DIR <dir> [MAIN <relpath>] [DEPENDS <targets or files>...]
#                        [PACK_OPTIONS <extra zamrik-pack build options>...])
# Makes ${CMAKE_CURRENT_BINARY_DIR}/<name>.exe and a target <name> that builds it.
function(add_onefile_executable name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "APP_DIR;MAIN" "DEPENDS;PACK_OPTIONS")
  if(NOT arg_APP_DIR)
    message(FATAL_ERROR "add_onefile_executable(${name}): APP_DIR is required")
  endif()
  set(output "${CMAKE_CURRENT_BINARY_DIR}/${name}.exe")
  set(options)
  if(arg_MAIN)
    list(APPEND options --main "${arg_MAIN}")
  endif()
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${ZAMRIK_PACK}" build "${arg_APP_DIR}" -o "${output}" ${options} ${arg_PACK_OPTIONS}
            --launcher-kit "${ZAMRIK_LAUNCHER_KIT_DIR}"
    DEPENDS zamrik_launcher_kit "${ZAMRIK_LAUNCHER_KIT_DIR}/libzamrik_launcher_kit.a" "${ZAMRIK_PACK}" ${arg_DEPENDS}
    COMMENT "Packing ${name}.exe"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${output}")
endfunction()
