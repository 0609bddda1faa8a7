"""Receivers that bring messages from other machines into orvix's dispatchers.

``ZmqReceiver(target, endpoints, kind=...)`` receives from ZeroMQ SUB or PULL
sockets on a native thread and pushes each message into a dispatcher (or an
attached ``SharedProducer``) without the interpreter lock. It exists where
orvix was built with libzmq; elsewhere importing it raises ``ImportError``
naming the package to install.
"""

try:
    from orvix.net._zmq import ZMQ_VERSION, ZmqReceiver
except ImportError:
    _ZMQ_MISSING = (
        "orvix.net.ZmqReceiver needs libzmq, which this build of orvix was made without: "
        "install libzmq (Debian: apt-get install libzmq3-dev; found with pkg-config as libzmq >= 4.3) "
        "and build orvix again"
    )

    def __getattr__(name: str) -> object:
        if name in ("ZmqReceiver", "ZMQ_VERSION"):
            raise ImportError(_ZMQ_MISSING, name=__name__)
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

__all__ = ["ZMQ_VERSION", "ZmqReceiver"]
