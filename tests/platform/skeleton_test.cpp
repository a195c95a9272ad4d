// test-labels: unit
#include <gtest/gtest.h>
TEST(Skeleton, Builds) { SUCCEED(); }
