// test-labels: unit tsan
#include "platform/dispatch/Guarded.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::Guarded;
using platform::GuardedWeak;

// Its release reads the very value that is replacing it, as a delegate that asks its provider
// for a setting while it goes away would.
struct ReadsBackWhenReleased {
    Guarded<std::shared_ptr<ReadsBackWhenReleased>>* home;
    bool* sawReplacement;
    ~ReadsBackWhenReleased() { *sawReplacement = home->get() != nullptr; }
};

TEST(Guarded, TheOldValueIsReleasedOutsideTheLock) {
    Guarded<std::shared_ptr<ReadsBackWhenReleased>> value;
    bool sawReplacement = false;
    value.set(std::make_shared<ReadsBackWhenReleased>(ReadsBackWhenReleased{&value, &sawReplacement}));
    bool ignored = false;
    // Released under the lock, the old value's read would deadlock here.
    value.set(std::make_shared<ReadsBackWhenReleased>(ReadsBackWhenReleased{&value, &ignored}));
    EXPECT_TRUE(sawReplacement);
    value.set(nullptr);
}

TEST(Guarded, ReadersNeverSeeAHalfWrittenValue) {
    Guarded<std::string> text(std::string(64, 'a'));
    std::atomic<bool> torn{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (t % 2 == 0) {
                    text.set(std::string(64, i % 2 ? 'a' : 'b'));
                } else {
                    const std::string seen = text.get();
                    if (seen != std::string(64, 'a') && seen != std::string(64, 'b')) torn = true;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(torn);
}

TEST(GuardedWeak, GivesAnOwnerOnlyWhileOneLives) {
    GuardedWeak<int> weak;
    EXPECT_EQ(weak.get(), nullptr);
    auto owner = std::make_shared<int>(7);
    weak.set(owner);
    ASSERT_NE(weak.get(), nullptr);
    EXPECT_EQ(*weak.get(), 7);
    const GuardedWeak<int> copy = weak;
    owner.reset();
    EXPECT_EQ(weak.get(), nullptr);
    EXPECT_EQ(copy.get(), nullptr);
}

}  // namespace
