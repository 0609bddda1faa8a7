// The int every ring operation reports. The numbers are part of the C-level
// interface (ringq.h repeats them as ORVIX_RING_* for C callers).
//
//   result  push / push_var (and _notify)          try_pop / wait_front / *_pop_var
//    1      stored                                 a message handed out
//    0      refused: the ring is full              try_*: the ring is empty
//   -1      refused: larger than any slot/record   -
//   -2      refused: the ring is closed            wait_*: the ring is closed
//   -3      the ring is in the other mode (fixed-size vs. variable-size)
#pragma once

namespace orvix::ringq {

inline constexpr int kStored = 1;
inline constexpr int kHandedOut = 1;
inline constexpr int kFull = 0;
inline constexpr int kEmpty = 0;
inline constexpr int kTooLarge = -1;
inline constexpr int kClosed = -2;
inline constexpr int kWrongMode = -3;

}  // namespace orvix::ringq
