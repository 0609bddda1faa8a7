"""python -m orvix --cflags: the compiler flags of a native producer, for build lines and Makefiles."""
import argparse
import sys
import sysconfig

import orvix

EPILOG = """\
orvix's headers are header-only: there is nothing of orvix to link, so there
is no --libs. A producer process written with orvix/shm/producer.h, or a C++
program on the ring engine orvix/ringq/spsc_ring.hpp (with -std=c++20), needs
only these flags: it includes no Python header and links nothing of Python.
A native producer inside an extension module (orvix/utils/corvane/producer.h)
is compiled with the same flags and links as any extension module of this
CPython does. Each copy of orvix belongs to one CPython, whose headers it
prints: run this with the interpreter orvix is installed in, as in

    cc -O2 $({python} -m orvix --cflags) producer.c -o producer
"""


def include_dirs():
    """orvix's include folder, then this CPython's (Python.h, pyconfig.h) without repeats."""
    dirs = [orvix.get_include(), sysconfig.get_path("include"), sysconfig.get_path("platinclude")]
    return list(dict.fromkeys(dirs))


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m orvix", description="Prints the compiler flags of a native producer, for build lines and Makefiles.",
        epilog=EPILOG.format(python=sys.executable), formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cflags", action="store_true",
                        help="every compiler flag orvix's headers need (today: the include flags alone)")
    parser.add_argument("--includes", action="store_true",
                        help="-I flags for orvix's include folder and this CPython's")
    parser.add_argument("--cmakedir", action="store_true",
                        help="the folder of orvix's CMake package, for -Dorvix_DIR= (orvix.get_cmake_dir())")
    parser.add_argument("--version", action="version", version=orvix.__version__)
    args = parser.parse_args(argv)
    out = []
    if args.cflags or args.includes:
        out += [f"-I{d}" for d in include_dirs()]
    if args.cmakedir:
        out.append(orvix.get_cmake_dir())
    if not out:
        parser.print_help(sys.stderr)
        return 2
    print(" ".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
