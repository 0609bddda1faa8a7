# Shared build settings and the helper that defines an extension module.

add_library(orvix_warnings INTERFACE)
target_compile_options(orvix_warnings INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra>
  $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra>)

# On ELF platforms a call into libpython from an extension module goes
# through the GOT directly instead of a PLT stub: one jump less on every C-API
# call of the per-message paths.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_compile_options(-fno-plt)
endif()

# The ring's waits (orvix/ringq/futex.hpp) call WaitOnAddress, which Windows
# exports from its synchronization library.
if(WIN32)
  link_libraries(synchronization)
endif()

if(ORVIX_SANITIZE)
  add_compile_options(-fsanitize=${ORVIX_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${ORVIX_SANITIZE})
  if(ORVIX_SANITIZE MATCHES "undefined")
    # The vptr check stays on: it needs the type information of every
    # polymorphic class a module calls into, so no module uses a C++ class
    # that another module defines (the batch module holds the shared rings).
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# Where a build tree lays out an importable copy of the package:
# PYTHONPATH=<build>/python makes `import orvix...` load what this tree built.
set(ORVIX_STAGE "${CMAKE_BINARY_DIR}/python")

# orvix_extension(<target> <package dir> <sources...>)
#   Builds the extension module <target> for CPython 3.12, places it in the
#   staged package beside its Python files and installs it into the wheel.
function(orvix_extension target package_dir)
  Python_add_library(${target} MODULE WITH_SOABI ${ARGN})
  target_link_libraries(${target} PRIVATE orvix_warnings)
  set_target_properties(${target} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY "${ORVIX_STAGE}/${package_dir}"
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  install(TARGETS ${target} LIBRARY DESTINATION ${package_dir})
endfunction()

# orvix_test_extension(<target> <sources...>)
#   A test-only extension module, importable by its bare name from <build>/python.
function(orvix_test_extension target)
  Python_add_library(${target} MODULE WITH_SOABI ${ARGN})
  target_link_libraries(${target} PRIVATE orvix_warnings)
  set_target_properties(${target} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY "${ORVIX_STAGE}"
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden)
endfunction()
