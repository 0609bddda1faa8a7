// PublishedHandle: the reader's wake-up socket handle as producer threads see
// it. No Python in it; the handle is an opaque 64-bit value, all ones for
// "none" (the public header's ORVIX_PLATFORM_SOCKET and its invalid value).
//
// The handle's life:
//   - setup fills whatever a sender needs besides the handle (the address),
//     then publishes the handle (publish);
//   - a producer uses the handle only inside use(), which hands it the value
//     when one is published;
//   - retire() puts "none" back and waits until no producer is still inside
//     use() with the old value, so the caller may close what the handle
//     names: a late producer can neither use a closed handle nor one that the
//     system has since given to another socket or file.
//
// After fork() the child's copy may say that a producer is inside use(): a
// thread of the parent was sending when the fork came. That thread does not
// exist in the child, so the mark carries the fork generation it was made
// in (fork_generation.hpp), and retire() waits only for marks of its own
// process. The parent's send goes through the parent's copy of the handle,
// which the child's close does not touch.
//
// The value itself lives where the caller keeps it (a field of the public
// record, read by native code), so the class holds a pointer to that field
// and accesses it atomically in place.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "orvix/utils/corvane/dispatchers/fork_generation.hpp"

namespace orvix::corvane {

class PublishedHandle {
public:
    using Value = std::uint64_t;
    static constexpr Value kNone = ~Value{0};

    static_assert(std::atomic_ref<Value>::required_alignment <= alignof(Value),
                  "the handle field is accessed atomically in place");

    // `field` holds kNone (or is set to it here) and outlives this object.
    explicit PublishedHandle(Value& field) noexcept : field_(&field) {
        *field_ = kNone;
        ForkGeneration::watch();
    }
    PublishedHandle(const PublishedHandle&) = delete;
    PublishedHandle& operator=(const PublishedHandle&) = delete;

    // Release: everything the caller stored before (the address a sender
    // needs) is visible to a producer whose load in use() sees `handle`.
    void publish(Value handle) noexcept { slot().store(handle, std::memory_order_release); }

    // The handle for the reader's own receive. Acquire pairs with publish();
    // the reader runs under the lock that setup held, so this is plenty.
    Value current() const noexcept { return slot().load(std::memory_order_acquire); }

    // Producer side: calls `send(handle)` when a handle is published, and
    // guarantees that retire() does not return while `send` runs.
    //
    // A Dekker handshake with retire(). Both sides use seq_cst, so in the
    // single total order either
    //   - our mark comes before retire's exchange: retire's later load of
    //     the mark sees it and waits for our unmarking, so the handle stays
    //     valid for the whole send; or
    //   - retire's exchange comes before our load: we read kNone and send
    //     nothing.
    // The load also acquires publish()'s store, so a valid handle comes with
    // everything setup stored before it.
    template <class Send>
    void use(Send&& send) noexcept {
        mark();
        const Value handle = slot().load(std::memory_order_seq_cst);
        if (handle != kNone) send(handle);
        // Release: the send is over before retire() may see the count drop.
        in_use_.fetch_sub(1, std::memory_order_release);
    }

    // Puts kNone back and waits for producers of this process inside use()
    // to leave; returns the old value (kNone when none was published). After
    // it returns the caller may close what the old handle names.
    Value retire() noexcept {
        // seq_cst: the other half of use()'s handshake.
        const Value old = slot().exchange(kNone, std::memory_order_seq_cst);
        // A producer inside use() finishes a few sends at most; waiting for
        // it is bounded and short. seq_cst: the handshake's load on this
        // side, which must not pass the exchange above (acquire alone would
        // let it); it also acquires use()'s unmarking.
        while (senders_here(in_use_.load(std::memory_order_seq_cst)) != 0) std::this_thread::yield();
        return old;
    }

private:
    // The mark word: the fork generation it was made in (high half) and the
    // number of producers between their load of the handle and the end of
    // their send (low half: only ever 0 or 1, one producer at a time, but a
    // count keeps the protocol obvious).
    static constexpr int kGenerationShift = 32;
    static constexpr std::uint64_t kCountMask = (std::uint64_t{1} << kGenerationShift) - 1;

    static std::uint64_t senders_here(std::uint64_t word) noexcept {
        const bool made_here = (word >> kGenerationShift) == ForkGeneration::current();
        return made_here ? word & kCountMask : 0;
    }

    // One more producer of this process inside use(); a count left over
    // from before a fork (its producers are in another process) is
    // replaced. seq_cst on success: the first half of the handshake, as the
    // increment it stands for.
    void mark() noexcept {
        const std::uint64_t mine = std::uint64_t{ForkGeneration::current()} << kGenerationShift;
        std::uint64_t word = in_use_.load(std::memory_order_relaxed);
        while (!in_use_.compare_exchange_weak(word, (word & ~kCountMask) == mine ? word + 1 : mine + 1,
                                              std::memory_order_seq_cst, std::memory_order_relaxed)) {
        }
    }

    std::atomic_ref<Value> slot() const noexcept { return std::atomic_ref<Value>(*field_); }

    Value* field_;
    std::atomic<std::uint64_t> in_use_{0};
};

}  // namespace orvix::corvane
