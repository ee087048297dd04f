#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "alloc_failure.h"
#include "vovedi/array.h"
#include "vovedi/pool.h"
#include "vovedi/testpoint.h"

namespace
{

std::vector<std::string> events;

void note_array_release(void *object)
{
    events.push_back("array");
    array_free(static_cast<array_t *>(object));
}

pool_t *shutting_pool;
void *freed_inside;

// A release function that frees another recorded block of the same pool.
void release_and_free_neighbour(void *object)
{
    events.push_back("neighbour");
    pool_free(shutting_pool, freed_inside);
    free(object);
}

} // namespace

TEST(Pool, FreeIgnoresNullAndUnrecordedBlocks)
{
    size_t records = pool_record_count(nullptr);
    pool_free(nullptr, nullptr);
    void *block = pool_malloc(nullptr, 10, __FILE__, __LINE__);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(pool_record_count(nullptr), records); // no pool: nothing recorded
    EXPECT_EQ(pool_unregister(nullptr, block), 0);
    pool_free(nullptr, block);
    EXPECT_EQ(pool_record_count(nullptr), records);
    EXPECT_EQ(pool_current(), nullptr);
}

TEST(Pool, ReallocKeepsOrReplacesItsRecord)
{
    pool_t *pool = pool_new();
    ASSERT_NE(pool, nullptr);
    char *block = static_cast<char *>(pool_malloc(pool, 16, __FILE__, __LINE__));
    EXPECT_EQ(pool_record_count(pool), 1u);
    // Growing far enough to move the block replaces the record.
    char *moved = static_cast<char *>(pool_realloc(pool, block, 1 << 20, __FILE__, __LINE__));
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(pool_record_count(pool), 1u);
    // Shrinking in place keeps it.
    char *same = static_cast<char *>(pool_realloc(pool, moved, 1 << 19, __FILE__, __LINE__));
    EXPECT_EQ(pool_record_count(pool), 1u);
    pool_free(pool, same);
    EXPECT_EQ(pool_record_count(pool), 0u);
    pool_shutdown(pool);
}

TEST(Pool, ShutdownReleasesInInsertionOrderThenFreesPool)
{
    events.clear();
    pool_t *pool = pool_new();
    long live = pool_live_blocks();
    void *memory = pool_malloc(pool, 32, __FILE__, __LINE__);
    array_t *array = array_new(pool_release);
    array_append(array, VV_STRDUP("element"));
    pool_register(pool, note_array_release, array, __FILE__, __LINE__);
    char *text = pool_strdup(pool, "recorded", __FILE__, __LINE__);
    EXPECT_STREQ(text, "recorded");
    EXPECT_EQ(pool_record_count(pool), 3u);
    ASSERT_NE(memory, nullptr);
    pool_shutdown(pool); // pool object freed too: ASan checks nothing is touched afterwards
    EXPECT_EQ(events, (std::vector<std::string>{"array"}));
    EXPECT_LT(pool_live_blocks(), live + 3); // array and its element were released
}

TEST(Pool, ReleaseFunctionMayFreeWhileShuttingDown)
{
    events.clear();
    shutting_pool = pool_new();
    void *first = malloc(8);
    pool_register(shutting_pool, release_and_free_neighbour, first, __FILE__, __LINE__);
    freed_inside = pool_malloc(shutting_pool, 8, __FILE__, __LINE__);
    void *third = pool_calloc(shutting_pool, 8, __FILE__, __LINE__);
    ASSERT_NE(third, nullptr);
    pool_shutdown(shutting_pool); // neither deadlocks nor releases freed_inside twice
    EXPECT_EQ(events, (std::vector<std::string>{"neighbour"}));
}

TEST(Pool, FailedReallocLeavesBlockAndRecord)
{
    pool_t *pool = pool_new();
    void *block = pool_malloc(pool, 8, __FILE__, __LINE__);
    EXPECT_EQ(pool_realloc(pool, block, SIZE_MAX / 2, __FILE__, __LINE__), nullptr);
    EXPECT_EQ(pool_record_count(pool), 1u);
    pool_shutdown(pool); // releases the untouched block
}

TEST(Pool, AllocationTestPointSimulatesExhaustion)
{
    warm_up_allocator();
    testpoint_t *tp = testpoint_define("^mem$", "alloc", nullptr);
    long live = pool_live_blocks();
    testpoint_set_every(tp, 1);
    testpoint_enable(1);
    void *fresh = VV_MALLOC(64);
    char *copy = VV_STRDUP("abc");
    testpoint_enable(0);
    EXPECT_EQ(fresh, nullptr);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(pool_live_blocks(), live); // replaced blocks were released, not leaked

    // A simulated resize failure keeps the old block and its content.
    char *block = static_cast<char *>(VV_MALLOC(4));
    memcpy(block, "xyz", 4);
    testpoint_enable(1);
    EXPECT_EQ(VV_REALLOC(block, 1 << 20), nullptr);
    testpoint_enable(0);
    EXPECT_STREQ(block, "xyz");
    EXPECT_EQ(testpoint_hits(tp), 3u);
    VV_FREE(block);
    EXPECT_EQ(pool_live_blocks(), live);
    testpoint_clear();
}

namespace
{

void free_after_shutdown()
{
    // Runs after the default pool's shutdown (registered earlier, so later).
    void *late = VV_MALLOC(16);
    VV_FREE(late);
    fputs("late free done\n", stderr);
}

} // namespace

TEST(PoolDeathTest, FreeingFromLaterExitHandlerWorks)
{
    EXPECT_EXIT(
        {
            atexit(free_after_shutdown); // registered before the default pool's
            pool_free(nullptr, VV_MALLOC(1));
            exit(0);
        },
        testing::ExitedWithCode(0), "late free done");
}

namespace
{

void collect_site(const char *file, int line, void *context)
{
    static_cast<std::vector<std::string> *>(context)->push_back(std::string(file) + ":" +
                                                                std::to_string(line));
}

std::vector<std::string> sites_since(uint64_t serial)
{
    std::vector<std::string> sites;
    size_t count = pool_live_sites(serial, collect_site, &sites);
    EXPECT_EQ(count, sites.size());
    return sites;
}

std::string here(int line)
{
    return std::string(__FILE__) + ":" + std::to_string(line);
}

} // namespace

TEST(Pool, LiveBlocksKeepTheirSitesWhileAsked)
{
    warm_up_allocator(); // the one-time set-ups stay allocated
    pool_track_sites(1);
    uint64_t serial = pool_site_serial();
    char *a = static_cast<char *>(VV_MALLOC(16));
    char *b = VV_STRDUP("text");
    EXPECT_EQ(sites_since(serial).size(), 2u);
    int moved_at = __LINE__ + 1;
    a = static_cast<char *>(VV_REALLOC(a, 1 << 20));
    VV_FREE(b);
    EXPECT_EQ(sites_since(serial), std::vector<std::string>{here(moved_at)});
    VV_FREE(a);
    EXPECT_TRUE(sites_since(serial).empty());
    // Many blocks at once, released in another order than taken.
    std::vector<void *> blocks;
    for (int k = 0; k < 5000; k++)
        blocks.push_back(VV_MALLOC(static_cast<size_t>(8 + k % 64)));
    EXPECT_EQ(sites_since(serial).size(), 5000u);
    for (size_t k = 0; k < blocks.size(); k += 2)
        VV_FREE(blocks[k]);
    for (size_t k = 1; k < blocks.size(); k += 2)
        VV_FREE(blocks[k]);
    EXPECT_TRUE(sites_since(serial).empty());
    pool_track_sites(0);
    void *unseen = VV_MALLOC(8);
    EXPECT_EQ(pool_live_sites(0, nullptr, nullptr), 0u);
    VV_FREE(unseen);
}

TEST(Pool, SweepNamesTheSitesOfLeakedBlocks)
{
    // An operation that keeps one block each time it succeeds: the sweep's
    // complaint names the line that allocated it.
    std::vector<void *> kept;
    int line = 0;
    ::testing::TestPartResultArray complaints;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD,
            &complaints);
        alloc_failure_sweep([&] {
            line = __LINE__ + 1;
            void *block = VV_MALLOC(24);
            if (block)
                kept.push_back(block);
            return block != nullptr;
        });
    }
    for (void *block : kept)
        VV_FREE(block);
    ASSERT_EQ(complaints.size(), 1);
    std::string message = complaints.GetTestPartResult(0).message();
    EXPECT_NE(message.find("blocks leaked"), std::string::npos) << message;
    EXPECT_NE(message.find(here(line)), std::string::npos) << message;
}

TEST(Pool, PrefaultingLeavesContentsAlone)
{
    // A hint only: what a block holds stays, whether its pages were there or not.
    for (size_t size : {size_t{100}, size_t{5000}, size_t{4} << 20}) {
        auto *block = static_cast<unsigned char *>(VV_MALLOC(size));
        ASSERT_NE(block, nullptr);
        for (size_t k = 0; k < size; k += 997)
            block[k] = static_cast<unsigned char>(k);
        pool_prefault(block, size);
        for (size_t k = 0; k < size; k += 997)
            EXPECT_EQ(block[k], static_cast<unsigned char>(k));
        VV_FREE(block);
    }
    pool_prefault(nullptr, 0);
    pool_prefault(nullptr, 1 << 20);
}
