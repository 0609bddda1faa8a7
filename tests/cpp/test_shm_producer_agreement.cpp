// The public C producer (orvix/shm/producer.h) writes the same protocol as
// the ring engine's push, in another language. Two rings of one shape in
// named shared memory, each read by the engine's consumer, are fed the same
// random pushes: one by the C header compiled as C, the other by the engine's
// producer over its own mapping of the ring, as orvix.shm's SharedProducer
// pushes. After every push and pop both rings must hold the same bytes (the
// shared words and the whole block) and answer the same results; pressure
// swings between filling the ring and draining it, so full rings, overwrites
// and wrap-arounds all occur. The C producer's check of a ring's header is
// held against the engine's planning the same way.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "orvix/ringq/ring_layout.hpp"
#include "orvix/ringq/spsc_ring.hpp"
#include "orvix/shm/shared_mapping.hpp"
#include "shm_producer_c_side.h"

namespace {

using namespace orvix::ringq;
using orvix::shm::MappingError;
using orvix::shm::SharedMapping;
using orvix::shm::SharedRingShape;

std::string fresh_name()
{
    static std::mt19937_64 names{std::random_device{}()};
    return "/orvix-agreement-" + std::to_string(names());
}

std::unique_ptr<SpscRing> ring_over(std::unique_ptr<SharedMapping> mapping, bool consumer)
{
    const RingSharing sharing = consumer ? mapping->consumer_sharing() : mapping->producer_sharing();
    const RingOptions options = mapping->options();
    const RingLayout layout = mapping->layout();
    RingError error = RingError::kNone;
    return SpscRing::over(std::move(mapping), options, layout, sharing, error);
}

// A ring in shared memory and its consumer; the name goes with it.
struct ConsumedRing {
    explicit ConsumedRing(const SharedRingShape& shape) : name(fresh_name())
    {
        MappingError error;
        auto mapping = SharedMapping::create(name, shape, 0600, error);
        if (!mapping) throw std::runtime_error("cannot create " + name + ": " + error.message);
        memory = mapping.get();
        consumer = ring_over(std::move(mapping), true);
    }
    ~ConsumedRing()
    {
        if (memory) memory->unlink_name();
    }
    std::string name;
    SharedMapping* memory = nullptr;  // owned by the consumer ring
    std::unique_ptr<SpscRing> consumer;
};

struct Shape {
    SharedRingShape ring;
    const char* label;
};

class ProducerAgreement : public ::testing::TestWithParam<Shape> {};

struct Drain {
    std::vector<char> buffer = std::vector<char>(1 << 16);
    std::vector<std::size_t> ends = std::vector<std::size_t>(7);
    Burst burst{buffer.data(), buffer.size(), ends.data(), ends.size()};
};

TEST_P(ProducerAgreement, TheCHeaderWritesWhatTheEnginesPushWrites)
{
    const SharedRingShape shape = GetParam().ring;
    const bool variable = shape.variable_size;
    ConsumedRing by_c(shape), by_engine(shape);
    CSideProducer* c = c_side_attach(by_c.name.c_str());
    ASSERT_NE(c, nullptr) << std::strerror(errno);
    MappingError error;
    auto producer_memory = SharedMapping::open(by_engine.name, error);
    ASSERT_TRUE(producer_memory && producer_memory->claim_producer(error)) << error.message;
    std::unique_ptr<SpscRing> engine = ring_over(std::move(producer_memory), false);
    ASSERT_TRUE(engine);

    const RingLayout& layout = by_c.memory->layout();
    const std::size_t largest = variable ? layout.max_record : layout.slot_size;
    std::mt19937_64 random(20261209);
    std::vector<char> message(largest + 1);
    Drain drain_c, drain_engine;
    std::uint64_t overwrites_seen = 0, fulls_seen = 0, wraps = 0;

    auto same_bytes = [&](const char* after, int step) {
        ASSERT_EQ(0, std::memcmp(&by_c.memory->state(), &by_engine.memory->state(), sizeof(RingSharedState)))
            << "the shared words differ after " << after << " at step " << step;
        ASSERT_EQ(0, std::memcmp(by_c.memory->block(), by_engine.memory->block(), layout.total_bytes))
            << "the block differs after " << after << " at step " << step;
    };

    double push_share = 0.5;
    for (int step = 0; step < 20000; ++step) {
        if (step % 400 == 0) push_share = std::uniform_real_distribution<double>(0.2, 0.95)(random);
        if (std::uniform_real_distribution<double>(0, 1)(random) < push_share) {
            // Mostly small messages, some up to the largest, a few one byte too large.
            const std::uint64_t pick = random() % 100;
            const std::size_t size = pick < 2    ? largest + 1
                                     : pick < 20 ? random() % (largest + 1)
                                                 : random() % (std::min<std::size_t>(largest, shape.slot_size) + 1);
            for (std::size_t i = 0; i < size; ++i) message[i] = static_cast<char>(random());
            const int from_c = c_side_push(c, message.data(), size);
            const int from_engine =
                variable ? engine->push_var_notify(message.data(), size) : engine->push_notify(message.data(), size);
            ASSERT_EQ(from_c, from_engine) << "push of " << size << " bytes at step " << step;
            fulls_seen += from_c == kFull;
            ASSERT_NO_FATAL_FAILURE(same_bytes("a push", step));
        } else if (random() % 4 == 0) {
            const int from_c = by_c.consumer->try_pop_burst(drain_c.burst, variable);
            const int from_engine = by_engine.consumer->try_pop_burst(drain_engine.burst, variable);
            ASSERT_EQ(from_c, from_engine) << "burst pop at step " << step;
            ASSERT_EQ(drain_c.burst.count, drain_engine.burst.count);
            ASSERT_EQ(0, std::memcmp(drain_c.buffer.data(), drain_engine.buffer.data(), drain_c.burst.bytes));
            ASSERT_NO_FATAL_FAILURE(same_bytes("a burst pop", step));
        } else {
            Message from_c_message, from_engine_message;
            const int from_c = variable ? by_c.consumer->try_pop_var(from_c_message)
                                        : by_c.consumer->try_pop(from_c_message);
            const int from_engine = variable ? by_engine.consumer->try_pop_var(from_engine_message)
                                             : by_engine.consumer->try_pop(from_engine_message);
            ASSERT_EQ(from_c, from_engine) << "pop at step " << step;
            ASSERT_EQ(std::string(from_c_message.data, from_c_message.size),
                      std::string(from_engine_message.data, from_engine_message.size));
            ASSERT_NO_FATAL_FAILURE(same_bytes("a pop", step));
        }
        ASSERT_FALSE(by_c.consumer->corrupt()) << "the consumer found the C producer's ring corrupt at step " << step;
    }
    overwrites_seen = by_c.consumer->dropped();
    wraps = by_c.memory->state().producer.tail.load() / (variable ? layout.ring_bytes : layout.slots);
    EXPECT_GT(wraps, 10u) << "the sequence never went round the ring";
    if (shape.overwrite)
        EXPECT_GT(overwrites_seen, 100u) << "the sequence never overwrote";
    else
        EXPECT_GT(fulls_seen, 100u) << "the sequence never filled the ring";

    by_c.consumer->close();
    by_engine.consumer->close();
    const char last[1] = {'x'};
    EXPECT_EQ(c_side_push(c, last, 1), kClosed);
    EXPECT_EQ(variable ? engine->push_var_notify(last, 1) : engine->push_notify(last, 1), kClosed);
    same_bytes("close", -1);
    c_side_detach(c);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ProducerAgreement,
    ::testing::Values(Shape{{64, 8, false, false}, "Fixed"}, Shape{{100, 5, false, false}, "FixedOddSizes"},
                      Shape{{64, 8, false, true}, "FixedOverwrite"}, Shape{{64, 8, true, false}, "Variable"},
                      Shape{{24, 3, true, false}, "VariableSmall"}, Shape{{40, 4, true, true}, "VariableOverwrite"}),
    [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.label); });

// The header a creator writes, as the engine plans it; the C producer must
// accept exactly that and refuse it with any one derived field changed.
TEST(ProducerAgreement, TheCHeaderCheckAcceptsWhatTheEnginePlansAndNothingElse)
{
    std::mt19937_64 random(7);
    const std::size_t sizes[] = {1, 7, 8, 63, 64, 65, 1000, 4096, std::size_t{1} << 20, std::size_t{1} << 40};
    for (int i = 0; i < 2000; ++i) {
        const std::size_t slot_size = i < 100 ? sizes[i % 10] : 1 + random() % 5000;
        const std::size_t capacity = i < 100 ? sizes[i / 10] : 1 + random() % 70000;
        RingLayout l;
        if (plan_layout(slot_size, capacity, l) != RingError::kNone) {
            OrvixShmHeader h{};
            h.slot_size = slot_size;
            h.capacity = capacity;
            EXPECT_FALSE(c_side_layout_holds(&h, 0)) << slot_size << " x " << capacity;
            continue;
        }
        OrvixShmHeader h = orvix::shm::planned_header({slot_size, capacity}, l,
                                                      ORVIX_SHM_BLOCK_OFFSET + ((l.total_bytes + 4095) & ~std::size_t{4095}));
        ASSERT_TRUE(c_side_layout_holds(&h, h.mapping_bytes)) << slot_size << " x " << capacity;
        // Other sizes asked for may plan to the same layout: then both accept.
        for (std::uint64_t* asked : {&h.slot_size, &h.capacity}) {
            ++*asked;
            RingLayout other;
            const bool same = plan_layout(h.slot_size, h.capacity, other) == RingError::kNone &&
                              other.slots == l.slots && other.slot_stride == l.slot_stride &&
                              other.ring_bytes == l.ring_bytes && other.total_bytes == l.total_bytes &&
                              other.lengths_offset == l.lengths_offset && other.max_record == l.max_record;
            EXPECT_EQ(same, c_side_layout_holds(&h, h.mapping_bytes) != 0) << slot_size << " x " << capacity;
            --*asked;
        }
        std::uint64_t* fields[] = {&h.slots, &h.slot_stride, &h.lengths_offset, &h.ring_bytes, &h.max_record,
                                   &h.total_bytes};
        for (std::uint64_t* field : fields) {
            const std::uint64_t kept = *field;
            *field = kept + 1;
            EXPECT_FALSE(c_side_layout_holds(&h, h.mapping_bytes)) << slot_size << " x " << capacity;
            *field = kept;
        }
        EXPECT_FALSE(c_side_layout_holds(&h, h.mapping_bytes + 4096));
    }
    OrvixShmHeader huge{};
    huge.slot_size = huge.capacity = std::uint64_t{1} << 63;
    EXPECT_FALSE(c_side_layout_holds(&huge, 0));
}

}  // namespace
