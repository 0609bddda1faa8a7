// The receiver types of orvix.net._net, each made for one module instance.
#pragma once

#include <Python.h>

namespace orvix::net {

// New reference to the UdpReceiver type for `module`, or nullptr with an exception.
PyObject* make_udp_receiver_type(PyObject* module);

}  // namespace orvix::net
