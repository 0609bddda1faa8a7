// A ZeroMQ SUB or PULL socket read in bursts by a receiver thread.
//
// The socket lives in a context of its own: stop ends a receive blocked in
// libzmq by shutting that context down (every blocking call in it returns
// ETERM at once), with no timeout to poll and no control socket. A bound
// socket may require CURVE: the server's secret key, and a ZAP handler of
// this context (a small thread, bound before the data socket) that lets in
// only the clients whose public keys were allowed.
//
// Nothing here touches Python.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <zmq.h>

#include "orvix/ringq/ringq.h"

namespace orvix::net {

enum class ZmqKind { sub, pull };

// What a message of several frames becomes.
enum class Multipart {
    drop,    // dropped whole and counted (stats()["multipart"])
    framed,  // every message, one frame or more, is one record of (uint32 LE length, bytes) per frame
};

using CurveKey = std::array<std::uint8_t, 32>;

struct ZmqOptions {
    ZmqKind kind = ZmqKind::pull;
    std::vector<std::string> endpoints;
    bool bind = false;
    std::vector<std::string> subscriptions;  // SUB: the prefixes it takes ("" for every message)
    int hwm = -1;                            // ZMQ_RCVHWM; negative: libzmq's default (1000)
    Multipart multipart = Multipart::drop;
    std::string curve_secret_key;            // 32 bytes; empty: no CURVE
    std::set<CurveKey> curve_clients;        // the public keys a CURVE server lets in
};

// Setting the socket up failed. kind says what the caller should raise.
class ZmqSetupError : public std::runtime_error {
public:
    enum class Kind { value, os };
    ZmqSetupError(Kind kind, int error, const std::string& message)
        : std::runtime_error(message), kind(kind), error(error) {}
    Kind kind;
    int error;  // errno for Kind::os
};

// What the socket side counts: written by the receiver thread (the ZAP
// thread for the CURVE counts), read by anyone (see single_writer_counter.hpp).
struct ZmqCounts {
    std::atomic<std::uint64_t> received{0};   // messages taken from the socket, multipart ones included
    std::atomic<std::uint64_t> bytes{0};      // their payload bytes, every frame
    std::atomic<std::uint64_t> multipart{0};  // messages of several frames dropped (Multipart::drop)
    std::atomic<std::uint64_t> unframable{0}; // Multipart::framed: messages with a frame of 4 GiB or more, dropped
    std::atomic<std::uint64_t> curve_accepted{0};
    std::atomic<std::uint64_t> curve_refused{0};
};

class ZmqSource {
public:
    // Creates the context and the socket, binds or connects every endpoint.
    // Throws ZmqSetupError (bad options or endpoints, an address in use) or
    // std::bad_alloc. `max_burst` bounds what one receive() returns.
    ZmqSource(const ZmqOptions& options, std::size_t max_burst);
    // Shuts the context down, waits for the ZAP thread, closes the socket if
    // the receiver thread did not, and terminates the context.
    ~ZmqSource();
    ZmqSource(const ZmqSource&) = delete;
    ZmqSource& operator=(const ZmqSource&) = delete;

    // The endpoints as bound or connected: a bound "tcp://host:*" names its port.
    const std::vector<std::string>& endpoints() const noexcept { return endpoints_; }
    const ZmqCounts& counts() const noexcept { return counts_; }

    // Receiver thread only. Waits for a message, then takes those already
    // queued without waiting, up to max_burst: out[i] describes message i
    // until release(). 0 once the context is shut down.
    std::size_t receive(OrvixRingMessage* out);
    // Gives back what the last receive() handed out.
    void release() noexcept;
    // Receiver thread only, as it ends: closes the socket (a ZeroMQ socket is
    // closed by the thread that uses it).
    void close_socket() noexcept;

    // Any thread: a receive blocked now or later returns 0.
    void shutdown() noexcept;

private:
    bool skip_more_frames();
    int frame_into(std::string& record, zmq_msg_t& first);
    void serve_zap() noexcept;
    void teardown() noexcept;

    ZmqOptions options_;
    void* context_ = nullptr;
    void* socket_ = nullptr;
    void* zap_socket_ = nullptr;
    std::thread zap_thread_;
    std::vector<std::string> endpoints_;
    ZmqCounts counts_;
    // One zmq_msg_t per message of a burst (the record of a framed message is
    // copied into records_[i] instead), and how many are held.
    std::vector<zmq_msg_t> messages_;
    std::vector<std::string> records_;
    std::size_t held_ = 0;
};

}  // namespace orvix::net
