# The launcher image and the stock runner that the packer embeds, and the example folder that the
# demo packs.
#
# The Windows build links them itself. A host build makes them in a Windows build of its own
# (<build>/launcher-build, this source tree with the mingw-w64 toolchain), so that the host packer
# builds from one preset; with the same build type that build gives the same bytes as the Windows
# preset, and so the Linux and the Windows packer carry the same image.
#
# Sets ZAMRIK_LAUNCHER_IMAGE (the file), ZAMRIK_LAUNCHER_IMAGE_TARGET (what makes it), the same
# two for ZAMRIK_RUNNER_LIBRARY, and ZAMRIK_EXAMPLE_APP_DIR.
if(WIN32)
  set(ZAMRIK_LAUNCHER_IMAGE "${CMAKE_BINARY_DIR}/launcher-image/launcher-image.exe")
  set(ZAMRIK_LAUNCHER_IMAGE_TARGET zamrik_launcher_image)
  set(ZAMRIK_RUNNER_LIBRARY "${CMAKE_BINARY_DIR}/launcher-image/zamrik-runner.dll")
  set(ZAMRIK_RUNNER_LIBRARY_TARGET zamrik_runner)
  set(ZAMRIK_EXAMPLE_APP_DIR "${CMAKE_BINARY_DIR}/examples/hello/app")
  return()
endif()

include(ExternalProject)
# Release builds carry a release launcher; every other build type the Windows preset's default.
if(CMAKE_BUILD_TYPE STREQUAL "Release")
  set(launcher_build_type Release)
else()
  set(launcher_build_type RelWithDebInfo)
endif()
set(launcher_build "${CMAKE_BINARY_DIR}/launcher-build")
set(ZAMRIK_LAUNCHER_IMAGE "${launcher_build}/launcher-image/launcher-image.exe")
set(ZAMRIK_LAUNCHER_IMAGE_TARGET zamrik_launcher_build)
set(ZAMRIK_RUNNER_LIBRARY "${launcher_build}/launcher-image/zamrik-runner.dll")
set(ZAMRIK_RUNNER_LIBRARY_TARGET zamrik_launcher_build)
set(ZAMRIK_EXAMPLE_APP_DIR "${launcher_build}/examples/hello/app")
ExternalProject_Add(zamrik_launcher_build
  SOURCE_DIR "${PROJECT_SOURCE_DIR}"
  BINARY_DIR "${launcher_build}"
  PREFIX "${CMAKE_BINARY_DIR}/launcher-build-steps"
  CMAKE_GENERATOR Ninja
  CMAKE_ARGS
    "-DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake"
    "-DCMAKE_BUILD_TYPE=${launcher_build_type}"
    -DBUILD_TESTING=OFF
    "-DZAMRIK_COMPANY=${ZAMRIK_COMPANY}" "-DZAMRIK_PRODUCT=${ZAMRIK_PRODUCT}" "-DZAMRIK_VERSION=${ZAMRIK_VERSION}"
  BUILD_COMMAND ${CMAKE_COMMAND} --build "${launcher_build}" --target zamrik_launcher_image zamrik_runner hello_app
  INSTALL_COMMAND ""
  # Ninja in the inner build decides what is out of date.
  BUILD_ALWAYS TRUE
  BUILD_BYPRODUCTS "${ZAMRIK_LAUNCHER_IMAGE}" "${ZAMRIK_RUNNER_LIBRARY}")
