// DoorbellReader: the reader's half of the doorbell protocol, one step per
// poll of the ring. No Python in it.
//
//     DoorbellReader reader{doorbell};
//     for (;;) {
//         bool found = poll();                // the reader's own pop
//         switch (reader.after_poll(found)) {
//         case ReaderStep::message:   deliver(); break;
//         case ReaderStep::armed:     break;   // poll once more before waiting
//         case ReaderStep::must_wait: wait_for_wakeup(); reader.woken(); break;
//         }
//     }
#pragma once

#include "orvix/utils/corvane/dispatchers/doorbell.hpp"

namespace orvix::corvane {

enum class ReaderStep {
    message,     // the poll found a message: deliver it
    armed,       // the ring was empty: the doorbell is armed now, poll once more
    must_wait,   // empty again while armed: wait for the producer's wake-up
};

class DoorbellReader {
public:
    explicit DoorbellReader(Doorbell& doorbell) noexcept : doorbell_(&doorbell) {}

    // What the reader does after a poll that found (or did not find) a message.
    ReaderStep after_poll(bool found_message) noexcept {
        if (found_message) {
            // A producer that already took the arming has sent a wake-up,
            // which only costs one pass that finds nothing.
            if (armed_) doorbell_->disarm();
            armed_ = false;
            return ReaderStep::message;
        }
        if (armed_) return ReaderStep::must_wait;
        doorbell_->arm();
        armed_ = true;
        return ReaderStep::armed;
    }

    // After the wait: the producer that woke the reader took the arming back.
    void woken() noexcept { armed_ = false; }

private:
    Doorbell* doorbell_;
    bool armed_ = false;
};

}  // namespace orvix::corvane
