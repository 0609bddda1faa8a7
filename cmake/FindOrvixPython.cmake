# Locates CPython 3.12 (interpreter and headers) for the extension modules.
#
# Order: an interpreter handed in by the caller (scikit-build-core, or
# -DPython_EXECUTABLE=...), then pyenv's default location, then python3.12 on
# PATH (pyenv's shim may answer there without working, so it comes last).
# Any other version is refused with a message that says what is missing:
# the plain python3 on these machines is 3.11 and must never be picked up.
if(NOT Python_EXECUTABLE)
  file(GLOB _orvix_pyenv_pythons "$ENV{HOME}/.pyenv/versions/3.12.*/bin/python3.12")
  list(SORT _orvix_pyenv_pythons COMPARE NATURAL ORDER DESCENDING)
  find_program(_orvix_python312 NAMES python3.12 NO_CACHE)
  if(_orvix_pyenv_pythons)
    list(GET _orvix_pyenv_pythons 0 Python_EXECUTABLE)
  elseif(_orvix_python312)
    set(Python_EXECUTABLE "${_orvix_python312}")
  else()
    message(FATAL_ERROR
      "orvix needs CPython 3.12 with its development headers, and none was found: "
      "no python3.12 on PATH and none under $ENV{HOME}/.pyenv/versions/3.12.*. "
      "Install CPython 3.12 (for example `pyenv install 3.12`) or pass -DPython_EXECUTABLE=/path/to/python3.12.")
  endif()
endif()

find_package(Python 3.12 EXACT COMPONENTS Interpreter Development.Module)
if(NOT Python_FOUND)
  message(FATAL_ERROR
    "orvix needs CPython 3.12 with its development headers (Python.h). "
    "Interpreter tried: ${Python_EXECUTABLE}. "
    "Either it is not version 3.12 or its headers are missing; install the CPython 3.12 "
    "development files or point -DPython_EXECUTABLE at a 3.12 interpreter that has them.")
endif()
message(STATUS "orvix: building against CPython ${Python_VERSION} (${Python_EXECUTABLE})")
