// The reader's datagram socket of AsyncDispatcher and SyncDispatcher, as
// setup() makes it (interpreter lock held), and setup's shared rules.
#pragma once

#include <Python.h>

#include "orvix/utils/corvane/corvane.h"

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

}  // namespace orvix::corvane
