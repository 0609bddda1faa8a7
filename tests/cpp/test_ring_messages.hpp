// Self-checking test messages for the ring tests: each message carries its
// sequence number, and its length and every byte follow from that number, so
// a consumer can tell a lost, repeated, reordered or torn message apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "orvix/ringq/spsc_ring.hpp"

namespace ring_test {

// ThreadSanitizer runs ~10x slower: loops shrink by this factor there.
#if defined(__SANITIZE_THREAD__)
inline constexpr int kSlowdown = 10;
#else
inline constexpr int kSlowdown = 1;
#endif

inline std::unique_ptr<orvix::ringq::SpscRing> make_ring(const orvix::ringq::RingOptions& options)
{
    orvix::ringq::RingError error;
    auto ring = orvix::ringq::SpscRing::create(options, error);
    if (!ring) throw std::runtime_error(orvix::ringq::describe(error));
    return ring;
}

inline std::uint8_t pattern_byte(std::uint64_t seq, std::size_t i)
{
    return static_cast<std::uint8_t>(seq * 131 + i * 7 + (seq >> 8));
}

// Length of message `seq`, between 8 and max_size (max_size >= 8).
inline std::size_t message_size(std::uint64_t seq, std::size_t max_size)
{
    return 8 + static_cast<std::size_t>((seq * 2654435761u) % (max_size - 7));
}

inline std::string make_message(std::uint64_t seq, std::size_t max_size)
{
    std::string m(message_size(seq, max_size), '\0');
    std::memcpy(m.data(), &seq, 8);
    for (std::size_t i = 8; i < m.size(); ++i) m[i] = static_cast<char>(pattern_byte(seq, i));
    return m;
}

// Returns the message's sequence number, or UINT64_MAX if it is torn.
inline std::uint64_t check_message(const orvix::ringq::Message& m, std::size_t max_size)
{
    if (m.size < 8) return UINT64_MAX;
    std::uint64_t seq;
    std::memcpy(&seq, m.data, 8);
    if (m.size != message_size(seq, max_size)) return UINT64_MAX;
    for (std::size_t i = 8; i < m.size; ++i)
        if (static_cast<std::uint8_t>(m.data[i]) != pattern_byte(seq, i)) return UINT64_MAX;
    return seq;
}

inline std::string text(const orvix::ringq::Message& m) { return std::string(m.data, m.size); }

}  // namespace ring_test
