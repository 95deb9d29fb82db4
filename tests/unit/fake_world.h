#pragma once

#include "platform/in_memory_platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morex {

// Every test starts on a fresh in-memory platform and must leave nothing outstanding.
class FakeWorldTest : public ::testing::Test {
protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override {
    ExpectNothingOutstanding();
    fake::Reset();
  }

  fake::World &world() { return fake::State(); }

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
