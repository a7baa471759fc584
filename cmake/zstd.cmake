# Zstandard. Native: the system's full library (libzstd-dev). Windows: built here from Debian's
# own source package (scripts/fetch-zstd-source.sh), as two static libraries: a
# decompression-only one for the launcher, and a full one for tests and tools that build blocks.
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBZSTD REQUIRED IMPORTED_TARGET libzstd)
  add_library(zstd_decompress INTERFACE)
  target_link_libraries(zstd_decompress INTERFACE PkgConfig::LIBZSTD)
  add_library(zstd_full INTERFACE)
  target_link_libraries(zstd_full INTERFACE PkgConfig::LIBZSTD)
  return()
endif()

set(ZSTD_SOURCE_DIR "${PROJECT_SOURCE_DIR}/.cache/zstd/source" CACHE PATH "Unpacked zstd source package")
if(NOT EXISTS "${ZSTD_SOURCE_DIR}/lib/zstd.h")
  execute_process(COMMAND "${PROJECT_SOURCE_DIR}/scripts/fetch-zstd-source.sh" RESULT_VARIABLE fetch_result)
  if(NOT fetch_result EQUAL 0)
    message(FATAL_ERROR "could not fetch the zstd source package")
  endif()
endif()

set(zstd_lib "${ZSTD_SOURCE_DIR}/lib")
file(GLOB zstd_common_sources "${zstd_lib}/common/*.c")
file(GLOB zstd_decompress_sources "${zstd_lib}/decompress/*.c")
file(GLOB zstd_compress_sources "${zstd_lib}/compress/*.c")

add_library(zstd_decompress STATIC ${zstd_common_sources} ${zstd_decompress_sources})
target_include_directories(zstd_decompress SYSTEM PUBLIC "${zstd_lib}")
# No legacy formats, no dictionary builder, no trace hooks: the launcher only decodes one frame.
target_compile_definitions(zstd_decompress PRIVATE ZSTD_LEGACY_SUPPORT=0 ZSTD_NO_TRACE ZSTD_DISABLE_ASM)
target_compile_options(zstd_decompress PRIVATE -O3 -w)

add_library(zstd_full STATIC ${zstd_common_sources} ${zstd_decompress_sources} ${zstd_compress_sources})
target_include_directories(zstd_full SYSTEM PUBLIC "${zstd_lib}")
target_compile_definitions(zstd_full PRIVATE ZSTD_LEGACY_SUPPORT=0 ZSTD_NO_TRACE ZSTD_DISABLE_ASM ZSTD_MULTITHREAD)
target_compile_options(zstd_full PRIVATE -O3 -w)
target_link_libraries(zstd_full PRIVATE pthread)
