// The reader's datagram socket of AsyncDispatcher and SyncDispatcher, as
// setup() makes it (interpreter lock held), and setup's shared rules.
#pragma once

#include <Python.h>

#include "cpython_support/function.hpp"
#include "orvix/utils/corvane/corvane.h"
#include "orvix/utils/corvane/module/module_identity.hpp"

namespace orvix::corvane {

// The host of a setup entry call: the record's when it carries one, else
// "127.0.0.1" (borrowed).
PyObject* setup_host(const OrvixSetupOptArgs* opt) noexcept;

// setup's argument rule: exactly str, or None (which bind() then refuses).
// False with TypeError "Argument 'host' has incorrect type (...)".
bool check_setup_host(PyObject* host);

// `import <name>` as a statement inside a method: the loaded module from
// sys.modules, else a real import. New reference, or null with the error.
PyObject* import_module(PyObject* name);

// Setup's guard: raises RuntimeError "setup() was already called on this
// dispatcher" (returns -1) once a setup has opened a socket, else returns 0.
// A second reader on the single-consumer ring, or a reader task left behind
// on a replaced socket, is never what the caller wants.
int refuse_second_setup(PyObject* self);

// Setup's socket steps, from creating the socket up to publishing its
// handle:
//   sock = socket_module.socket(AF_INET, SOCK_DGRAM); sock.setblocking(blocking)
//   sock.bind((host, 0)); self._socket = sock
//   _addr from sock.getsockname(); _sock_fd = sock.fileno() (published)
// `socket_field` is the class's `_socket` field (an owned reference, never
// null), whose offset differs between the classes. Returns a new reference
// to the socket, or null with an exception set (state already changed
// stays changed).
PyObject* open_reader_socket(PyObject* self, PyObject** socket_field, PyObject* socket_module, PyObject* host,
                             bool blocking);

// Closes the reader's socket object: 0, or -1 with an exception. Once the
// collector has been at the dispatcher's garbage (`torn_down`), the Python
// socket object may have lost its attributes too (its close() then fails
// on them); the native socket's own close needs none.
int close_socket(PyObject* sock, bool torn_down);

// The same for a dispatcher that is going away: the native close, any
// error dropped and the caller's exception kept. Without it the collector
// would find the socket open and warn (ResourceWarning).
void close_socket_quietly(PyObject* sock) noexcept;

// A class's own setup: `setup(self, host)`, 0 or -1 with an exception.
using SetupImpl = int (*)(PyObject* self, PyObject* host);

// The table entry `setup`: the host from the optional arguments, then a
// Python subclass's override of setup() or else the class's own `setup`; a
// failure gains the traceback entry of `method`.
void run_setup_entry(PyObject* self, int skip_override, const OrvixSetupOptArgs* opt, PyTypeObject* owner,
                     const py::FunctionSpec& method, SetupImpl setup);

// The Python-level method: the host checked, then the class's own setup.
template <SetupImpl setup>
PyObject* setup_method(py::Function&, PyObject* self, py::BoundArguments& args) {
    if (!check_setup_host(args[0]) || setup(self, args[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

inline constexpr const char* kSetupParameterNames[] = {"host"};

// The description of setup(self, host='127.0.0.1') for the class `Class`.
template <SetupImpl setup>
constexpr py::FunctionSpec setup_spec(const char* qualname, const char* doc) {
    return corvane_function({
        .name = "setup",
        .qualname = qualname,
        .doc = doc,
        .params = {"setup", kSetupParameterNames, 1, 0},
        .impl = setup_method<setup>,
    });
}

}  // namespace orvix::corvane
