#include <gtest/gtest.h>

#include <thread>

#include "vovedi/testpoint.h"
#include "vovedi/zthread.h"

namespace
{

class TestpointTest : public testing::Test
{
  protected:
    void TearDown() override { testpoint_clear(); }
};

int marker;

} // namespace

TEST_F(TestpointTest, DisabledHooksPassValuesThrough)
{
    testpoint_t *tp = testpoint_define("", "", nullptr);
    testpoint_set_every(tp, 1);
    testpoint_set_replacement(tp, 99, nullptr);
    EXPECT_EQ(testpoint_ptr(&marker, "mem", "alloc", __FILE__, __LINE__), &marker);
    EXPECT_EQ(testpoint_int(5, "http", "debug", __FILE__, __LINE__), 5);
    EXPECT_EQ(testpoint_evaluations(tp), 0u);
}

TEST_F(TestpointTest, EveryZeroCountsButNeverFiresEveryOneAlwaysFires)
{
    testpoint_t *never = testpoint_define("^http$", "debug", nullptr);
    testpoint_t *always = testpoint_define("^ht", "sockerror", nullptr);
    testpoint_set_every(always, 1);
    testpoint_set_replacement(always, 1, nullptr);
    testpoint_enable(1);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(testpoint_int(0, "http", "debug", __FILE__, __LINE__), 0);
        EXPECT_EQ(testpoint_int(0, "%s", "sockerror", __FILE__, __LINE__, "http"), 1);
    }
    EXPECT_EQ(testpoint_int(0, "mem", "sockerror", __FILE__, __LINE__), 0); // category differs
    EXPECT_EQ(testpoint_evaluations(never), 3u);
    EXPECT_EQ(testpoint_hits(never), 0u);
    EXPECT_EQ(testpoint_evaluations(always), 3u);
    EXPECT_EQ(testpoint_hits(always), 3u);
}

TEST_F(TestpointTest, NthFiresExactlyOnceAndLastFiringRecordWins)
{
    testpoint_t *third = testpoint_define("mem", "alloc", nullptr);
    testpoint_set_nth(third, 3);
    testpoint_set_replacement(third, 0, nullptr);
    testpoint_t *fifth = testpoint_define("mem", "alloc", nullptr);
    testpoint_set_nth(fifth, 3);
    testpoint_set_replacement(fifth, 0, &marker);
    int dummy;
    testpoint_enable(1);
    EXPECT_EQ(testpoint_ptr(&dummy, "mem", "alloc", __FILE__, __LINE__), &dummy);
    EXPECT_EQ(testpoint_ptr(&dummy, "mem", "alloc", __FILE__, __LINE__), &dummy);
    EXPECT_EQ(testpoint_ptr(&dummy, "mem", "alloc", __FILE__, __LINE__), &marker);
    EXPECT_EQ(testpoint_ptr(&dummy, "mem", "alloc", __FILE__, __LINE__), &dummy);
    EXPECT_EQ(testpoint_hits(third), 1u);
    EXPECT_EQ(testpoint_hits(fifth), 1u);
}

TEST_F(TestpointTest, ThreadFilterIgnoresOtherThreads)
{
    testpoint_t *tp = testpoint_define("mem", "alloc", nullptr);
    testpoint_set_every(tp, 1);
    testpoint_set_thread(tp, zthread_self());
    testpoint_enable(1);
    int dummy;
    void *seen = nullptr;
    std::thread other([&] { seen = testpoint_ptr(&dummy, "mem", "alloc", __FILE__, __LINE__); });
    other.join();
    EXPECT_EQ(seen, &dummy);
    EXPECT_EQ(testpoint_ptr(&dummy, "mem", "alloc", __FILE__, __LINE__), nullptr);
}

TEST_F(TestpointTest, TimersStartStopAndCountTheirEvent)
{
    testpoint_t *timer = testpoint_define("^http$", "finish-open", "open");
    testpoint_set_verbose(timer, 1);
    testpoint_enable(1);
    testpoint_int(0, "http", "open", __FILE__, __LINE__);
    testpoint_int(0, "http", "open", __FILE__, __LINE__); // already timing: first start kept
    EXPECT_EQ(testpoint_evaluations(timer), 0u);          // a start is not an evaluation
    testpoint_int(0, "http", "finish-open", __FILE__, __LINE__);
    EXPECT_EQ(testpoint_evaluations(timer), 1u);
    // After the stop the slot is free again: a new start and stop work.
    testpoint_int(0, "http", "open", __FILE__, __LINE__);
    testpoint_int(0, "http", "finish-open", __FILE__, __LINE__);
    EXPECT_EQ(testpoint_evaluations(timer), 2u);
}

TEST_F(TestpointTest, DefinitionsAreChecked)
{
    EXPECT_EQ(testpoint_define("(", "", nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    std::string long_event(65, 'e');
    EXPECT_EQ(testpoint_define("", long_event.c_str(), nullptr), nullptr);
    EXPECT_NE(testpoint_define("", std::string(64, 'e').c_str(), nullptr), nullptr);
}
