#pragma once

#include "platform/in_memory_platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morex {

// Every test starts on a fresh in-memory platform and must leave nothing outstanding.
class InMemoryWorldTest : public ::testing::Test {
protected:
  void SetUp() override { in_memory::Reset(); }
  void TearDown() override {
    ExpectNothingOutstanding();
    in_memory::Reset();
  }

  in_memory::World &world() { return in_memory::State(); }

  void ExpectNothingOutstanding() {
    EXPECT_EQ(world().Outstanding(), 0u);
    EXPECT_EQ(world().registrations, world().deregistrations);
    EXPECT_EQ(world().overruns, 0);
  }

  static std::vector<std::uint8_t> BytesWithZero(const std::string &text) {
    return std::vector<std::uint8_t>(text.c_str(), text.c_str() + text.size() + 1);
  }
};

} // namespace morex
