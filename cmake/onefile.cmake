# Packing in the Windows build: add_onefile_executable() packs an application folder with the
# host packer (built by the native preset, with the launcher image it carries) into <name>.exe.

set(ZAMRIK_PACK "${PROJECT_SOURCE_DIR}/build/native/tools/pack/zamrik-pack" CACHE FILEPATH
    "The host packer used to make launchers in this build")

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
    DEPENDS "${ZAMRIK_PACK}" ${arg_DEPENDS}
    COMMENT "Packing ${name}.exe"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${output}")
endfunction()
