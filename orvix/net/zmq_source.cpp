#include "orvix/net/zmq_source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string_view>

#include <unistd.h>

#include "orvix/ringq/single_writer_counter.hpp"

namespace orvix::net {

namespace {

using orvix::ringq::bump;

// Where libzmq asks a context's ZAP handler whether a peer may connect.
constexpr const char* kZapEndpoint = "inproc://zeromq.zap.01";

[[noreturn]] void fail(bool value, int error, const std::string& what) {
    throw ZmqSetupError(value, error, what + ": " + zmq_strerror(error));
}

void set_option(void* socket, int option, const void* value, std::size_t size, const char* name) {
    if (zmq_setsockopt(socket, option, value, size) != 0)
        fail(true, zmq_errno(), std::string("cannot set ") + name);
}

void set_int(void* socket, int option, int value, const char* name) {
    set_option(socket, option, &value, sizeof value, name);
}

// The errors of zmq_bind and zmq_connect that the endpoint's text causes;
// the others come from the system (an address in use or not local, a
// missing interface) and keep their errno.
bool malformed(int error) { return error == EINVAL || error == EPROTONOSUPPORT || error == ENOCOMPATPROTO; }

// Receives every frame of one message; false once the context is shut down.
bool receive_frames(void* socket, std::vector<std::string>& frames) {
    frames.clear();
    for (;;) {
        zmq_msg_t frame;
        zmq_msg_init(&frame);
        if (zmq_msg_recv(&frame, socket, 0) < 0) {
            zmq_msg_close(&frame);
            if (zmq_errno() == EINTR) continue;
            return false;
        }
        frames.emplace_back(static_cast<const char*>(zmq_msg_data(&frame)), zmq_msg_size(&frame));
        const bool more = zmq_msg_more(&frame);
        zmq_msg_close(&frame);
        if (!more) return true;
    }
}

bool send_frames(void* socket, std::initializer_list<std::string_view> frames) {
    std::size_t left = frames.size();
    for (std::string_view frame : frames) {
        while (zmq_send(socket, frame.data(), frame.size(), --left ? ZMQ_SNDMORE : 0) < 0)
            if (zmq_errno() != EINTR) return false;
    }
    return true;
}

void put_le32(std::string& to, std::uint32_t value) {
    for (int b = 0; b < 4; ++b) to.push_back(static_cast<char>(value >> (8 * b)));
}

// Appends a frame to a framed record; false when it cannot be framed (4 GiB
// or more) or no memory is left for the record.
bool append_frame(std::string& record, zmq_msg_t& frame) noexcept {
    const std::size_t size = zmq_msg_size(&frame);
    if (size > UINT32_MAX) return false;
    try {
        put_le32(record, static_cast<std::uint32_t>(size));
        record.append(static_cast<const char*>(zmq_msg_data(&frame)), size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// What a receive that failed means: 0 the call is to be repeated (EINTR),
// -1 nothing is queued (EAGAIN, without waiting), -2 the context was shut
// down (ETERM), -3 anything else.
int failed_receive() noexcept {
    switch (zmq_errno()) {
    case EINTR: return 0;
    case EAGAIN: return -1;
    case ETERM: return -2;
    default: return -3;
    }
}

}  // namespace

ZmqSource::ZmqSource(const ZmqOptions& options)
    : options_(options),
      owner_(getpid()),
      messages_(options.burst),
      records_(options.multipart == Multipart::framed ? options.burst : 0) {
    context_ = zmq_ctx_new();
    if (context_ == nullptr) fail(false, zmq_errno(), "cannot create a ZeroMQ context");
    try {
        const bool curve = !options.curve_secret_key.empty();
        if (curve) {
            // The handler is bound before the data socket: libzmq lets every
            // peer in while a context has none.
            zap_socket_ = zmq_socket(context_, ZMQ_REP);
            if (zap_socket_ == nullptr || zmq_bind(zap_socket_, kZapEndpoint) != 0)
                fail(false, zmq_errno(), "cannot start the CURVE handler");
            zap_thread_ = std::thread([this] { serve_zap(); });
        }
        socket_ = zmq_socket(context_, options.kind == ZmqKind::sub ? ZMQ_SUB : ZMQ_PULL);
        if (socket_ == nullptr) fail(false, zmq_errno(), "cannot create a ZeroMQ socket");
        set_int(socket_, ZMQ_LINGER, 0, "ZMQ_LINGER");
        // Only for IPv6 addresses: with it, a bound IPv4 address reads back as "[::ffff:a.b.c.d]".
        if (std::any_of(options.endpoints.begin(), options.endpoints.end(),
                        [](const std::string& e) { return e.find('[') != std::string::npos; }))
            set_int(socket_, ZMQ_IPV6, 1, "ZMQ_IPV6");
        if (options.hwm >= 0) set_int(socket_, ZMQ_RCVHWM, options.hwm, "the high-water mark (ZMQ_RCVHWM)");
        for (const std::string& prefix : options.subscriptions)
            set_option(socket_, ZMQ_SUBSCRIBE, prefix.data(), prefix.size(), "a subscription");
        if (curve) {
            set_int(socket_, ZMQ_CURVE_SERVER, 1, "ZMQ_CURVE_SERVER");
            set_option(socket_, ZMQ_CURVE_SECRETKEY, options.curve_secret_key.data(), options.curve_secret_key.size(),
                       "the CURVE secret key");
        }
        for (const std::string& endpoint : options.endpoints) {
            const int rc = options.bind ? zmq_bind(socket_, endpoint.c_str()) : zmq_connect(socket_, endpoint.c_str());
            if (rc != 0) {
                const int error = zmq_errno();
                const std::string what = (options.bind ? "cannot bind '" : "cannot connect to '") + endpoint + "'";
                fail(malformed(error), error, what);
            }
            std::string resolved = endpoint;
            if (options.bind) {
                char name[1024];
                std::size_t size = sizeof name;
                if (zmq_getsockopt(socket_, ZMQ_LAST_ENDPOINT, name, &size) == 0) resolved = name;
            }
            endpoints_.push_back(std::move(resolved));
        }
    } catch (...) {
        teardown();
        throw;
    }
}

ZmqSource::~ZmqSource() { teardown(); }

bool ZmqSource::in_owner() const noexcept { return owner_ == getpid(); }

void ZmqSource::teardown() noexcept {
    if (context_ == nullptr || !in_owner()) return;
    zmq_ctx_shutdown(context_);
    if (zap_thread_.joinable()) zap_thread_.join();   // it closes its socket as it ends
    else if (zap_socket_ != nullptr) zmq_close(zap_socket_);   // made, but its bind failed
    zap_socket_ = nullptr;
    release();
    if (socket_ != nullptr) zmq_close(socket_);
    socket_ = nullptr;
    while (zmq_ctx_term(context_) != 0 && zmq_errno() == EINTR) {
    }
    context_ = nullptr;
}

void ZmqSource::wake() noexcept {
    if (in_owner()) zmq_ctx_shutdown(context_);
}

std::vector<MessageSource::OwnCount> ZmqSource::own_counts() const {
    auto load = [](const std::atomic<std::uint64_t>& c) { return c.load(std::memory_order_relaxed); };
    return {{"multipart", load(multipart_)},
            {"curve_accepted", load(curve_accepted_)},
            {"curve_refused", load(curve_refused_)}};
}

std::ptrdiff_t ZmqSource::receive(std::span<OrvixRingMessage> out, ReceiverCounters& counters,
                                  std::string& error) noexcept {
    release();
    std::size_t n = 0;
    // The first message is waited for; the rest of the burst is what libzmq
    // has queued already.
    while (n < out.size()) {
        zmq_msg_t& message = messages_[n];
        zmq_msg_init(&message);
        if (zmq_msg_recv(&message, socket_, n == 0 ? 0 : ZMQ_DONTWAIT) < 0) {
            zmq_msg_close(&message);
            const int failed = failed_receive();
            if (failed == 0) continue;
            if (failed == -3) {
                bump(counters.errors);
                if (n > 0) break;   // pushed first; the next receive fails again
                error = std::string("zmq_msg_recv: ") + zmq_strerror(zmq_errno());
                return -1;
            }
            break;   // nothing more queued, or shut down (the next receive returns 0 at once)
        }
        bump(counters.received);
        bump(counters.bytes, zmq_msg_size(&message));
        if (options_.multipart == Multipart::framed) {
            const int framed = frame_into(records_[n], message, counters);
            if (framed < 0) break;
            if (framed == 0) continue;
            out[n] = {records_[n].data(), records_[n].size()};
        } else if (zmq_msg_more(&message)) {
            zmq_msg_close(&message);
            bump(multipart_);
            if (skip_more_frames(counters) < 0) break;
            continue;
        } else {
            out[n] = {static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message)};
            held_ = n + 1;
        }
        ++n;
    }
    return static_cast<std::ptrdiff_t>(n);
}

void ZmqSource::release() noexcept {
    for (std::size_t i = 0; i < held_; ++i) zmq_msg_close(&messages_[i]);
    held_ = 0;
}

// The next frame of a message whose first frame has been received: libzmq
// delivers a message's frames together, so it is queued already. 0, or -1
// once shut down (`frame` is closed then).
int ZmqSource::next_frame(zmq_msg_t& frame, ReceiverCounters& counters) noexcept {
    zmq_msg_init(&frame);
    while (zmq_msg_recv(&frame, socket_, 0) < 0) {
        if (failed_receive() != 0) {
            zmq_msg_close(&frame);
            return -1;
        }
    }
    bump(counters.bytes, zmq_msg_size(&frame));
    return 0;
}

int ZmqSource::skip_more_frames(ReceiverCounters& counters) noexcept {
    for (bool more = true; more;) {
        zmq_msg_t frame;
        if (next_frame(frame, counters) < 0) return -1;
        more = zmq_msg_more(&frame);
        zmq_msg_close(&frame);
    }
    return 0;
}

// Writes the message whose first frame is `first` (closed here) as one
// record: per frame its length (uint32 LE) and its bytes. 1 written; 0 when
// it cannot be framed (a frame of 4 GiB or more, or no memory for it:
// dropped whole and counted as too long); -1 once shut down.
int ZmqSource::frame_into(std::string& record, zmq_msg_t& first, ReceiverCounters& counters) noexcept {
    bool framable = true;
    record.clear();
    zmq_msg_t next;
    for (zmq_msg_t* frame = &first;; frame = &next) {
        framable = framable && append_frame(record, *frame);
        const bool more = zmq_msg_more(frame);
        zmq_msg_close(frame);
        if (!more) break;
        if (next_frame(next, counters) < 0) return -1;
    }
    if (!framable) bump(counters.too_long);
    return framable ? 1 : 0;
}

// Answers libzmq's ZAP requests (RFC 27): frames version, request id,
// domain, address, identity, mechanism, then the credentials, for CURVE the
// client's 32-byte public key. Only an allowed key gets "200".
void ZmqSource::serve_zap() noexcept {
    std::vector<std::string> request;
    while (receive_frames(zap_socket_, request)) {
        const bool allowed = request.size() >= 7 && request[0] == "1.0" && request[5] == "CURVE" &&
                             request[6].size() == 32 && [&] {
                                 CurveKey key;
                                 std::memcpy(key.data(), request[6].data(), key.size());
                                 return options_.curve_clients.contains(key);
                             }();
        bump(allowed ? curve_accepted_ : curve_refused_);
        const std::string_view id = request.size() > 1 ? std::string_view(request[1]) : std::string_view();
        if (!send_frames(zap_socket_, {"1.0", id, allowed ? "200" : "400",
                                       allowed ? "OK" : "client key not allowed", "", ""}))
            break;
    }
    zmq_close(zap_socket_);
    zap_socket_ = nullptr;
}

}  // namespace orvix::net
