# Locates CPython (interpreter and headers) for the extension modules: one of
# the versions in ORVIX_PYTHON_VERSIONS, 3.12 or 3.13. A build tree targets
# exactly one of them; build one tree per version to serve both.
#
# Order: an interpreter handed in by the caller (scikit-build-core, or
# -DPython_EXECUTABLE=...), then pyenv's default location, then pythonX.Y on
# PATH (pyenv's shim may answer there without working, so it comes last),
# each version in the order of the list. Any other version is refused with a
# message that says what is missing: the plain python3 on these machines is
# 3.11 and must never be picked up.
set(ORVIX_PYTHON_VERSIONS 3.12 3.13)
list(GET ORVIX_PYTHON_VERSIONS 0 _orvix_oldest)
list(GET ORVIX_PYTHON_VERSIONS -1 _orvix_newest)
string(REPLACE ";" " or " _orvix_versions_text "${ORVIX_PYTHON_VERSIONS}")

if(NOT Python_EXECUTABLE)
  foreach(_orvix_version IN LISTS ORVIX_PYTHON_VERSIONS)
    file(GLOB _orvix_pyenv_pythons "$ENV{HOME}/.pyenv/versions/${_orvix_version}.*/bin/python${_orvix_version}")
    list(SORT _orvix_pyenv_pythons COMPARE NATURAL ORDER DESCENDING)
    if(_orvix_pyenv_pythons)
      list(GET _orvix_pyenv_pythons 0 Python_EXECUTABLE)
      break()
    endif()
  endforeach()
endif()
if(NOT Python_EXECUTABLE)
  foreach(_orvix_version IN LISTS ORVIX_PYTHON_VERSIONS)
    find_program(_orvix_python_on_path NAMES python${_orvix_version} NO_CACHE)
    if(_orvix_python_on_path)
      set(Python_EXECUTABLE "${_orvix_python_on_path}")
      break()
    endif()
  endforeach()
endif()
if(NOT Python_EXECUTABLE)
  message(FATAL_ERROR
    "orvix needs CPython ${_orvix_versions_text} with its development headers, and none was found: "
    "no python${_orvix_oldest} or python${_orvix_newest} on PATH and none under $ENV{HOME}/.pyenv/versions/. "
    "Install one (for example `pyenv install ${_orvix_newest}`) or pass -DPython_EXECUTABLE=/path/to/python3.X.")
endif()

# Up to the newest version of the list: a newer one is refused until the
# interpreter internals (cpython_support/interpreter_internals.hpp) are checked against it.
find_package(Python ${_orvix_oldest}...<3.14 COMPONENTS Interpreter Development.Module)
if(NOT Python_FOUND)
  message(FATAL_ERROR
    "orvix needs CPython ${_orvix_versions_text} with its development headers (Python.h). "
    "Interpreter tried: ${Python_EXECUTABLE}. "
    "Either it is not one of these versions or its headers are missing; install the development "
    "files of CPython ${_orvix_versions_text} or point -DPython_EXECUTABLE at such an interpreter.")
endif()
message(STATUS "orvix: building against CPython ${Python_VERSION} (${Python_EXECUTABLE})")
