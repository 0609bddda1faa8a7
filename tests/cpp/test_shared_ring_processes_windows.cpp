// A ring in a named file mapping between two real processes: this test
// consumes, shm_producer_process (the public C header) produces. Messages
// arrive whole, in order, once, through the consumer's sleeps and wake-ups;
// a second producer is refused; a producer terminated mid-stream leaves no
// torn message and reads as "gone".
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <aclapi.h>

#include "orvix/ringq/spsc_ring.hpp"
#include "orvix/shm/shared_mapping.hpp"

namespace {

using namespace orvix::ringq;
using namespace orvix::shm;
using Clock = std::chrono::steady_clock;

// A child process running the producer program beside this test.
class Producer {
public:
    Producer(const std::string& ring, std::uint64_t count)
    {
        std::wstring path(MAX_PATH, L'\0');
        path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
        path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"shm_producer_process.exe";
        std::wstring command = L"\"" + path + L"\" " + std::wstring(ring.begin(), ring.end()) + L" " +
                               std::to_wstring(count);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        started_ = CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &startup, &info_) != 0;
    }
    ~Producer()
    {
        if (!started_) return;
        TerminateProcess(info_.hProcess, 99);
        CloseHandle(info_.hThread);
        CloseHandle(info_.hProcess);
    }
    bool started() const { return started_; }
    // Its exit status, or -1 if it is still running after `ms`.
    int wait(DWORD ms)
    {
        if (WaitForSingleObject(info_.hProcess, ms) != WAIT_OBJECT_0) return -1;
        DWORD status = 0;
        GetExitCodeProcess(info_.hProcess, &status);
        return static_cast<int>(status);
    }
    void kill()
    {
        TerminateProcess(info_.hProcess, 9);
        WaitForSingleObject(info_.hProcess, INFINITE);
    }

private:
    PROCESS_INFORMATION info_{};
    bool started_ = false;
};

// The consumer side, checking each message against what the producer writes.
class Consumer {
public:
    Consumer(const std::string& name, bool variable)
    {
        MappingError error;
        std::unique_ptr<SharedMapping> made = SharedMapping::create(name, {64, 256, variable, false}, 0600, error);
        EXPECT_TRUE(made) << error.message << " errno " << error.errno_value;
        if (!made) return;
        mapping_ = made.get();
        RingError ring_error;
        const RingOptions options = mapping_->options();
        const RingLayout layout = mapping_->layout();
        const RingSharing sharing = mapping_->consumer_sharing();
        ring_ = SpscRing::over(std::move(made), options, layout, sharing, ring_error);
    }
    SharedMapping& mapping() { return *mapping_; }
    bool ready() const { return ring_ != nullptr; }
    std::uint64_t next() const { return next_; }

    // Takes what is there, waiting up to `timeout_ms`: kHandedOut, kEmpty
    // (nothing came in time) or kClosed. Each message must be the next.
    // `waited_ms`: how long it took (a sleep that ran its course and then
    // found messages was never woken).
    int take(std::uint32_t timeout_ms, std::int64_t* waited_ms = nullptr)
    {
        Burst burst{buffer_.data(), buffer_.size(), ends_.data(), ends_.size()};
        const auto start = Clock::now();
        const int got = ring_->wait_pop_burst_for(burst, variable(), timeout_ms);
        if (waited_ms)
            *waited_ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        std::size_t from = 0;
        for (std::size_t i = 0; i < burst.count; ++i) {
            check(buffer_.data() + from, ends_[i] - from);
            from = ends_[i];
        }
        return got;
    }
    void close() { ring_->close(); }

private:
    bool variable() const { return mapping_->shape().variable_size; }
    void check(const char* data, std::size_t size)
    {
        std::uint64_t n = ~0ull;
        if (size >= 8) std::memcpy(&n, data, 8);
        ASSERT_EQ(n, next_) << "lost, repeated or reordered";
        ASSERT_EQ(size, 8 + n % 57) << "message " << n;
        for (std::size_t i = 8; i < size; ++i)
            ASSERT_EQ(static_cast<unsigned char>(data[i]), static_cast<unsigned char>(n + i)) << "torn message " << n;
        ++next_;
    }
    SharedMapping* mapping_ = nullptr;
    std::unique_ptr<SpscRing> ring_;
    std::vector<char> buffer_ = std::vector<char>(1 << 16);
    std::vector<std::size_t> ends_ = std::vector<std::size_t>(1024);
    std::uint64_t next_ = 0;
};

std::string ring_name(const char* what)
{
    return std::string("test-") + what + "-" + std::to_string(GetCurrentProcessId());
}

class SharedRingProcesses : public ::testing::TestWithParam<bool> {};

TEST_P(SharedRingProcesses, StreamArrivesWholeInOrderThroughWakeUps)
{
    const std::string name = ring_name(GetParam() ? "stream-var" : "stream");
    Consumer consumer(name, GetParam());
    ASSERT_TRUE(consumer.ready());
    constexpr std::uint64_t kCount = 50000;
    Producer producer(name, kCount);
    ASSERT_TRUE(producer.started());
    // A producer that pauses a few milliseconds now and then is always back
    // well within the wait: a wait that runs its course is a lost wake-up.
    std::int64_t waited_ms = 0;
    while (consumer.next() < kCount && !::testing::Test::HasFailure()) {
        ASSERT_NE(consumer.take(4000, &waited_ms), kEmpty) << "nothing after message " << consumer.next();
        ASSERT_LT(waited_ms, 3000) << "no wake-up after message " << consumer.next();
    }
    EXPECT_EQ(producer.wait(10000), 0);
    EXPECT_EQ(consumer.mapping().producer_state(), ProducerState::kDetached);
}

TEST_P(SharedRingProcesses, SecondProducerRefusedAndKilledProducerGone)
{
    const std::string name = ring_name(GetParam() ? "kill-var" : "kill");
    Consumer consumer(name, GetParam());
    ASSERT_TRUE(consumer.ready());
    EXPECT_EQ(consumer.mapping().producer_state(), ProducerState::kNone);
    Producer producer(name, 0);
    ASSERT_TRUE(producer.started());
    while (consumer.next() < 20000 && !::testing::Test::HasFailure())
        ASSERT_NE(consumer.take(4000), kEmpty);
    EXPECT_EQ(consumer.mapping().producer_state(), ProducerState::kAttached);

    // Another producer process, and this process, are refused meanwhile.
    Producer second(name, 1);
    ASSERT_TRUE(second.started());
    EXPECT_EQ(second.wait(10000), 2);
    MappingError error;
    std::unique_ptr<SharedMapping> other = SharedMapping::open(name, error);
    ASSERT_TRUE(other) << error.message;
    EXPECT_FALSE(other->claim_producer(error));
    EXPECT_EQ(error.message, "the shared ring already has a producer");

    // Killed mid-stream: every message left is whole, then "gone".
    producer.kill();
    while (consumer.take(50) == kHandedOut) {
    }
    EXPECT_EQ(consumer.mapping().producer_state(), ProducerState::kGone);

    // The ring of a dead producer can be taken over.
    ASSERT_TRUE(other->claim_producer(error)) << error.message;
    other->release_producer();
    EXPECT_EQ(consumer.mapping().producer_state(), ProducerState::kDetached);
    consumer.close();
}

INSTANTIATE_TEST_SUITE_P(Modes, SharedRingProcesses, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Variable" : "Fixed"; });

// The entries of the DACL on the mapping named `name`: -1 with no DACL
// (a default one may be none), -2 when it cannot be opened.
int dacl_entries(const std::string& name)
{
    const std::wstring wide = L"Local\\orvix-m-" + std::wstring(name.begin(), name.end());
    HANDLE mapping = OpenFileMappingW(READ_CONTROL, FALSE, wide.c_str());
    if (!mapping) return -2;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    int entries = -1;
    if (GetSecurityInfo(mapping, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        &descriptor) == ERROR_SUCCESS && dacl)
        entries = dacl->AceCount;
    if (descriptor) LocalFree(descriptor);
    CloseHandle(mapping);
    return entries;
}

TEST(SharedRingNames, OwnerOnlyUnlessTheModeOpensIt)
{
    MappingError error;
    const std::string mine = ring_name("mine"), open_to_all = ring_name("open");
    std::unique_ptr<SharedMapping> a = SharedMapping::create(mine, {64, 16, false, false}, 0600, error);
    std::unique_ptr<SharedMapping> b = SharedMapping::create(open_to_all, {64, 16, false, false}, 0666, error);
    ASSERT_TRUE(a && b) << error.message;
    EXPECT_EQ(dacl_entries(mine), 1);
    const int entries = dacl_entries(open_to_all);
    EXPECT_NE(entries, 1);
    EXPECT_NE(entries, -2);
}

TEST(SharedRingNames, BadNamesAndTakenNamesAreRefused)
{
    MappingError error;
    EXPECT_FALSE(SharedMapping::create("a\\b", {}, 0600, error));
    EXPECT_EQ(error.message, "a shared ring's name may hold no '\\'");
    EXPECT_FALSE(SharedMapping::open(ring_name("missing"), error));
    EXPECT_EQ(error.errno_value, ENOENT);
    const std::string name = ring_name("taken");
    std::unique_ptr<SharedMapping> first = SharedMapping::create(name, {64, 16, false, false}, 0600, error);
    ASSERT_TRUE(first) << error.message;
    EXPECT_FALSE(SharedMapping::create(name, {64, 16, false, false}, 0600, error));
    EXPECT_EQ(error.errno_value, EEXIST);
}

}  // namespace
