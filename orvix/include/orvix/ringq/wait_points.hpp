// Wait points: the places in a ring's wait (SpscRing::wait_until) where the
// other side's action decides whether a wake-up can be lost. A test that
// defines ORVIX_RINGQ_WAIT_POINTS before any orvix header (its build target
// does, for all of its sources) may hook these places and run the other
// side at exactly that moment. Without the macro a point compiles to
// nothing: the product carries no hook, branch or variable for it.
#pragma once

#include "orvix/ringq/futex.hpp"

namespace orvix::ringq {

// Where a waiter stands, in the order it passes them on every round of its
// sleep loop.
enum class WaitPoint {
    raising_flag,    // the spin (or the last sleep) found nothing; the flag is not raised yet
    flag_raised,     // the flag is raised and fenced; the re-check comes next
    going_to_sleep,  // the re-check found nothing; the sleep on the flag comes next
};

}  // namespace orvix::ringq

#if defined(ORVIX_RINGQ_WAIT_POINTS)
#include <functional>

namespace orvix::ringq::wait_points {
// Called on the waiting thread with the word it sleeps on; each thread sets
// its own. A thread_local inside a function, not an inline variable: mingw-w64
// gives an inline thread_local's initialiser one definition per object file,
// and a program with several sources built with wait points would not link.
inline std::function<void(WaitPoint, WaitWord&)>& hook() noexcept
{
    static thread_local std::function<void(WaitPoint, WaitWord&)> on_this_thread;
    return on_this_thread;
}
}  // namespace orvix::ringq::wait_points

#define ORVIX_RINGQ_WAIT_POINT(point, flag) \
    (::orvix::ringq::wait_points::hook() ? ::orvix::ringq::wait_points::hook()(point, flag) : void())
#else
#define ORVIX_RINGQ_WAIT_POINT(point, flag) static_cast<void>(0)
#endif
