// SpscRing: the lock-free single-producer/single-consumer message ring that
// carries every orvix message. Header-only, no Python in it.
//
// One producer thread and one consumer thread at a time (they may be the same
// thread, as on an event loop). Messages are copied into the ring with one
// memcpy and handed to the consumer in place, as (pointer, length).
//
//   fixed-size mode     push / push_notify      try_pop, wait_front + pop_front
//   variable-size mode  push_var / push_var_notify    try_pop_var, wait_pop_var
//   bursts              push_burst (fixed or variable)  try_pop_burst, wait_pop_burst
//
// The first call of either family fixes the ring's mode; calls of the other
// family then return kWrongMode. Results are listed in ring_result.hpp and
// the memory layout in ring_layout.hpp.
//
// Options:
// * overwrite: a push into a full ring drops the oldest whole messages to make
//   room (counted by dropped()). The consumer takes messages by compare-and-
//   swap on head_, so a message is either dropped or handed out, never both,
//   and the slot it is reading is never reused while it reads.
// * zerocopy: hand messages out in place. Without it the ring copies each
//   message it hands out into a consumer-side buffer and frees its slot at
//   once, so the producer always has the full capacity. With it a handed-out
//   message keeps its slot until the consumer's next call (or release()); in
//   overwrite mode a push that could only make room by reusing that slot is
//   treated as a push into a full ring. wait_front never copies without
//   overwrite: the message it shows stays in the ring until pop_front.
// * block_on_full: a notify push (push_notify, push_var_notify: the consumer
//   waits on another thread) that finds the ring full sleeps until the
//   consumer has freed room for it plus a quarter of the ring, or the ring
//   is closed; but only while a reader is present and the producer was not
//   interrupted (see below), else it returns kFull. Plain push / push_var never
//   wait: their consumer may be the calling thread itself. A push that does
//   not wait and finds the ring full returns kFull.
//
// Counting: every push either stores its message (stored()) or is refused
// (refused(): full, closed, too large, wrong mode), so the two add up to the
// pushes made; the counters are single-writer fields of the producer.
//
// Handing out: try_pop / try_pop_var / wait_pop_var hand out a message that
// stays readable until the consumer's next call (or release()). wait_front
// hands out the head message without removing it: waiting again hands out
// the same message, pop_front removes it.
//
// Bursts: push_burst stores several messages with the result each would get
// from its own push (up to the first refused as full), but publishes the tail once (and wakes the consumer at
// most once) for the lot; it publishes early only where a single push would
// wait or drop, so that the consumer sees what is already written. A burst
// pop copies every message present, up to the burst's limits, out of the
// ring in one pass: one acquire load of the producer's tail and one release
// store of head (overwrite mode claims the run with one compare-and-swap),
// whatever the count.
//
// Waits spin briefly, then sleep on a futex word; a notify push makes the
// wake-up system call only when the consumer is actually asleep. close()
// wakes every waiter; from then on waits return kClosed and pushes return
// kClosed, while try_pop still drains what is left.
//
// Producer session: the ring has one producer side, and two threads pushing
// at once corrupt it. A producer that attach_producer()s before its first
// push and detach_producer()s after its last makes a second one's attach
// fail instead (the pushes themselves do not check who calls them). The
// attach/detach pair also hands the producer side from one thread to the
// next. interrupt_producer() tells the attached producer to stop waiting:
// its blocked push returns kFull at once, and so does every push that would
// wait, until it detaches.
//
// Reader presence: a blocking push waits only while someone is there to make
// room. set_reader_present(false) (the owner's reader has stopped, or has not
// started) ends such a wait at once and makes blocking pushes refuse with
// kFull instead of waiting, until set_reader_present(true). A new ring has a
// reader present.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#include "orvix/ringq/futex.hpp"
#include "orvix/ringq/index_rereads.hpp"
#include "orvix/ringq/message_copy.hpp"
#include "orvix/ringq/page_buffer.hpp"
#include "orvix/ringq/ring_layout.hpp"
#include "orvix/ringq/ring_message.hpp"
#include "orvix/ringq/ring_result.hpp"
#include "orvix/ringq/ring_shared_state.hpp"
#include "orvix/ringq/single_writer_counter.hpp"
#include "orvix/ringq/wait_points.hpp"

namespace orvix::ringq {

// The ring's counters as one snapshot: see SpscRing::counts().
struct RingCounts {
    std::uint64_t stored = 0, refused = 0, dropped = 0, taken = 0, pending = 0;
};

struct RingOptions {
    std::size_t slot_size = 1024;
    std::size_t capacity = 16384;
    bool overwrite = false;
    bool zerocopy = false;
    bool block_on_full = false;
};

// The memory a ring runs on: the words both sides share and the block its
// messages live in. The in-process ring takes both from the heap; a ring in
// shared memory takes them from a mapping (orvix/shm/shared_mapping.hpp),
// which this object then owns and unmaps when the ring goes.
class RingMemory {
public:
    virtual ~RingMemory() = default;
    virtual RingSharedState& state() noexcept = 0;
    virtual char* block() noexcept = 0;
    // How a side sleeps on one of state()'s sleep words, and wakes a sleeper,
    // when the other side is in another process: a futex keyed on the shared
    // page where the kernel has one (Linux). Where the word's address means
    // nothing to another process (Windows: WaitOnAddress stays within one),
    // the memory pairs each word with a named kernel object instead. A wait
    // may return early; callers look again.
    virtual void wait_shared(WaitWord& word, std::uint32_t expected, std::uint32_t timeout_ms) noexcept
    {
        wait_on_word(word, expected, true, timeout_ms);
    }
    virtual void wake_shared(WaitWord& word) noexcept { wake_word(word, true); }
};

// How far a ring's side trusts the memory it runs on.
struct RingSharing {
    // The other side runs in another process: waits use futexes keyed on the
    // shared page, and both halves of each Dekker pair are full fences (the
    // light/heavy pair makes only this process's threads fence).
    bool across_processes = false;
    // Across processes, the producer's side of each Dekker pair is a compiler
    // fence and the sleeper's a global membarrier (register_for_global_fences
    // in futex.hpp): set on the producer's side only once its process has
    // registered, and on the consumer's only where the command exists. Both
    // sides must agree: the shared header carries the consumer's choice.
    bool asymmetric_fences = false;
    // The consumer of a ring whose producer is in another process: every
    // index and length read from the shared memory is checked against the
    // layout this side holds before it is used, and a bad one makes the ring
    // corrupt (corrupt(): the consumer's calls then answer kClosed) instead of
    // reading outside the block.
    bool untrusted_producer = false;
};

class SpscRing {
public:
    // Builds a ring, or returns null and says why in `error`. Never throws:
    // extension modules build rings, and no exception may cross into Python.
    static std::unique_ptr<SpscRing> create(const RingOptions& options, RingError& error) noexcept
    {
        RingLayout layout;
        error = plan_layout(options.slot_size, options.capacity, layout);
        if (error != RingError::kNone) return nullptr;
        std::unique_ptr<HeapMemory> memory(new (std::nothrow) HeapMemory(layout.total_bytes));
        if (!memory || !memory->block()) {
            error = RingError::kNoMemory;
            return nullptr;
        }
        return over(std::move(memory), options, layout, RingSharing{}, error);
    }

    // A ring on `memory`, whose block is laid out as `layout` (planned from
    // options.slot_size and options.capacity) and whose shared words are
    // either fresh or those of a live ring. Null with kNoMemory when the
    // consumer's copy buffer cannot be had.
    static std::unique_ptr<SpscRing> over(std::unique_ptr<RingMemory> memory, const RingOptions& options,
                                          const RingLayout& layout, RingSharing sharing, RingError& error) noexcept
    {
        const bool copies = !options.zerocopy;
        PageBuffer copy_buffer(copies ? std::max(layout.slot_size, layout.max_record) : 0);
        std::unique_ptr<SpscRing> ring;
        if (memory && (copy_buffer.data() || !copies))
            ring.reset(new (std::nothrow)
                           SpscRing(options, layout, std::move(memory), std::move(copy_buffer), sharing));
        error = ring ? RingError::kNone : RingError::kNoMemory;
        return ring;
    }
    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    // ---- producer ---------------------------------------------------------
    int push(const void* data, std::size_t size) noexcept { return push_message<kFixed>(data, size, false); }
    int push_notify(const void* data, std::size_t size) noexcept { return push_message<kFixed>(data, size, true); }
    int push_var(const void* data, std::size_t size) noexcept { return push_message<kVariable>(data, size, false); }
    int push_var_notify(const void* data, std::size_t size) noexcept
    {
        return push_message<kVariable>(data, size, true);
    }

    // Pushes messages[0..n) in order, as push / push_notify (or their _var
    // forms) would one by one, and stops at the first that the ring refuses
    // as full: pushing later messages past it would reorder them. Each
    // result goes to results[i] when `results` is given. Returns how many
    // messages were dealt with (stored, or refused for good: too large,
    // closed, wrong mode); when that is less than n, message [returned] was
    // refused as full (results[returned] == kFull) and those after it were
    // not pushed.
    std::size_t push_burst(const Message* messages, std::size_t n, int* results, bool variable,
                           bool notify) noexcept
    {
        return variable ? push_many<kVariable>(messages, n, results, notify)
                        : push_many<kFixed>(messages, n, results, notify);
    }

    // ---- consumer ---------------------------------------------------------
    int try_pop(Message& out) noexcept { return take<kFixed>(out, false); }
    int try_pop_var(Message& out) noexcept { return take<kVariable>(out, false); }
    int wait_pop_var(Message& out) noexcept { return take<kVariable>(out, true); }

    // Copies every message present (up to the burst's limits) into `burst`:
    // kHandedOut with burst.count >= 1, kEmpty (try) or kClosed (wait, once
    // the ring is closed: try_pop_burst then drains it), kWrongMode, or
    // kTooLarge when the next message is larger than the whole buffer (or
    // max_messages is 0). A
    // message shown by wait_front comes first. The messages are the
    // consumer's own copies: nothing in the ring is held afterwards.
    int try_pop_burst(Burst& burst, bool variable) noexcept
    {
        return variable ? take_burst<kVariable>(burst, false) : take_burst<kFixed>(burst, false);
    }
    int wait_pop_burst(Burst& burst, bool variable) noexcept
    {
        return variable ? take_burst<kVariable>(burst, true) : take_burst<kFixed>(burst, true);
    }

    // wait_pop_burst, but returns kEmpty after about `timeout_ms` without a
    // message (a consumer that must look at something else now and then).
    int wait_pop_burst_for(Burst& burst, bool variable, std::uint32_t timeout_ms) noexcept
    {
        return variable ? take_burst<kVariable>(burst, true, timeout_ms)
                        : take_burst<kFixed>(burst, true, timeout_ms);
    }

    // Waits until a message is there to take, without taking it: kHandedOut,
    // kEmpty after about `timeout_ms` or once cancelled() holds, kClosed
    // (closed, or corrupt). For a consumer that is woken here, on a thread
    // of its own, but takes its messages elsewhere with burst pops: it reads
    // only shared words, never the taking thread's cursor. Acquire on head
    // pairs with the release store of a burst pop; after each burst head is
    // the cursor, so tail != head means a message not yet taken. Without
    // overwrite, a consumer that does not trust its producer reads its own
    // copy of head: a producer that rewrote the shared one would otherwise
    // have this wait return at once, for ever, while the taking thread finds
    // nothing (its cursor is its own). Whoever
    // makes cancelled() true stores it with seq_cst and then calls
    // wake_consumer(): the same Dekker pair as close().
    template <class Cancelled> int wait_ready_for(std::uint32_t timeout_ms, Cancelled cancelled) noexcept
    {
        if (reader_.corrupt.load(std::memory_order_relaxed)) return kClosed;
        // (Acquire is more than the own copy needs: see publish_head().)
        const std::atomic<std::uint64_t>& head = untrusted_ && !overwrite_ ? reader_.freed : shared_.consumer.head;
        const int r = wait_for(shared_.sleep.consumer, [&] {
            return cancelled() || shared_.producer.tail.load(std::memory_order_acquire) !=
                                      head.load(std::memory_order_acquire);
        }, timeout_ms);
        return r == kHandedOut && cancelled() ? kEmpty : r;
    }
    int wait_ready_for(std::uint32_t timeout_ms) noexcept
    {
        return wait_ready_for(timeout_ms, [] { return false; });
    }

    // Wakes a consumer sleeping in a wait of this ring (any thread), so that
    // a wait_ready_for() looks at its cancelled() again.
    void wake_consumer() noexcept { wake(shared_.sleep.consumer); }

    // The consumer found the shared words of an untrusted producer breaking
    // the layout and reads the ring no more.
    bool corrupt() const noexcept { return reader_.corrupt; }

    int wait_front(Message& out) noexcept
    {
        if (!enter(kFixed)) return kWrongMode;
        if (closed_.load(std::memory_order_acquire)) return kClosed;
        if (reader_.hold != Hold::kPeeked) {
            release();
            // Without overwrite the message can stay where it is: nothing
            // may touch it before pop_front.
            if (!wait_claim<kFixed>(!overwrite_)) return kClosed;
            reader_.hold = Hold::kPeeked;
        }
        out = reader_.current;
        return kHandedOut;
    }

    void pop_front() noexcept
    {
        if (!enter(kFixed)) return;
        if (reader_.hold != Hold::kPeeked) {
            release();
            if (!claim<kFixed>(true)) return;
        }
        reader_.hold = Hold::kTaken;
        count_taken();
        release();
    }

    // Ends the consumer's use of the message handed out last, freeing its
    // slot now instead of at the next call. A message only looked at with
    // wait_front stays in the ring.
    void release() noexcept
    {
        if (reader_.hold != Hold::kTaken) return;
        reader_.hold = Hold::kNothing;
        if (reader_.in_slot) free_slot();
    }

    // ---- any thread -------------------------------------------------------
    void close() noexcept
    {
        // seq_cst: a side that stores its sleeping flag and then finds
        // closed_ false is certain to be seen asleep by the exchanges below.
        // The shared word first: it is what the other side reads.
        shared_.state.closed.store(true, std::memory_order_seq_cst);
        if (untrusted_) own_closed_.store(true, std::memory_order_seq_cst);
        wake(shared_.sleep.consumer);
        wake(shared_.sleep.producer);
    }

    bool closed() const noexcept { return closed_.load(std::memory_order_acquire); }

    // True: attached; false while another producer is attached (or interrupted
    // and not yet detached).
    bool attach_producer() noexcept
    {
        ProducerSession expected = ProducerSession::kNone;
        // Acquire on success: the previous producer's detach released the
        // producer side (tail, the cached limit, the counters) to us.
        return shared_.sleep.session.compare_exchange_strong(expected, ProducerSession::kAttached,
                                                      std::memory_order_acquire, std::memory_order_relaxed);
    }

    // Ends the session (an interruption with it). Called by the attached
    // producer after its last push.
    void detach_producer() noexcept
    {
        // Release: our pushes happen before the next producer's attach.
        shared_.sleep.session.store(ProducerSession::kNone, std::memory_order_release);
    }

    // The attached producer stops waiting for room: a push blocked now
    // returns kFull at once, and so does every push that would wait, until
    // it detaches. False when no producer is attached.
    bool interrupt_producer() noexcept
    {
        ProducerSession expected = ProducerSession::kAttached;
        // seq_cst, then the exchange in wake(): the Dekker pair with a
        // producer going to sleep (see give_up_waiting()).
        if (!shared_.sleep.session.compare_exchange_strong(expected, ProducerSession::kInterrupted,
                                                    std::memory_order_seq_cst) &&
            expected != ProducerSession::kInterrupted)
            return false;
        wake(shared_.sleep.producer);
        return true;
    }

    // A snapshot: the producer may attach or detach meanwhile.
    ProducerSession producer_session() const noexcept { return shared_.sleep.session.load(std::memory_order_relaxed); }

    // Whether a reader is there to make room for a blocking push; without
    // one a blocking push is refused (kFull) instead of waiting. Any thread.
    void set_reader_present(bool present) noexcept
    {
        // seq_cst, then the exchange in wake(): as in interrupt_producer().
        shared_.sleep.reader_present.store(present, std::memory_order_seq_cst);
        if (!present) wake(shared_.sleep.producer);
    }

    bool reader_present() const noexcept { return shared_.sleep.reader_present.load(std::memory_order_relaxed); }

    // Messages stored and neither taken by the consumer nor dropped (one
    // looked at with wait_front still counts). A snapshot: see counts().
    std::size_t size() const noexcept { return pending_of(shared_.producer.stored.load(std::memory_order_acquire)); }

    // Every counter, read so that the snapshot keeps the relations that hold
    // at any one moment, although both sides move while it is read:
    //
    //   taken + dropped <= stored     pending <= slots + 1 (fixed-size mode)
    //
    // Counters only grow, so a later read is never smaller: taken and
    // dropped are read before stored, and the pending count after it.
    //
    // * taken + dropped <= stored. A message is taken or dropped, never both,
    //   and only once it was stored: its stored bump happens before its take
    //   (through tail: release in publish(), acquire in the claim) and is
    //   sequenced before its drop (one producer thread). bump() stores with
    //   release and the loads below acquire, so the read of stored that
    //   follows sees at least every message the reads of taken and dropped
    //   counted.
    // * pending <= slots + 1. The producer stores message s only once it has
    //   seen (acquiring head) that all but `slots` messages before it are
    //   gone; the consumer counts a message taken before it frees the next
    //   one's slot, and the producer counts its drops itself. Through the
    //   release of that bump of stored, taken and dropped read after stored
    //   count all those messages but one: the consumer frees a slot before
    //   it counts its message taken when it copies the message out (and
    //   wait_front with overwrite counts it only at pop_front): the "+ 1".
    //
    // Variable-size mode counts records, which are as many as their sizes
    // allow.
    RingCounts counts() const noexcept
    {
        RingCounts c;
        c.taken = shared_.consumer.taken.load(std::memory_order_acquire);
        c.dropped = shared_.producer.dropped.load(std::memory_order_acquire);
        c.stored = shared_.producer.stored.load(std::memory_order_acquire);
        c.refused = shared_.producer.refused.load(std::memory_order_relaxed);  // in no relation
        c.pending = pending_of(c.stored);
        return c;
    }

    // The producer's counters and the consumer's: relaxed loads of fields
    // that one side alone writes, so each is exact but they are read at
    // slightly different moments while both sides run.
    //   stored   pushes that stored their message
    //   refused  pushes that stored nothing: full, closed, too large, wrong mode
    //   dropped  stored messages overwritten before the consumer took them
    //   taken    messages handed to the consumer (wait_front's once pop_front removes it)
    std::uint64_t stored() const noexcept { return shared_.producer.stored.load(std::memory_order_relaxed); }
    std::uint64_t dropped() const noexcept { return shared_.producer.dropped.load(std::memory_order_relaxed); }
    std::uint64_t refused() const noexcept { return shared_.producer.refused.load(std::memory_order_relaxed); }
    std::uint64_t taken() const noexcept { return shared_.consumer.taken.load(std::memory_order_relaxed); }
    const RingLayout& layout() const noexcept { return layout_; }
    bool overwrite() const noexcept { return overwrite_; }
    bool zerocopy() const noexcept { return zerocopy_; }
    bool block_on_full() const noexcept { return block_on_full_; }

private:
    using Mode = RingMode;
    enum class Hold : std::uint8_t { kNothing, kTaken, kPeeked };
    static constexpr std::uint64_t kPadding = std::numeric_limits<std::uint64_t>::max();
    static constexpr unsigned kSpinsBeforeSleep = 1024;  // some 20-50 us of pause
    // Times a producer may lap the ring between two loads of the consumer's
    // before it counts as breaking the layout (see tail_past_head()).
    static constexpr unsigned kLapsBeforeCorrupt = 1024;
    // 128, not 64: x86 prefetches cache lines in pairs.
    static constexpr std::size_t kLine = 128;

    // The in-process ring's memory: a block from the OS, the shared words here.
    class HeapMemory final : public RingMemory {
    public:
        explicit HeapMemory(std::size_t bytes) noexcept : block_(bytes) {}
        RingSharedState& state() noexcept override { return state_; }
        char* block() noexcept override { return block_.data(); }

    private:
        PageBuffer block_;
        RingSharedState state_;
    };

    SpscRing(const RingOptions& options, const RingLayout& layout, std::unique_ptr<RingMemory> memory,
             PageBuffer copy_buffer, RingSharing sharing) noexcept
        : overwrite_(options.overwrite),
          zerocopy_(options.zerocopy),
          block_on_full_(options.block_on_full),
          across_processes_(sharing.across_processes),
          asymmetric_across_(sharing.across_processes && sharing.asymmetric_fences),
          untrusted_(sharing.untrusted_producer),
          layout_(layout),
          memory_(std::move(memory)),
          copy_buffer_(std::move(copy_buffer)),
          bytes_(memory_->block()),
          shared_(memory_->state()),
          closed_(untrusted_ ? own_closed_ : shared_.state.closed),
          own_mode_(shared_.state.mode.load(std::memory_order_relaxed))
    {
        enable_asymmetric_fences();
    }

    // The first call decides the mode for good. Relaxed: the mode is all the
    // information; messages are published through tail_ and head_. A
    // consumer that does not trust its producer took the creator's mode once,
    // when it was built: the shared word is the producer's to read.
    bool enter(Mode mode) noexcept
    {
        if (untrusted_) return own_mode_ == mode;
        Mode seen = shared_.state.mode.load(std::memory_order_relaxed);
        if (seen == mode) [[likely]] return true;
        return seen == kUnset && (shared_.state.mode.compare_exchange_strong(seen, mode, std::memory_order_relaxed) || seen == mode);
    }

    // Positions count slots (fixed) or bytes (variable) since the start and
    // never wrap in practice (2^64); masking finds them in memory.
    template <Mode M> std::uint64_t units() const noexcept { return M == kFixed ? layout_.slots : layout_.ring_bytes; }
    template <Mode M> std::uint64_t mask() const noexcept { return units<M>() - 1; }

    // Where the 8-byte length of the message at position `at` is stored:
    // the length table (fixed) or the record's first bytes (variable).
    template <Mode M> char* length_word(std::uint64_t at) const noexcept
    {
        return M == kFixed ? bytes_ + layout_.lengths_offset + (at & mask<kFixed>()) * kRecordHeader
                           : bytes_ + (at & mask<kVariable>());
    }
    // Where its payload starts: its own slot (fixed), behind the length (variable).
    template <Mode M> char* payload(std::uint64_t at) const noexcept
    {
        return M == kFixed ? bytes_ + (at & mask<kFixed>()) * layout_.slot_stride
                           : bytes_ + (at & mask<kVariable>()) + kRecordHeader;
    }
    template <Mode M> std::uint64_t length_at(std::uint64_t at) const noexcept
    {
        std::uint64_t length;
        std::memcpy(&length, length_word<M>(at), sizeof length);
        return length;
    }
    // locate() for a consumer that trusts nothing it reads from the shared
    // block: the position, the length and the record's end are checked
    // against the layout this side planned (never against values read from
    // the block), each word read once. Any violation makes the ring corrupt
    // and hands out nothing.
    template <Mode M> std::uint64_t locate_checked(std::uint64_t at, Message& out, std::uint64_t limit) noexcept
    {
        out = {bytes_, 0};
        if (at >= limit) return corrupt_at(limit);
        std::uint64_t length = 0, next = 0;
        if constexpr (M == kFixed) {
            length = length_at<M>(at);
            if (length > layout_.slot_size) return corrupt_at(limit);
            next = at + 1;
        } else {
            if (at & 7) return corrupt_at(limit);  // records start on 8 bytes: the length word fits
            length = length_at<M>(at);
            if (length == kPadding) {
                at += layout_.ring_bytes - (at & mask<kVariable>());
                if (at >= limit) return corrupt_at(limit);
                length = length_at<M>(at);
            }
            if (length > layout_.max_record ||
                (at & mask<kVariable>()) + record_bytes(static_cast<std::size_t>(length)) > layout_.ring_bytes)
                return corrupt_at(limit);
            next = at + record_bytes(static_cast<std::size_t>(length));
        }
        if (next > limit) return corrupt_at(limit);
        out = {payload<M>(at), static_cast<std::size_t>(length)};
        return next;
    }

    std::uint64_t corrupt_at(std::uint64_t limit) noexcept
    {
        reader_.corrupt = true;
        return limit;
    }

    // The producer's tail as the consumer may use it: acquire, pairing with
    // publish() (the message bytes before it are visible). From an untrusted
    // producer it must lie within one ring of `from` (the consumer's own
    // position), else the ring is corrupt and looks empty.
    template <Mode M> std::uint64_t tail_from(std::uint64_t from) noexcept
    {
        const std::uint64_t tail = shared_.producer.tail.load(std::memory_order_acquire);
        if (untrusted_ && tail - from > units<M>()) [[unlikely]] {
            reader_.corrupt = true;
            return from;
        }
        return tail;
    }

    // Overwrite mode: tail_from() for a consumer whose head the producer
    // moves too (it drops the oldest messages before it publishes a tail
    // beyond them), so a tail more than a ring past a head read before it
    // proves nothing: head is read again after the tail. Acquire on the
    // tail orders the drops that made room for it before that load, so an
    // honest tail lies within one ring of it, unless head has moved past
    // the tail meanwhile (the producer lapped the ring between the two
    // loads): then both are read again, a bounded number of times.
    // `head` becomes the head read last.
    template <Mode M> std::uint64_t tail_past_head(std::uint64_t& head) noexcept
    {
        std::uint64_t tail = shared_.producer.tail.load(std::memory_order_acquire);
        if (!untrusted_) return tail;
        for (unsigned laps = 0; tail - head > units<M>(); ++laps) {
            head = shared_.consumer.head.load(std::memory_order_acquire);
            if ((head <= tail && tail - head > units<M>()) || laps == kLapsBeforeCorrupt) [[unlikely]] {
                reader_.corrupt = true;
                return head;
            }
            if (head > tail) tail = shared_.producer.tail.load(std::memory_order_acquire);
        }
        return tail;
    }

    template <Mode M> void write_message(std::uint64_t at, std::uint64_t length, const void* data) noexcept
    {
        std::memcpy(length_word<M>(at), &length, sizeof length);
        if (length != 0 && length != kPadding) copy_message(payload<M>(at), data, length);
    }

    // Reads the message at `at` into `out` and returns where the next begins.
    // Only called for positions the producer has published and may not reuse.
    // `limit` is the tail it was published under: a producer that is not
    // trusted gets its records checked against it and against the layout.
    template <Mode M> std::uint64_t locate(std::uint64_t at, Message& out, std::uint64_t limit) noexcept
    {
        if (untrusted_) [[unlikely]] return locate_checked<M>(at, out, limit);
        std::uint64_t length = length_at<M>(at);
        if (M == kVariable && length == kPadding) {  // the rest of the lap is unused
            at += layout_.ring_bytes - (at & mask<kVariable>());
            length = length_at<M>(at);
        }
        out = {payload<M>(at), static_cast<std::size_t>(length)};
        return at + (M == kFixed ? 1 : record_bytes(static_cast<std::size_t>(length)));
    }

    // ---- producer internals -------------------------------------------------

    template <Mode M> int push_message(const void* data, std::size_t size, bool notify) noexcept
    {
        // Relaxed: only this thread stores tail.
        std::uint64_t t = shared_.producer.tail.load(std::memory_order_relaxed);
        const int r = write_one<M>(t, data, size, notify, [] {});
        if (r == kStored) {
            bump(shared_.producer.stored);
            publish(t, notify);
        }
        return r;
    }

    // The burst: written one by one, counted and published once. Before a
    // message that must make room (wait, or drop the oldest) what is written
    // so far is counted and published: the consumer can only make room
    // from what it sees, and a drop must never pass the published tail.
    template <Mode M>
    std::size_t push_many(const Message* messages, std::size_t n, int* results, bool notify) noexcept
    {
        // Relaxed: only this thread stores tail.
        std::uint64_t t = shared_.producer.tail.load(std::memory_order_relaxed);
        std::size_t i = 0, unpublished = 0;
        auto publish_written = [&] {
            if (unpublished == 0) return;
            bump(shared_.producer.stored, unpublished);
            publish(t, notify);
            unpublished = 0;
        };
        for (; i < n; ++i) {
            const int r = write_one<M>(t, messages[i].data, messages[i].size, notify, publish_written);
            if (results) results[i] = r;
            if (r == kFull) break;
            if (r == kStored) ++unpublished;
        }
        publish_written();
        return i;
    }

    // Writes one message at `t`, the producer's own next position (ahead of
    // the published tail within a burst), and moves `t` past it; or refuses
    // it. `before_room()` runs before the slow path that makes room.
    template <Mode M, class BeforeRoom>
    int write_one(std::uint64_t& t, const void* data, std::size_t size, bool notify, BeforeRoom before_room) noexcept
    {
        if (!enter(M)) [[unlikely]] return refuse(kWrongMode);
        if (size > (M == kFixed ? layout_.slot_size : layout_.max_record)) [[unlikely]] return refuse(kTooLarge);
        // Acquire is not needed: close() publishes nothing but the flag.
        if (closed_.load(std::memory_order_relaxed)) [[unlikely]] return refuse(kClosed);

        std::uint64_t need = 1, at = t;
        if constexpr (M == kVariable) {
            const std::uint64_t left_in_lap = layout_.ring_bytes - (t & mask<kVariable>());
            need = record_bytes(size);
            if (need > left_in_lap) {  // never split a record: skip to the lap's start
                at = t + left_in_lap;
                need += left_in_lap;
            }
        }
        if (t + need > writer_.limit) [[unlikely]] {
            before_room();
            if (const int r = make_room<M>(t, need, notify); r != kStored) return r;
        }

        if (at != t) write_message<M>(t, kPadding, nullptr);
        write_message<M>(at, size, data);
        t += need;
        return kStored;
    }

    void publish(std::uint64_t tail, bool notify) noexcept
    {
        // Release: the message bytes written above are visible to a
        // consumer that acquires the new tail.
        shared_.producer.tail.store(tail, std::memory_order_release);
        if (notify) wake_if_asleep(shared_.sleep.consumer);
    }

    // Slow path of a push that found no room in its cached limit.
    // Out of line: the push's fast path then needs no stack frame of its own.
    template <Mode M> [[gnu::noinline, gnu::cold]] int make_room(std::uint64_t t, std::uint64_t need, bool notify) noexcept
    {
        for (unsigned spins = 0;; ++spins) {
            ORVIX_RINGQ_INDEX_REREAD();
            // seq_cst, head before held: see claim_contended(). A producer that sees
            // head moved past a message also sees it held if it is, and the
            // consumer's release stores make its reads of freed slots happen
            // before our writes.
            const std::uint64_t head = shared_.consumer.head.load(std::memory_order_seq_cst);
            const std::uint64_t held = overwrite_ ? shared_.consumer.held.load(std::memory_order_seq_cst) : kNoSlot;
            writer_.limit = std::min(head, held) + units<M>();
            if (t + need <= writer_.limit) return kStored;
            if (overwrite_) {
                if (held == kNoSlot || t + need <= held + units<M>()) {
                    drop_oldest<M>(head);  // the oldest pending message stands in the way
                    continue;
                }
                if (!zerocopy_) {  // the consumer is copying that message out right now
                    spins < kSpinsBeforeSleep ? cpu_relax() : std::this_thread::yield();
                    continue;
                }
                // zerocopy: the consumer reads it in place; it is full as it stands.
            }
            if (!(notify && block_on_full_) || give_up_waiting()) return refuse(kFull);
            if (!wait_for_room<M>(t, need)) return refuse(kClosed);
        }
    }

    // Drops the message at `head`, unless the consumer has just taken it.
    template <Mode M> void drop_oldest(std::uint64_t head) noexcept
    {
        Message ignored;
        // Reading the record header is safe: we wrote it and only we write.
        const std::uint64_t next = locate<M>(head, ignored, shared_.producer.tail.load(std::memory_order_relaxed));
        // seq_cst: see claim_contended(). Losing the race means the consumer took
        // this message (or the head moved): either way the caller looks again.
        if (shared_.consumer.head.compare_exchange_strong(head, next, std::memory_order_seq_cst))
            bump(shared_.producer.dropped);
    }

    // Sleeps until the consumer frees what stands in the way (or close()).
    // Without overwrite that is a quarter of the ring beyond this message:
    // a producer woken for every freed slot would cost a wake-up and a sleep
    // per message while the consumer is the slower side.
    template <Mode M> bool wait_for_room(std::uint64_t t, std::uint64_t need) noexcept
    {
        const std::uint64_t end = t + need + std::min(units<M>() / 4, units<M>() - need);
        const std::uint64_t head_needed = overwrite_ || end <= units<M>() ? 0 : end - units<M>();
        // Relaxed: read by the consumer only after it sees the flag raised
        // below; a stale (smaller) value only wakes us early, which is harmless.
        shared_.sleep.producer_wake_at.store(head_needed, std::memory_order_relaxed);
        // Acquire: the re-check of the Dekker pair in wait_until(). Giving
        // up counts as ready: make_room() looks again and refuses.
        auto room = [&] {
            if (give_up_waiting()) return true;
            if (!overwrite_) return shared_.consumer.head.load(std::memory_order_acquire) >= head_needed;
            const std::uint64_t held = shared_.consumer.held.load(std::memory_order_acquire);
            return held == kNoSlot || t + need <= held + units<M>();
        };
        return wait_until(shared_.sleep.producer, room);
    }

    // A producer about to wait (or waiting) for room must not: it was
    // interrupted, or no reader is there to make room.
    //
    // Race-free against a producer going to sleep: wait_until() raises the
    // producer's flag, runs heavy_fence() (a seq_cst fence), then calls
    // this; interrupt_producer() and set_reader_present(false) store with
    // seq_cst, then exchange the flag with seq_cst in wake(). If our load
    // misses their store, the fence precedes their store in the single total
    // order, so their exchange follows our fence and finds the flag raised:
    // they wake us. Otherwise we see the store and do not sleep. Relaxed
    // loads suffice: the fence orders them, and neither word carries data.
    bool give_up_waiting() const noexcept
    {
        return shared_.sleep.session.load(std::memory_order_relaxed) == ProducerSession::kInterrupted ||
               !shared_.sleep.reader_present.load(std::memory_order_relaxed);
    }

    // ---- consumer internals -------------------------------------------------

    template <Mode M> int take(Message& out, bool wait) noexcept
    {
        if (reader_.corrupt) return kClosed;
        if (!enter(M)) return kWrongMode;
        if (wait && closed_.load(std::memory_order_acquire)) return kClosed;
        if (reader_.hold != Hold::kPeeked) {
            release();
            if (!(wait ? wait_claim<M>(false) : claim<M>(false))) return wait || reader_.corrupt ? kClosed : kEmpty;
        }
        reader_.hold = Hold::kTaken;
        count_taken();
        out = reader_.current;
        return kHandedOut;
    }

    template <Mode M> int take_burst(Burst& burst, bool wait, std::uint32_t timeout_ms = 0) noexcept
    {
        burst.count = burst.bytes = 0;
        if (reader_.corrupt) return kClosed;
        if (!enter(M)) return kWrongMode;
        if (burst.max_messages == 0) return kTooLarge;
        if (wait && closed_.load(std::memory_order_acquire)) return kClosed;
        release();
        for (;;) {
            const int r = overwrite_ ? burst_contended<M>(burst) : burst_owned<M>(burst);
            if (r != kEmpty || !wait) return r;
            const int woken = wait_for(shared_.sleep.consumer, [&] { return message_ready(); }, timeout_ms);
            if (woken != kHandedOut) return woken;
        }
    }

    // Appends `m` to the burst; false when it does not fit.
    static bool copy_into(Burst& burst, const Message& m) noexcept
    {
        if (burst.count == burst.max_messages || m.size > burst.buffer_bytes - burst.bytes) return false;
        if (m.size) copy_message(burst.buffer + burst.bytes, m.data, m.size);
        burst.bytes += m.size;
        burst.ends[burst.count++] = burst.bytes;
        return true;
    }

    // What a burst returns once it has copied what it could.
    int burst_result(const Burst& burst, bool next_too_large) const noexcept
    {
        return burst.count ? kHandedOut : reader_.corrupt ? kClosed : next_too_large ? kTooLarge : kEmpty;
    }

    // A message shown by wait_front is the burst's first (still in its slot).
    bool take_peeked_into(Burst& burst) noexcept
    {
        if (reader_.hold != Hold::kPeeked) return false;
        if (!copy_into(burst, reader_.current)) return false;
        reader_.hold = Hold::kNothing;
        return true;
    }

    // Without overwrite: everything between the cursor and the tail is ours.
    template <Mode M> int burst_owned(Burst& burst) noexcept
    {
        take_peeked_into(burst);
        if (reader_.hold == Hold::kPeeked) return burst_result(burst, true);
        // Acquire, once for the whole burst: pairs with publish(); the bytes
        // of every message before this tail are visible.
        const std::uint64_t tail = tail_from<M>(reader_.cursor);
        reader_.tail_cache = tail;
        bool too_large = false;
        while (reader_.cursor != tail) {
            Message m;
            const std::uint64_t next = locate<M>(reader_.cursor, m, tail);
            if (reader_.corrupt) break;
            if (!copy_into(burst, m)) {
                too_large = m.size > burst.buffer_bytes;
                break;
            }
            reader_.cursor = next;
        }
        if (burst.count == 0) return burst_result(burst, too_large);
        // Counted before the slots are freed, so that the producer's next
        // messages find these counted (see counts(): no "+ 1" for bursts).
        bump(shared_.consumer.taken, burst.count);
        reader_.in_slot = false;
        // Release, once for the whole burst: our reads of every slot before
        // the cursor happen before the producer, acquiring head, writes them again.
        publish_head(reader_.cursor);
        if (block_on_full_) wake_producer(reader_.cursor);
        return kHandedOut;
    }

    // Overwrite mode: announce the run as held (as claim_contended() does
    // for one message), check it is still there, claim it from head to its
    // end with one compare-and-swap, then copy it out. A producer that
    // needs the slots of a held run waits (or refuses, zerocopy) instead of
    // writing them; it may still drop messages behind head before our swap,
    // which then fails and we look again.
    template <Mode M> int burst_contended(Burst& burst) noexcept
    {
        // A peeked message read in place (zerocopy) is held already:
        // shared_.consumer.held is its position, before head, which keeps every
        // later slot safe as well. One that was copied out holds nothing.
        const bool holding = reader_.in_slot && take_peeked_into(burst);
        if (!holding) take_peeked_into(burst);
        if (reader_.hold == Hold::kPeeked) return burst_result(burst, true);
        bool too_large = false;
        for (;;) {
            std::uint64_t head = shared_.consumer.head.load(std::memory_order_acquire);
            // Acquire: pairs with publish(); the message bytes are visible.
            const std::uint64_t tail = tail_past_head<M>(head);
            if (head == tail) break;
            if (!holding) {
                // seq_cst: the Dekker pair with make_room (see claim_contended()).
                shared_.consumer.held.store(head, std::memory_order_seq_cst);
                if (shared_.consumer.head.load(std::memory_order_seq_cst) != head) continue;
            }
            // Walk the run and measure it; nothing is copied before the claim.
            std::uint64_t end = head;
            std::size_t count = burst.count, bytes = burst.bytes;
            while (end != tail && count < burst.max_messages) {
                Message m;
                const std::uint64_t next = locate<M>(end, m, tail);
                if (reader_.corrupt) break;
                if (m.size > burst.buffer_bytes - bytes) {
                    too_large = m.size > burst.buffer_bytes;
                    break;
                }
                bytes += m.size;
                ++count;
                end = next;
            }
            if (end == head || reader_.corrupt) break;
            if (!shared_.consumer.head.compare_exchange_strong(head, end, std::memory_order_seq_cst)) continue;
            for (std::uint64_t at = head; at != end && !reader_.corrupt;) {
                Message m;
                at = locate<M>(at, m, end);
                if (!reader_.corrupt) copy_into(burst, m);
            }
            break;
        }
        if (burst.count) bump(shared_.consumer.taken, burst.count);  // before the slots go: see burst_owned()
        reader_.in_slot = false;
        // seq_cst: the claim protocol; the release half lets the producer
        // reuse the slots we read.
        shared_.consumer.held.store(kNoSlot, std::memory_order_seq_cst);
        if (burst.count && block_on_full_) wake_producer(kNoSlot);
        return burst_result(burst, too_large);
    }

    // Takes the next message off the ring into reader_.current. It is read
    // in place, its slot reserved until free_slot(), if `keep` or zerocopy;
    // otherwise it is copied out and its slot freed at once.
    template <Mode M> bool claim(bool keep) noexcept
    {
        if (!(overwrite_ ? claim_contended<M>() : claim_owned<M>())) return false;
        reader_.in_slot = true;
        if (!keep && !zerocopy_) {
            Message& m = reader_.current;
            if (m.size) copy_message(copy_buffer_.data(), m.data, m.size);
            m.data = copy_buffer_.data();
            free_slot();
        }
        return true;
    }

    template <Mode M> bool claim_owned() noexcept
    {
        if (reader_.cursor == reader_.tail_cache) {
            ORVIX_RINGQ_INDEX_REREAD();
            // Acquire: pairs with publish(); the message bytes are visible.
            reader_.tail_cache = tail_from<M>(reader_.cursor);
            if (reader_.cursor == reader_.tail_cache) return false;
        }
        const std::uint64_t next = locate<M>(reader_.cursor, reader_.current, reader_.tail_cache);
        if (reader_.corrupt) return false;
        reader_.cursor = next;
        return true;
    }

    // Overwrite mode: the producer may drop the head message under us.
    template <Mode M> bool claim_contended() noexcept
    {
        for (;;) {
            std::uint64_t head = shared_.consumer.head.load(std::memory_order_acquire);
            // Acquire: pairs with publish(); the message bytes are visible.
            const std::uint64_t tail = tail_past_head<M>(head);
            if (head == tail || reader_.corrupt) {
                shared_.consumer.held.store(kNoSlot, std::memory_order_seq_cst);
                return false;
            }
            // Announce the claim, then check the message is still there: a
            // producer that drops it after this point sees it held and
            // leaves its bytes alone: seq_cst on both sides (Dekker with
            // make_room, which CASes head and then loads held).
            shared_.consumer.held.store(head, std::memory_order_seq_cst);
            if (shared_.consumer.head.load(std::memory_order_seq_cst) != head) continue;
            const std::uint64_t next = locate<M>(head, reader_.current, tail);
            if (reader_.corrupt) {
                shared_.consumer.held.store(kNoSlot, std::memory_order_seq_cst);
                return false;
            }
            if (shared_.consumer.head.compare_exchange_strong(head, next, std::memory_order_seq_cst)) return true;
        }
    }

    // Without overwrite: frees every slot before `head` for the producer
    // (release: see the callers). An untrusted producer may rewrite the
    // shared word, so the consumer's waker (wait_ready_for) reads the
    // consumer's own copy. Relaxed: the waker only compares it with tail and
    // reads no message; a stale copy wakes the taking thread once for nothing.
    void publish_head(std::uint64_t head) noexcept
    {
        shared_.consumer.head.store(head, std::memory_order_release);
        if (untrusted_) reader_.freed.store(head, std::memory_order_relaxed);
    }

    // Gives the slot of the message taken last back to the producer.
    void free_slot() noexcept
    {
        reader_.in_slot = false;
        if (!overwrite_) {
            // Release: our reads of the slots before the cursor happen before
            // the producer, acquiring head, writes them again.
            publish_head(reader_.cursor);
        } else {
            // seq_cst: the claim protocol (see claim_contended()); release as above.
            shared_.consumer.held.store(kNoSlot, std::memory_order_seq_cst);
        }
        if (block_on_full_) wake_producer(overwrite_ ? kNoSlot : reader_.cursor);
    }

    // Acquire: the re-check of the Dekker pair in wait_until() (its fence
    // orders these loads after the flag). With overwrite, head only tells
    // whether to claim again: claim_contended() / burst_contended() decide.
    bool message_ready() const noexcept
    {
        const std::uint64_t tail = shared_.producer.tail.load(std::memory_order_acquire);
        return tail != (overwrite_ ? shared_.consumer.head.load(std::memory_order_acquire) : reader_.cursor);
    }

    template <Mode M> bool wait_claim(bool keep) noexcept
    {
        do {
            if (claim<M>(keep)) return true;
        } while (wait_until(shared_.sleep.consumer, [&] { return message_ready(); }));
        return false;
    }

    // Waits until ready() holds (true) or the ring closes (false): spins a
    // little, then sleeps on `flag`, which the other side clears to wake us.
    template <class Ready> bool wait_until(WaitWord& flag, Ready ready) noexcept
    {
        return wait_for(flag, ready, 0) == kHandedOut;
    }

    // As wait_until(), but gives up once about `timeout_ms` (0: never) have
    // passed without ready(): kHandedOut (ready), kClosed (closed, or
    // corrupt), kEmpty (timed out).
    template <class Ready> int wait_for(WaitWord& flag, Ready ready, std::uint32_t timeout_ms) noexcept
    {
        for (unsigned spins = 0; spins < kSpinsBeforeSleep; ++spins) {
            if (closed_.load(std::memory_order_acquire) || reader_.corrupt) return kClosed;
            if (ready()) return kHandedOut;
            cpu_relax();
        }
        // A wake-up that brought nothing (a late one meant for an earlier
        // sleep, an event left set, a spurious return) is not the end of the
        // wait: the sleep goes on for what is left of it.
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline =
            timeout_ms ? Clock::now() + std::chrono::milliseconds(timeout_ms) : Clock::time_point{};   // unbounded: no clock read
        std::uint32_t sleep_ms = timeout_ms;
        for (;;) {
            // Raise the flag, then re-check (the heavy half of the Dekker
            // pair in wake_if_asleep()): the other side either sees the flag
            // or we see its progress. Relaxed store: the fence orders it.
            ORVIX_RINGQ_WAIT_POINT(WaitPoint::raising_flag, flag);
            flag.store(1, std::memory_order_relaxed);
            heavy();
            ORVIX_RINGQ_WAIT_POINT(WaitPoint::flag_raised, flag);
            // Relaxed: the fence orders it, as it orders ready()'s loads;
            // close() stores with seq_cst before it exchanges the flag.
            const bool closed = closed_.load(std::memory_order_relaxed) != 0;
            const bool go = !closed && ready();
            if (!closed && !go) {
                ORVIX_RINGQ_WAIT_POINT(WaitPoint::going_to_sleep, flag);
                if (across_processes_)
                    memory_->wait_shared(flag, 1, sleep_ms);
                else
                    wait_on_word(flag, 1, false, sleep_ms);
            }
            // Relaxed: the flag carries no data; a late wake-up is harmless.
            flag.store(0, std::memory_order_relaxed);
            if (closed || closed_.load(std::memory_order_acquire) || reader_.corrupt) return kClosed;
            if (go || ready()) return kHandedOut;
            if (timeout_ms) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
                if (left <= 0) return kEmpty;
                sleep_ms = static_cast<std::uint32_t>(left);
            }
        }
    }

    // After freeing everything before `head`: wakes a sleeping producer once
    // the room it waits for is there (see wait_for_room()).
    void wake_producer(std::uint64_t head) noexcept
    {
        light();  // the light half of the Dekker pair, as in wake_if_asleep()
        // Relaxed: ordered by the fence pair; the wake-up point is explained
        // where it is stored.
        if (shared_.sleep.producer.load(std::memory_order_relaxed) != 0 &&
            head >= shared_.sleep.producer_wake_at.load(std::memory_order_relaxed))
            wake(shared_.sleep.producer);
    }

    // After publishing progress (a new tail, a freed slot): wakes the other
    // side if it sleeps. The light half of the Dekker pair in wait_until():
    // either its re-check sees our progress, or we see its flag.
    void wake_if_asleep(WaitWord& flag) noexcept
    {
        light();
        // Relaxed: ordered by the fence pair; the flag carries no data.
        if (flag.load(std::memory_order_relaxed) != 0) wake(flag);
    }

    void wake(WaitWord& flag) noexcept
    {
        if (flag.exchange(0, std::memory_order_seq_cst) == 0) return;
        if (across_processes_)
            memory_->wake_shared(flag);
        else
            wake_word(flag, false);
    }

    // The two halves of the Dekker pairs. Across processes the heavy half
    // cannot make the other process fence, so both are full fences.
    // Across processes: the light half is a compiler fence only with the
    // asymmetric pair (the sleeper's global membarrier makes up for it).
    void light() const noexcept
    {
        if (!across_processes_) return light_fence();
        if (asymmetric_across_) return std::atomic_signal_fence(std::memory_order_seq_cst);
        fence_detail::full_fence();
    }
    void heavy() const noexcept
    {
        if (!across_processes_) return heavy_fence();
        if (asymmetric_across_) return global_heavy_fence();
        fence_detail::full_fence();
    }

    // Of the first `stored` messages, those neither taken nor dropped, both
    // read after `stored` (see counts()); 0 when a side moved in between.
    std::size_t pending_of(std::uint64_t stored) const noexcept
    {
        const std::uint64_t gone = shared_.consumer.taken.load(std::memory_order_acquire) +
                                   shared_.producer.dropped.load(std::memory_order_acquire);
        return stored > gone ? static_cast<std::size_t>(stored - gone) : 0;
    }
    void count_taken() noexcept { bump(shared_.consumer.taken); }
    // Every push that stores nothing is counted, whatever the reason, so
    // that stored() + refused() is the number of pushes.
    int refuse(int result) noexcept
    {
        bump(shared_.producer.refused);
        return result;
    }

    // ---- state ----------------------------------------------------------------
    // Read by both sides, never written.
    const bool overwrite_, zerocopy_, block_on_full_;
    const bool across_processes_, asymmetric_across_, untrusted_;
    const RingLayout layout_;
    std::unique_ptr<RingMemory> memory_;
    PageBuffer copy_buffer_;
    char* const bytes_;
    RingSharedState& shared_;
    // What a consumer that does not trust its producer keeps in its own
    // memory rather than read from the shared words, which such a producer
    // may rewrite: whether the ring is closed (close() sets both), and the
    // mode, taken from the creator's word when the ring is built. Every
    // other ring acts on the shared words themselves.
    std::atomic<std::uint32_t> own_closed_{0};
    std::atomic<std::uint32_t>& closed_;
    const Mode own_mode_;

    // What the producer alone knows.
    struct alignas(kLine) WriterState {
        std::uint64_t limit = 0;  // positions below this are known to be free
    } writer_;

    // What the consumer alone knows. With an untrusted producer this side
    // never takes a position from the shared words without checking it.
    struct alignas(kLine) ReaderState {
        std::uint64_t tail_cache = 0;
        std::uint64_t cursor = 0;  // without overwrite: the next message to hand out
        Message current;           // the message handed out last
        Hold hold = Hold::kNothing;
        bool in_slot = false;      // current is read in place: its slot is not yet free
        // The shared words broke the layout: nothing more is read. Atomic (relaxed)
        // because a waking thread (wait_ready_for) reads it beside the taking one.
        std::atomic<bool> corrupt{false};
        // Without overwrite, with an untrusted producer: the head published
        // last (publish_head), for the waking thread.
        std::atomic<std::uint64_t> freed{0};
    } reader_;
};

}  // namespace orvix::ringq
