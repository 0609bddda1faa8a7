// The ZeroMQ receiver's source: a SUB or PULL socket read in bursts.
//
// The socket lives in a ZeroMQ context of its own, so that wake() can end a
// receive blocked in libzmq by shutting that context down: every blocking
// call in it returns ETERM at once, with no timeout to poll and no control
// socket. A bound socket may require CURVE: the server's secret key, and a
// ZAP handler of this context (a small thread, bound before the data
// socket) that lets in only the clients whose public keys were allowed.
//
// Nothing here touches Python.
#pragma once

#include <sys/types.h>
#include <zmq.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orvix/net/receiver_thread.hpp"

namespace orvix::net {

enum class ZmqKind { sub, pull };

// What a message of several frames becomes.
enum class Multipart {
    drop,    // dropped whole and counted (stats()["multipart"])
    framed,  // every message, of one frame or more, is one record: per frame its length (uint32 LE), its bytes
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
    std::size_t burst = 256;
};

// Setting the socket up failed: `value` for what the options or the
// endpoint's text caused (ValueError), else an OSError with `error`.
class ZmqSetupError : public std::runtime_error {
public:
    ZmqSetupError(bool value, int error, const std::string& message)
        : std::runtime_error(message), value(value), error(error) {}
    bool value;
    int error;
};

class ZmqSource final : public MessageSource {
public:
    // Creates the context and the socket, binds or connects every endpoint.
    // Throws ZmqSetupError or std::bad_alloc.
    explicit ZmqSource(const ZmqOptions& options);
    // Shuts the context down, waits for the ZAP thread, closes the socket
    // (the receiver thread has been joined) and terminates the context. In a
    // forked child, leaves it all to the parent: the child has none of
    // libzmq's threads, and terminating would wait for them for ever.
    ~ZmqSource() override;
    ZmqSource(const ZmqSource&) = delete;
    ZmqSource& operator=(const ZmqSource&) = delete;

    // The endpoints as bound or connected: a bound "tcp://host:*" names its port.
    const std::vector<std::string>& endpoints() const noexcept { return endpoints_; }

    // Waits for a message, then takes those libzmq has queued already,
    // without waiting, up to the burst. 0 once woken.
    std::ptrdiff_t receive(std::span<OrvixRingMessage> messages, ReceiverCounters& counters,
                           std::string& error) noexcept override;
    void wake() noexcept override;
    std::size_t burst() const noexcept override { return messages_.size(); }
    std::vector<OwnCount> own_counts() const override;

private:
    int next_frame(zmq_msg_t& frame, ReceiverCounters& counters) noexcept;
    int skip_more_frames(ReceiverCounters& counters) noexcept;
    int frame_into(std::string& record, zmq_msg_t& first, ReceiverCounters& counters) noexcept;
    void release() noexcept;
    void serve_zap() noexcept;
    void teardown() noexcept;
    bool in_owner() const noexcept;

    const ZmqOptions options_;
    const pid_t owner_;
    void* context_ = nullptr;
    void* socket_ = nullptr;
    void* zap_socket_ = nullptr;
    std::thread zap_thread_;
    std::vector<std::string> endpoints_;
    // One zmq_msg_t per message of a burst, the first held_ of them holding
    // the bytes the last receive described; with Multipart::framed the
    // records are copied into records_ instead.
    std::vector<zmq_msg_t> messages_;
    std::vector<std::string> records_;
    std::size_t held_ = 0;
    // The source's own counts, each with one writer (the receiver thread;
    // the ZAP thread for the CURVE ones): see single_writer_counter.hpp.
    std::atomic<std::uint64_t> multipart_{0};       // Multipart::drop: messages of several frames dropped
    std::atomic<std::uint64_t> curve_accepted_{0};  // handshakes of an allowed client key
    std::atomic<std::uint64_t> curve_refused_{0};   // handshakes refused
};

}  // namespace orvix::net
