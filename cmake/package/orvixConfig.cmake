# orvix's CMake package, installed with the Python package:
#
#     find_package(orvix CONFIG REQUIRED)
#     target_link_libraries(my_producer PRIVATE orvix::headers)
#
# configured with -Dorvix_DIR="$(.venv/bin/python -m orvix --cmakedir)".
#
# orvix::headers is an interface target: the folder of the public headers
# ("orvix/utils/corvane/producer.h", "orvix/ringq/ringq.h", "orvix/version.h", ...)
# and, because those headers include <Python.h>, the headers of the CPython
# (3.12 or 3.13) this copy of orvix was built for, through Python::Module.
# Python is found here unless the project found it first; pass
# -DPython_EXECUTABLE=<the interpreter orvix is installed in> to pick that one.
#
# orvix::producer is the same folder without Python, for what includes no
# Python header: a producer process on "orvix/shm/producer.h", or a C++
# program on the ring engine "orvix/ringq/spsc_ring.hpp" (which needs C++20).
# Asking for it alone looks for no Python at all:
#
#     find_package(orvix CONFIG REQUIRED COMPONENTS producer)
#     target_link_libraries(my_feed_process PRIVATE orvix::producer)
set(_orvix_components headers producer)
foreach(_orvix_component IN LISTS orvix_FIND_COMPONENTS)
  if(NOT _orvix_component IN_LIST _orvix_components)
    set(orvix_FOUND FALSE)
    set(orvix_NOT_FOUND_MESSAGE "orvix has no component '${_orvix_component}' (it has: ${_orvix_components})")
    return()
  endif()
endforeach()

get_filename_component(_orvix_include "${CMAKE_CURRENT_LIST_DIR}/../include" ABSOLUTE)
if(NOT TARGET orvix::producer)
  add_library(orvix::producer INTERFACE IMPORTED)
  set_target_properties(orvix::producer PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_orvix_include}")
endif()

# Without components, or with `headers`: orvix::headers, and with it CPython.
if(NOT orvix_FIND_COMPONENTS OR "headers" IN_LIST orvix_FIND_COMPONENTS)
  include(CMakeFindDependencyMacro)
  if(NOT TARGET Python::Module)
    find_dependency(Python @ORVIX_PYTHON_REQUIREMENT@ COMPONENTS Interpreter Development.Module)
  endif()
  if(NOT TARGET orvix::headers)
    add_library(orvix::headers INTERFACE IMPORTED)
    set_target_properties(orvix::headers PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES "${_orvix_include}"
      INTERFACE_LINK_LIBRARIES Python::Module)
  endif()
endif()
unset(_orvix_include)
unset(_orvix_component)
unset(_orvix_components)
