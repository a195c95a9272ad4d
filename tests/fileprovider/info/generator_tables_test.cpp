// test-labels: unit media tsan
// The process-wide tables and closures are replaced by a host while requests read them.
#include "fileprovider/info/LocalFileInformationGenerator.hpp"

#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using Generator = RiridOzizevud::LocalFileInformationGenerator;
using platform::URL;

TEST(GeneratorTables, ReplacementsWhileRequestsRead) {
    const auto savedTable = Generator::customPropertiesExtensions();
    const auto savedGenerator = Generator::customProperties();
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back([&] {
            while (!stop) {
                (void)Generator::propertiesOfFileSupported("a.thing");
                const auto p = Generator::properties(URL::fileURLWithPath("/nonexistent/a.thing"));
                if (!p.keys.empty()) {
                    EXPECT_EQ(p.keys.size(), 1u);
                    ++answered;
                }
            }
        });
    for (int round = 0; round < 200; ++round) {
        Generator::setCustomPropertiesExtensions(round % 2 ? Generator::Extensions{"thing"} : Generator::Extensions{});
        Generator::setCustomProperties([round](const URL&) {
            return Generator::Properties{{{"Round", round}}, {"Round"}};
        });
    }
    Generator::setCustomPropertiesExtensions({"thing"});
    EXPECT_TRUE(ostrane_test::waitUntil([&] { return answered.load() > 0; })) << "no reader saw the custom generator";
    stop = true;
    for (auto& t : readers) t.join();
    Generator::setCustomProperties(savedGenerator);
    Generator::setCustomPropertiesExtensions(savedTable);
    EXPECT_FALSE(Generator::propertiesOfFileSupported("a.thing"));
}

} // namespace
