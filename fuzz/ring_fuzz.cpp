// libFuzzer target: random operation sequences on one thread against a
// std::deque model of the ring, in both modes, with overwrite and zerocopy
// on and off. The model tracks positions the way the ring documents them
// (slots, or bytes with 8-byte headers, padding and skipped lap ends), so a
// refusal, a drop, a result code or a byte out of place is a finding. A
// message handed out is checked again before every later operation: nothing
// may change it until the consumer's next call.
//
// Build and run: scripts/fuzz [seconds]
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "orvix/ringq/spsc_ring.hpp"

using namespace orvix::ringq;

namespace {

#define CHECK(cond)                                                     \
    do {                                                                \
        if (!(cond)) {                                                  \
            __builtin_printf("check failed: %s (line %d)\n", #cond, __LINE__); \
            std::abort();                                               \
        }                                                               \
    } while (0)

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
    bool empty() const { return p_ == end_; }
    std::uint8_t byte() { return p_ == end_ ? 0 : *p_++; }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

struct Item {
    std::uint64_t begin, end;  // positions: the record's space, lap-end padding included
    std::string data;
};

class Model {
public:
    Model(const RingLayout& l, bool variable, bool overwrite, bool zerocopy)
        : layout_(l), variable_(variable), overwrite_(overwrite), zerocopy_(zerocopy),
          units_(variable ? l.ring_bytes : l.slots) {}

    int push(const std::string& m)
    {
        if (m.size() > (variable_ ? layout_.max_record : layout_.slot_size)) return refuse(kTooLarge);
        if (closed) return refuse(kClosed);
        std::uint64_t need = 1;
        if (variable_) {
            const std::uint64_t left = units_ - tail_ % units_;
            need = record_bytes(m.size());
            if (need > left) need += left;
        }
        while (tail_ + need > boundary() + units_) {
            const bool held_in_way = held_ && tail_ + need > held_->begin + units_;
            if (!overwrite_ || held_in_way) return refuse(kFull);
            items.pop_front();
            ++dropped;
        }
        items.push_back({tail_, tail_ + need, m});
        tail_ += need;
        ++stored;
        return kStored;
    }

    // Every push that stores nothing is counted, whatever the reason.
    int refuse(int result)
    {
        ++refused;
        return result;
    }

    // try_pop / wait_* after the ring checked closed: the head message, or nothing.
    std::optional<std::string> take(bool peek)
    {
        if (state_ == kPeeked) {
            if (!peek) state_ = kTaken;
            return out_;
        }
        release();
        if (items.empty()) return std::nullopt;
        Item item = items.front();
        items.pop_front();
        out_ = item.data;
        // In place (keeping its room) with zerocopy, or when wait_front looks
        // without overwrite; otherwise copied out and its room freed at once.
        if (zerocopy_ || (peek && !overwrite_)) held_ = item;
        state_ = peek ? kPeeked : kTaken;
        return out_;
    }
    // A burst pop: the peeked message first, then the oldest messages while
    // they fit; nothing stays handed out. `too_large`: the next message
    // does not fit an empty burst.
    std::vector<std::string> take_burst(std::size_t max_messages, std::size_t max_bytes, bool& too_large)
    {
        release();
        std::vector<std::string> out;
        std::size_t bytes = 0;
        too_large = false;
        auto fits = [&](const std::string& m) { return out.size() < max_messages && m.size() <= max_bytes - bytes; };
        if (state_ == kPeeked) {
            if (!fits(out_)) {
                too_large = true;
                return out;
            }
            out.push_back(out_);
            bytes += out_.size();
            state_ = kNothing;
            held_.reset();
        }
        while (!items.empty() && fits(items.front().data)) {
            out.push_back(items.front().data);
            bytes += out.back().size();
            items.pop_front();
        }
        too_large = out.empty() && !items.empty() && items.front().data.size() > max_bytes;
        return out;
    }

    void pop_front()
    {
        if (state_ != kPeeked && !take(false)) return;
        state_ = kTaken;
        release();
    }
    void release()
    {
        if (state_ != kTaken) return;
        state_ = kNothing;
        held_.reset();
    }

    bool handed_out() const { return state_ != kNothing; }
    bool peeked() const { return state_ == kPeeked; }
    const std::string& out() const { return out_; }
    std::size_t size() const { return items.size() + (state_ == kPeeked ? 1 : 0); }

    std::deque<Item> items;
    bool closed = false;
    std::uint64_t stored = 0, dropped = 0, refused = 0;

private:
    std::uint64_t boundary() const { return held_ ? held_->begin : items.empty() ? tail_ : items.front().begin; }

    enum State { kNothing, kTaken, kPeeked };
    const RingLayout layout_;
    const bool variable_, overwrite_, zerocopy_;
    const std::uint64_t units_;
    std::uint64_t tail_ = 0;
    std::optional<Item> held_;
    State state_ = kNothing;
    std::string out_;
};

std::string make_message(Input& in, std::size_t limit)
{
    const std::size_t size = in.byte() % (limit + 1);
    std::string m(size, '\0');
    const std::uint8_t seed = in.byte();
    for (std::size_t i = 0; i < size; ++i) m[i] = static_cast<char>(seed + i * 31);
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    const std::uint8_t flags = in.byte();
    const bool variable = flags & 1, overwrite = flags & 2, zerocopy = flags & 4;
    const RingOptions options{1 + in.byte() % 48u, 1 + in.byte() % 12u, overwrite, zerocopy, false};
    RingError error;
    const std::unique_ptr<SpscRing> ring = SpscRing::create(options, error);
    CHECK(ring);
    Model model(ring->layout(), variable, overwrite, zerocopy);
    Message out;
    const std::size_t max_message = variable ? ring->layout().max_record : ring->layout().slot_size;
    CHECK((variable ? ring->try_pop_var(out) : ring->try_pop(out)) == kEmpty);  // fixes the mode

    while (!in.empty()) {
        if (model.handed_out()) {  // still readable, still intact
            CHECK(std::string(out.data, out.size) == model.out());
        }
        const std::uint8_t op = in.byte() % 18;
        if (op < 7) {
            const std::string m = make_message(in, max_message + 2);
            const bool notify = op & 1;
            const int r = variable ? (notify ? ring->push_var_notify(m.data(), m.size()) : ring->push_var(m.data(), m.size()))
                                   : (notify ? ring->push_notify(m.data(), m.size()) : ring->push(m.data(), m.size()));
            CHECK(r == model.push(m));
        } else if (op < 11) {
            const int r = variable ? ring->try_pop_var(out) : ring->try_pop(out);
            const std::optional<std::string> expected = model.take(false);
            CHECK(r == (expected ? kHandedOut : kEmpty));
            if (expected) CHECK(std::string(out.data, out.size) == *expected);
        } else if (op < 13) {
            // A wait on an empty open ring would sleep for ever on this one thread.
            if (!model.closed && model.items.empty() && !model.peeked()) continue;
            const int r = variable ? ring->wait_pop_var(out) : ring->wait_front(out);
            if (model.closed) {
                CHECK(r == kClosed);
                continue;
            }
            const std::optional<std::string> expected = model.take(!variable);
            CHECK(r == kHandedOut && expected && std::string(out.data, out.size) == *expected);
        } else if (op == 13) {
            if (!variable) {
                ring->pop_front();
                model.pop_front();
            }
        } else if (op == 16) {  // a burst push: up to the first message refused as full
            const std::size_t n = 1 + in.byte() % 8;
            std::vector<std::string> texts;
            std::vector<Message> messages;
            for (std::size_t i = 0; i < n; ++i) texts.push_back(make_message(in, max_message + 2));
            for (const std::string& t : texts) messages.push_back({t.data(), t.size()});
            int results[8];
            const bool notify = in.byte() & 1;
            const std::size_t dealt = ring->push_burst(messages.data(), n, results, variable, notify);
            std::size_t expected = 0;
            for (; expected < n; ++expected) {
                const int r = model.push(texts[expected]);
                CHECK(results[expected] == r);
                if (r == kFull) break;
            }
            CHECK(dealt == expected);
        } else if (op == 17) {  // a burst pop into a buffer of random limits
            const std::size_t max_messages = in.byte() % 6;
            std::vector<char> buffer(in.byte() % (2 * max_message + 2));
            std::vector<std::size_t> ends(max_messages);
            Burst burst{buffer.data(), buffer.size(), ends.data(), max_messages};
            const int r = ring->try_pop_burst(burst, variable);
            if (max_messages == 0) {
                CHECK(r == kTooLarge && burst.count == 0);
                continue;
            }
            bool too_large = false;
            const std::vector<std::string> expected = model.take_burst(max_messages, buffer.size(), too_large);
            CHECK(r == (!expected.empty() ? kHandedOut : too_large ? kTooLarge : kEmpty));
            CHECK(burst.count == expected.size());
            for (std::size_t i = 0, begin = 0; i < burst.count; begin = ends[i++])
                CHECK(std::string(buffer.data() + begin, ends[i] - begin) == expected[i]);
        } else if (op == 14) {
            ring->release();
            model.release();
        } else if (in.byte() % 8 == 0) {
            ring->close();
            model.closed = true;
        } else {  // the other mode's calls are refused and change nothing
            CHECK((variable ? ring->push("x", 1) : ring->push_var("x", 1)) == kWrongMode);
            model.refuse(kWrongMode);
            Message ignored;
            CHECK((variable ? ring->try_pop(ignored) : ring->try_pop_var(ignored)) == kWrongMode);
        }
        CHECK(ring->size() == model.size());
        CHECK(ring->dropped() == model.dropped);
        CHECK(ring->refused() == model.refused);
        CHECK(ring->stored() == model.stored);
    }
    return 0;
}
