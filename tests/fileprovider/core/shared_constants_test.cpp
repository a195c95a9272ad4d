// test-labels: unit tsan
// The lazily built constants (date patterns, digest tables, the path set) are built once, safely,
// when many threads reach them first at the same time.
#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/core/RFCStandards.hpp"
#include "fileprovider/core/SHA2.hpp"
#include "fileprovider/core/XMLTree.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace RiridOzizevud;

TEST(SharedConstants, FirstUseFromManyThreads) {
    std::atomic<int> failures{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    const auto expected = fp_sha512("x");  // built here once for comparison; the others race below
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < 50; ++i) {
                if (!dateFromRFCString("Sun, 06 Nov 1994 08:49:37 GMT")) ++failures;
                if (rfcString(platform::Date(0), RFCStandards::rfc3339) != "1970-01-01T00:00:00Z") ++failures;
                if (fp_sha256("abc").size() != 32 || fp_sha384("abc").size() != 48) ++failures;
                if (fp_sha512("x") != expected) ++failures;
                if (filePathAllowed().contains(U':')) ++failures;
                auto doc = XMLDocument::make();
                doc->load(std::string_view("<a><b>" + std::to_string(t) + "</b></a>"));
                if (doc->rootElement()->firstChild("b")->value != std::to_string(t)) ++failures;
            }
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}
