# The Python package as it is installed, laid out from one description twice:
# staged into <build>/python (PYTHONPATH=<build>/python imports it) and
# installed (scikit-build-core makes the wheel from what is installed).
#
# It holds the Python files under orvix/, the public include folder
# orvix/include/ as a whole, and what CMake generates: orvix/version.h and the
# CMake package (orvix/cmake/). Extension modules add themselves
# (orvix_extension). Sources and internal headers sit outside those places,
# so nothing has to be excluded.

set(ORVIX_GENERATED "${CMAKE_BINARY_DIR}/generated")
# Where in-tree code finds the generated public header "orvix/version.h".
set(ORVIX_GENERATED_INCLUDE "${ORVIX_GENERATED}/orvix/include")

function(orvix_generate_package_files)
  set(ORVIX_VERSION_STRING "${ORVIX_VERSION}")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/version.h.in" "${ORVIX_GENERATED}/orvix/include/orvix/version.h" @ONLY)
  # The installed package asks for the CPython it was built for (each build
  # targets one: 3.12 or 3.13).
  if(Python_VERSION_MAJOR)
    set(ORVIX_PYTHON_REQUIREMENT "${Python_VERSION_MAJOR}.${Python_VERSION_MINOR} EXACT")
  else()
    set(ORVIX_PYTHON_REQUIREMENT "3.12...<3.14")
  endif()
  configure_file("${CMAKE_SOURCE_DIR}/cmake/package/orvixConfig.cmake"
                 "${ORVIX_GENERATED}/orvix/cmake/orvixConfig.cmake" @ONLY)
  include(CMakePackageConfigHelpers)
  # 0.x releases may break the interface between minor versions.
  write_basic_package_version_file("${ORVIX_GENERATED}/orvix/cmake/orvixConfigVersion.cmake"
    VERSION "${PROJECT_VERSION}" COMPATIBILITY SameMinorVersion ARCH_INDEPENDENT)
endfunction()

# orvix_package_files(<root> <globs...>): stages and installs the files under
# <root>/orvix that match, keeping their paths.
function(orvix_package_files root)
  list(TRANSFORM ARGN PREPEND "${root}/")
  file(GLOB_RECURSE files CONFIGURE_DEPENDS RELATIVE "${root}" ${ARGN})
  set(outputs)
  foreach(f IN LISTS files)
    get_filename_component(dir "${f}" DIRECTORY)
    add_custom_command(OUTPUT "${ORVIX_STAGE}/${f}"
      COMMAND ${CMAKE_COMMAND} -E copy_if_different "${root}/${f}" "${ORVIX_STAGE}/${f}"
      DEPENDS "${root}/${f}")
    list(APPEND outputs "${ORVIX_STAGE}/${f}")
    install(FILES "${root}/${f}" DESTINATION "${dir}")
  endforeach()
  string(MD5 id "${root}")
  add_custom_target(orvix_stage_${id} ALL DEPENDS ${outputs})
endfunction()

function(orvix_python_package)
  orvix_package_files("${CMAKE_SOURCE_DIR}" "orvix/*.py" "orvix/*.pyi" "orvix/py.typed" "orvix/include/*")
  orvix_package_files("${ORVIX_GENERATED}" "orvix/*")
endfunction()
