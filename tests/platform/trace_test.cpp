// test-labels: unit tsan
#include "platform/base/Trace.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

struct Captured {
    std::mutex mutex;
    std::vector<Util::TraceLine> lines;
    void install() {
        Util::setTraceSink([this](const Util::TraceLine& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        });
    }
};

struct Described {
    std::string description() const { return "described"; }
};

class TraceTest : public ::testing::Test {
protected:
    void TearDown() override { Util::setTraceSink(nullptr); }
};

TEST_F(TraceTest, OffByDefaultAndMessagesNotEvaluated) {
    EXPECT_FALSE(Util::isTraceEnabled());
    bool evaluated = false;
    Util::trace([&] { evaluated = true; return std::string("x"); }, "f", 1, "g");
    Util::trace([&] { evaluated = true; return 1; }, [&] { evaluated = true; return 2; }, "f", 1, "g");
    Util::trace("f", 1, "g");
    EXPECT_FALSE(evaluated);
}

TEST_F(TraceTest, ThreeEntryPointsReachTheSink) {
    Captured c;
    c.install();
    EXPECT_TRUE(Util::isTraceEnabled());
    Util::trace([] { return std::string("one"); }, "Ostrane/NetworkFileHandle", 48, "open()");
    Util::trace([] { return std::optional<int>(); }, [] { return Described{}; }, "src", 80, "check(dir:completion:)");
    Util::trace("src", 28, "deinit");
    ASSERT_EQ(c.lines.size(), 3u);
    EXPECT_EQ(c.lines[0].file, "Ostrane/NetworkFileHandle");
    EXPECT_EQ(c.lines[0].line, 48);
    EXPECT_EQ(c.lines[0].function, "open()");
    EXPECT_EQ(c.lines[0].messages, std::vector<std::string>{"one"});
    EXPECT_EQ(c.lines[1].messages, (std::vector<std::string>{"nil", "described"}));
    EXPECT_TRUE(c.lines[2].messages.empty());

    Util::setTraceSink(nullptr);
    Util::trace("src", 1, "after");
    EXPECT_EQ(c.lines.size(), 3u);
}

TEST_F(TraceTest, DescribesCommonValues) {
    EXPECT_EQ(Util::describe(std::vector<std::optional<std::string>>{"a", std::nullopt}), "[a, nil]");
    EXPECT_EQ(Util::describe(std::shared_ptr<Described>()), "nil");
    EXPECT_EQ(Util::describe(std::make_shared<Described>()), "described");
    EXPECT_EQ(Util::describe(42), "42");
    EXPECT_EQ(Util::describe(true), "true");
}

TEST_F(TraceTest, FailingMessageOrSinkDoesNotReachTheCaller) {
    Util::setTraceSink([](const Util::TraceLine&) { throw std::runtime_error("sink"); });
    EXPECT_NO_THROW(Util::trace([]() -> std::string { throw std::runtime_error("message"); }, "f", 1, "g"));
    EXPECT_NO_THROW(Util::trace("f", 1, "g"));
}

TEST_F(TraceTest, CallsFromManyThreadsWhileTheSinkChanges) {
    Captured c;
    std::atomic<int> evaluated{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i)
                Util::trace([&] { ++evaluated; return i; }, "f", i, "g");
        });
    }
    for (int i = 0; i < 50; ++i) {
        if (i % 2) c.install(); else Util::setTraceSink(nullptr);
    }
    for (auto& t : threads) t.join();
    c.install();
    Util::trace("f", 1, "last");
    std::lock_guard lock(c.mutex);
    EXPECT_LE(c.lines.size(), static_cast<std::size_t>(evaluated.load()) + 1);
    EXPECT_EQ(c.lines.back().function, "last");
}

}  // namespace
