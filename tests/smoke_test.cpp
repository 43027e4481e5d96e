#include <gtest/gtest.h>

#include "support/agent.h"

using namespace testing_support;

TEST(Smoke, GuardAnswersOnTheDefaultMac) {
    auto run = runAgent("{\"id\":\"a\",\"operation\":\"desktop.guard\"}\n");
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(run.lines[0], R"({"id":"a","ok":true})");
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(run.err.empty());
}
