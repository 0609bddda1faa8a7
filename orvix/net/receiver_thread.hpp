// The part every orvix.net receiver shares: a native thread that takes
// vectors of messages from a MessageSource and pushes each vector into the
// target as one burst, without the interpreter lock.
//
// To add a receiver:
// - write a MessageSource: open and configure the transport in its
//   constructor (called with the interpreter lock held: throw there, and the
//   type raises), receive() a vector of messages on the thread, wake() a
//   blocked receive from any thread (an eventfd in the poll set, say; never a
//   timeout), and optionally take_pending() and kernel_drops_now();
// - write a Python type (receiver_object.hpp): its tp_new parses its own
//   arguments, builds the source and calls receiver_init(target, source,
//   on_full); make_receiver_type() gives it the shared slots (ReceiverSlots,
//   receiver_methods) beside receiver_getset_with(its own attributes), and
//   net_module.cpp adds it to the module state.
// Lifecycle (start/stop/join, context manager, fork, interpreter exit),
// target resolution (every dispatcher, a SharedProducer), burst pushes with
// on_full, stats() and the ending state are then UdpReceiver's
// (udp_source.cpp and udp_receiver.cpp are the example).
//
// Every message a source takes in is counted once in `received` and ends in
// exactly one of stored, refused_full, too_long, not_allowed or unsent (as
// the thread ends, it takes what the transport still holds and counts it
// unsent):
//   received == stored + refused_full + too_long + not_allowed + unsent.
// kernel_drops and errors count what never reached the receiver.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "orvix/common/producer_thread.hpp"
#include "orvix/ringq/single_writer_counter.hpp"

namespace orvix::net {

enum class OnFull { drop, wait };

// How the thread ended (or that it has not).
enum class Ending { none, stopped, target_closed, failed };

// Each counter has one writer, the receiver thread, which bumps it
// (orvix/ringq/single_writer_counter.hpp). A snapshot taken while the thread
// runs reads recent values; the final ones are published by the thread's
// finished flag (release), which a snapshot acquires first.
struct ReceiverCounters {
    std::atomic<std::uint64_t> received{0};      // messages taken in (all of them)
    std::atomic<std::uint64_t> bytes{0};         // their payload bytes
    std::atomic<std::uint64_t> stored{0};        // pushes answered 1
    std::atomic<std::uint64_t> refused_full{0};  // dropped: the ring was full (on_full="drop")
    std::atomic<std::uint64_t> too_long{0};      // dropped: larger than the ring (or the receive) takes
    std::atomic<std::uint64_t> kernel_drops{0};  // dropped by the kernel before the receiver saw them
    std::atomic<std::uint64_t> not_allowed{0};   // dropped: from a source not on the allow-list
    std::atomic<std::uint64_t> unsent{0};        // taken in, not pushed: the receiver stopped or the target closed
    std::atomic<std::uint64_t> errors{0};        // failed receives
};

class MessageSource {
public:
    virtual ~MessageSource() = default;
    // On the receiver thread: waits until messages are there or wake() is
    // called, then describes up to messages.size() of them, in order, in
    // messages[0..n); their bytes stay valid until the next receive. It
    // counts received and bytes for each message taken in, and the losses
    // it decides itself (too_long, kernel_drops, not_allowed, errors).
    // Returns n (0: woken, or nothing to push), or -1 with `error` set for a
    // failure that ends the receiver.
    virtual std::ptrdiff_t receive(std::span<OrvixRingMessage> messages, ReceiverCounters& counters,
                                   std::string& error) noexcept = 0;
    // On the receiver thread as it ends: like receive, but only the messages
    // already there (0 at once when none). The receiver counts them unsent,
    // so that what the transport had accepted is never lost in silence.
    virtual std::ptrdiff_t take_pending(std::span<OrvixRingMessage> messages, ReceiverCounters& counters,
                                        std::string& error) noexcept {
        (void)messages, (void)counters, (void)error;
        return 0;
    }
    // Any thread: a receive blocked now or started later returns soon.
    // Once called, every later receive returns at once.
    virtual void wake() noexcept = 0;
    // The most messages one receive describes.
    virtual std::size_t burst() const noexcept = 0;
    // Any thread: what the transport has dropped so far before the receiver
    // saw it, read now, for a transport that can say so at any moment (a
    // count the receives carry only arrives with the next message).
    virtual std::uint64_t kernel_drops_now() const noexcept { return 0; }
    // Any thread: counts of the transport's own that stats() shows after the
    // shared ones (name, value). A message a source drops for a reason of
    // its own is counted in `received` and in one of these, and the
    // receiver's documentation adds that count to the sum above.
    struct OwnCount {
        const char* name;
        std::uint64_t value;
    };
    virtual std::vector<OwnCount> own_counts() const { return {}; }
};

struct ReceiverSnapshot {
    std::uint64_t received, bytes, stored, refused_full, too_long, kernel_drops, not_allowed, unsent, errors;
    Ending ending;
    std::string error;  // with Ending::failed
};

class ReceiverThread {
public:
    // Throws std::bad_alloc.
    ReceiverThread(const OrvixProducerTarget& target, std::unique_ptr<MessageSource> source, OnFull on_full);
    ReceiverThread(const ReceiverThread&) = delete;
    ReceiverThread& operator=(const ReceiverThread&) = delete;

    common::ProducerThread& lifecycle() noexcept { return lifecycle_; }
    MessageSource& source() noexcept { return *source_; }
    OnFull on_full() const noexcept { return on_full_; }
    // Starts the thread (attached first); throws std::system_error.
    void start();
    ReceiverSnapshot snapshot() const;

private:
    void run() noexcept;
    // Pushes messages[0..n); false when the receiver must end.
    bool push(std::span<OrvixRingMessage> messages);
    void end(Ending ending, std::string error = {});
    void take_pending() noexcept;

    ReceiverCounters counters_;
    const OnFull on_full_;
    std::vector<OrvixRingMessage> messages_;
    std::vector<int> results_;
    mutable std::mutex ending_mutex_;  // guards ending_ and error_ (set once, by the thread)
    Ending ending_ = Ending::none;
    std::string error_;
    // Declared after what the thread uses and destroyed before it: the
    // lifecycle's destructor stops and joins the thread.
    std::unique_ptr<MessageSource> source_;
    common::ProducerThread lifecycle_;
};

const char* ending_name(Ending ending) noexcept;

}  // namespace orvix::net
