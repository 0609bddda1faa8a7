# orvix's CMake package, installed with the Python package:
#
#     find_package(orvix CONFIG REQUIRED)
#     target_link_libraries(my_producer PRIVATE orvix::headers)
#
# configured with -Dorvix_DIR=$(python -c "import orvix; print(orvix.get_cmake_dir())").
#
# orvix::headers is an interface target: the folder of the public headers
# ("orvix/utils/corvane/producer.h", "orvix/ringq/ringq.h", "orvix/version.h", ...)
# and, because those headers include <Python.h>, the headers of the CPython
# (3.12 or 3.13) this copy of orvix was built for, through Python::Module.
# Python is found here unless the project found it first; pass
# -DPython_EXECUTABLE=<the interpreter orvix is installed in> to pick that one.
# The ring engine "orvix/ringq/spsc_ring.hpp" needs C++20.
include(CMakeFindDependencyMacro)
if(NOT TARGET Python::Module)
  find_dependency(Python @ORVIX_PYTHON_REQUIREMENT@ COMPONENTS Interpreter Development.Module)
endif()

if(NOT TARGET orvix::headers)
  get_filename_component(_orvix_include "${CMAKE_CURRENT_LIST_DIR}/../include" ABSOLUTE)
  add_library(orvix::headers INTERFACE IMPORTED)
  set_target_properties(orvix::headers PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_orvix_include}"
    INTERFACE_LINK_LIBRARIES Python::Module)
  unset(_orvix_include)
endif()
