#include <gtest/gtest.h>
#include "error.hpp"
TEST(DriftErrorTest, Messages) {
    EXPECT_EQ(morvanta::DriftError::insufficient_samples(1, 0, "ks_two_sample").message(),
              "insufficient samples: need at least 1, got 0 (ks_two_sample)");
}
