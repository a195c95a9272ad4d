// test-labels: unit keychain
#include "StoreBehaviour.hpp"
#include "keychain/MemoryItemStore.hpp"

namespace keychain_test {

INSTANTIATE_TEST_SUITE_P(Memory, StoreBehaviour,
                         testing::Values(StoreFactory{"Memory", [] { return std::make_shared<MemoryItemStore>(); }}),
                         [](const auto& info) { return info.param.name; });

}  // namespace keychain_test
