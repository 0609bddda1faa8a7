// Index re-reads: each time a side of a ring reads the other side's index
// afresh (the consumer the tail, once what its cached tail promised is
// taken; the producer the head, once its cached limit is used up). A re-read
// costs a cache-line hand-over whenever the other side wrote its index since,
// so their number per message tells which regime a run is in: near one when
// one side trails the other message by message (every message then passes
// the index line, and the lines of its slot and length, to and fro), near
// zero when each re-read finds many messages (or much room) at once.
// A benchmark that defines ORVIX_RINGQ_COUNT_REREADS before any orvix header
// counts them, per thread (each side's count is its own thread's). Without
// the macro a count compiles to nothing: the product carries no counter.
#pragma once

#if defined(ORVIX_RINGQ_COUNT_REREADS)
#include <cstdint>

namespace orvix::ringq::index_rereads {
inline thread_local std::uint64_t count = 0;
}  // namespace orvix::ringq::index_rereads

#define ORVIX_RINGQ_INDEX_REREAD() static_cast<void>(++::orvix::ringq::index_rereads::count)
#else
#define ORVIX_RINGQ_INDEX_REREAD() static_cast<void>(0)
#endif
