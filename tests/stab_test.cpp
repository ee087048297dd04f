#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <strings.h>
#include <string>
#include <thread>
#include <vector>

#include "alloc_failure.h"
#include "vovedi/pool.h"
#include "vovedi/stab.h"

namespace
{

std::vector<std::string> keys_of(stab_t *t)
{
    std::vector<std::string> keys;
    stab_iter_t cursor;
    for (const char *k = stab_first(t, &cursor); k; k = stab_next(t, &cursor))
        keys.emplace_back(k);
    return keys;
}

using texts = std::vector<std::string>;

} // namespace

TEST(Stab, HashValuesAndIterationOrder)
{
    EXPECT_EQ(hash_default("version"), 8266);
    EXPECT_EQ(hash_default("xmlns"), 3908);
    EXPECT_EQ(hash_default("status"), 5894);
    EXPECT_EQ(hash_default("reason"), 5674);
    EXPECT_EQ(hash_default("errno"), 3894);
    EXPECT_EQ(hash_default("ERRNO"), 3894);
    EXPECT_EQ(hash_default("version") % STAB_BUCKETS, 85);

    // Order depends on buckets, never on insertion order across buckets.
    stab_t *a = stab_new("errno", "13001", "status", "failed", "reason", "r", nullptr);
    stab_t *b = stab_new("reason", "r", "errno", "1", "status", "failed", nullptr);
    EXPECT_EQ(keys_of(a), (texts{"reason", "status", "errno"}));
    EXPECT_EQ(keys_of(b), (texts{"reason", "status", "errno"}));
    stab_free(a);
    stab_free(b);
}

TEST(Stab, SameBucketIteratesLatestFirst)
{
    // Only the first 128 bytes are hashed: keys that differ after that collide.
    std::string stem(128, 'k');
    std::string k1 = stem + "1", k2 = stem + "2";
    ASSERT_EQ(hash_default(k1.c_str()), hash_default(k2.c_str()));
    stab_t *t = stab_new(nullptr);
    stab_set(t, k1.c_str(), "one");
    stab_set(t, k2.c_str(), "two");
    EXPECT_EQ(keys_of(t), (texts{k2, k1}));
    EXPECT_STREQ(stab_get(t, k1.c_str()), "one");
    EXPECT_STREQ(stab_get(t, k2.c_str()), "two");
    stab_free(t);
}

TEST(Stab, KeysAreCaseInsensitiveAndKeepFirstCase)
{
    stab_t *t = stab_new("Content-Length", "1234", nullptr);
    EXPECT_EQ(stab_get_int(t, "content-length", -1), 1234);
    EXPECT_EQ(stab_set(t, "CONTENT-LENGTH", "  -56xyz"), 0);
    EXPECT_EQ(stab_get_int(t, "Content-length", -1), -56);
    EXPECT_EQ(stab_get_int(t, "absent", 77), 77);
    EXPECT_EQ(keys_of(t), (texts{"Content-Length"}));
    EXPECT_EQ(stab_count(t), 1u);
    stab_free(t);
}

TEST(Stab, InlineAndSeparateTextsReadBackAlike)
{
    stab_t *t = stab_new(nullptr);
    std::string k31(31, 'a'), k32(32, 'b'), v31(31, 'c'), v32(32, 'd'), v500(500, 'e');
    EXPECT_EQ(stab_set(t, k31.c_str(), v31.c_str()), 0);
    EXPECT_EQ(stab_set(t, k32.c_str(), v32.c_str()), 0);
    EXPECT_EQ(stab_get(t, k31.c_str()), v31);
    EXPECT_EQ(stab_get(t, k32.c_str()), v32);
    // Overwrite in every direction between inline and separate values.
    EXPECT_EQ(stab_set(t, k31.c_str(), v500.c_str()), 0);
    EXPECT_EQ(stab_set(t, k32.c_str(), "short"), 0);
    EXPECT_EQ(stab_get(t, k31.c_str()), v500);
    EXPECT_STREQ(stab_get(t, k32.c_str()), "short");
    // A value taken from the table itself, even a part of it, is copied intact.
    EXPECT_EQ(stab_set(t, k31.c_str(), stab_get(t, k31.c_str()) + 10), 0);
    EXPECT_EQ(stab_get(t, k31.c_str()), std::string(490, 'e'));
    EXPECT_EQ(stab_set(t, k32.c_str(), stab_get(t, k32.c_str()) + 1), 0);
    EXPECT_STREQ(stab_get(t, k32.c_str()), "hort");
    stab_free(t);
}

TEST(Stab, AbsentKeysAndNullTables)
{
    stab_t *t = stab_new("a", "1", nullptr);
    const char *missing = stab_get(t, "b");
    ASSERT_NE(missing, nullptr);
    EXPECT_STREQ(missing, "");
    EXPECT_STREQ(stab_get_default(nullptr, "a", "dflt"), "dflt");
    EXPECT_STREQ(stab_get_default(t, "b", "dflt"), "dflt");
    EXPECT_EQ(stab_set(t, nullptr, "x"), 22);
    stab_free(t);
    stab_free(nullptr);
    // A null value ends the pairs.
    t = stab_new("a", "1", "b", nullptr, "c", "3", nullptr);
    EXPECT_EQ(stab_count(t), 1u);
    stab_free(t);
}

TEST(Stab, IterationValueFollowsCursor)
{
    stab_t *t = stab_new("status", "passed", "errno", "0", nullptr);
    stab_iter_t cursor;
    const char *k = stab_first(t, &cursor);
    EXPECT_STREQ(k, "status");
    EXPECT_STREQ(stab_iter_value(&cursor), "passed");
    k = stab_next(t, &cursor);
    EXPECT_STREQ(k, "errno");
    EXPECT_STREQ(stab_iter_value(&cursor), "0");
    EXPECT_EQ(stab_next(t, &cursor), nullptr);
    stab_free(t);
}

TEST(Stab, AllocationFailuresGiveThreeAndLeakNothing)
{
    std::string long_key(40, 'K'), long_value(60, 'V');
    int set_failures = 0;
    auto runs = alloc_failure_sweep([&] {
        stab_t *t = stab_new(nullptr);
        if (!t)
            return false;
        int rc = stab_set(t, long_key.c_str(), long_value.c_str());
        EXPECT_TRUE(rc == 0 || rc == 3);
        if (rc == 3) {
            set_failures++;
            // A failed set leaves the table as it was: the new key is absent.
            EXPECT_EQ(stab_get_default(t, long_key.c_str(), nullptr), nullptr);
        }
        stab_free(t);
        return rc == 0;
    });
    EXPECT_EQ(set_failures, 1);      // the entry, holding key and value
    EXPECT_EQ(runs.failing_runs, 3); // and the table and its lock

    // Replacing a value keeps the old one when the new one cannot be copied.
    stab_t *kept = stab_new(nullptr);
    ASSERT_EQ(stab_set(kept, "k", "short"), 0);
    ASSERT_EQ(stab_set(kept, "k", long_value.c_str()), 0); // too long for the entry
    std::string next(70, 'W');
    alloc_failure_sweep([&] {
        int rc = stab_set(kept, "K", next.c_str());
        EXPECT_STREQ(stab_get(kept, "k"), rc == 0 ? next.c_str() : long_value.c_str());
        return rc == 0;
    });
    stab_free(kept);

    alloc_failure_sweep([] {
        stab_t *n = stab_new("status", "failed", "reason", std::string(50, 'r').c_str(), nullptr);
        bool ok = n && stab_count(n) == 2;
        stab_free(n);
        return ok;
    });
}

TEST(Stab, ConcurrentSettersAndReaders)
{
    stab_t *t = stab_new(nullptr);
    std::vector<std::thread> threads;
    for (int w = 0; w < 4; w++) {
        threads.emplace_back([t, w] {
            for (int i = 0; i < 500; i++) {
                std::string key = "k" + std::to_string(w) + "-" + std::to_string(i % 50);
                stab_set(t, key.c_str(), std::string(i % 64, 'v').c_str());
                stab_get(t, key.c_str());
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(stab_count(t), 200u);
    stab_free(t);
}

namespace
{

// What a table must hold: each key (in its first spelling) with its value
// and the time it was first set.
struct model_entry {
    std::string key;
    std::string value;
    int inserted;
};

std::vector<std::string> model_order(const std::vector<model_entry> &model)
{
    std::vector<model_entry> sorted = model;
    std::sort(sorted.begin(), sorted.end(), [](const model_entry &a, const model_entry &b) {
        unsigned ba = hash_default(a.key.c_str()) % STAB_BUCKETS;
        unsigned bb = hash_default(b.key.c_str()) % STAB_BUCKETS;
        return ba != bb ? ba < bb : a.inserted > b.inserted;
    });
    std::vector<std::string> keys;
    for (const model_entry &e : sorted)
        keys.push_back(e.key);
    return keys;
}

} // namespace

TEST(Stab, SmallAndLargeTablesAgreeWithTheirModel)
{
    // Random sets on shared and local tables, from one key up to hundreds
    // (past the size where a table gets its bucket index): every value,
    // the count and the iteration order match a model of the rules.
    std::mt19937 random(17);
    for (bool local : {false, true}) {
        for (int keys : {1, 3, 8, 9, 40, 300}) {
            stab_t *t = local ? stab_new_local() : stab_new(nullptr);
            ASSERT_NE(t, nullptr);
            std::vector<model_entry> model;
            for (int step = 0; step < keys * 4; step++) {
                std::string key = "Key" + std::to_string(random() % keys);
                if (random() % 2)
                    key[0] = 'k'; // the same key in another spelling
                std::string value(random() % 3 ? random() % 40 : random() % 200, 'a' + step % 26);
                auto it = std::find_if(model.begin(), model.end(), [&](const model_entry &e) {
                    return strcasecmp(e.key.c_str(), key.c_str()) == 0;
                });
                if (it == model.end() || random() % 4) {
                    ASSERT_EQ(stab_set(t, key.c_str(), value.c_str()), 0);
                } else {
                    // A value taken from the table itself, here a part of it.
                    const char *own = stab_get(t, key.c_str());
                    value = own + strlen(own) / 2;
                    ASSERT_EQ(stab_set(t, key.c_str(), own + strlen(own) / 2), 0);
                }
                if (it == model.end())
                    model.push_back({key, value, step});
                else
                    it->value = value;
            }
            EXPECT_EQ(stab_count(t), model.size());
            EXPECT_EQ(keys_of(t), model_order(model)) << keys << (local ? " local" : " shared");
            for (const model_entry &e : model) {
                std::string upper = e.key;
                upper[0] = 'K';
                EXPECT_EQ(stab_get(t, upper.c_str()), e.value);
            }
            EXPECT_EQ(stab_get_default(t, "absent", nullptr), nullptr);
            stab_free(t);
        }
    }
}

TEST(Stab, TableCostsWhatItHolds)
{
    // An element's attribute table with one short pair: the table and one
    // entry holding key and value, no lock and no buckets.
    warm_up_allocator();
    long before = pool_live_blocks();
    stab_t *t = stab_new_local();
    ASSERT_EQ(stab_set(t, "a", ""), 0);
    EXPECT_EQ(pool_live_blocks() - before, 2);
    stab_free(t);
    EXPECT_EQ(pool_live_blocks(), before);
}

TEST(Stab, RacingSettersOfOneNewKeyLeaveOneEntry)
{
    // Many threads set the same new keys at once: each key is in the table
    // once, whichever thread came first.
    constexpr int threads = 8, keys = 400;
    for (int round = 0; round < 5; round++) {
        stab_t *t = stab_new(nullptr);
        std::atomic<int> ready{0};
        std::vector<std::thread> pool;
        for (int w = 0; w < threads; w++) {
            pool.emplace_back([&, w] {
                ready++;
                while (ready < threads)
                    ;
                for (int k = 0; k < keys; k++)
                    stab_set(t, ("key" + std::to_string(k)).c_str(), std::to_string(w).c_str());
            });
        }
        for (auto &th : pool)
            th.join();
        EXPECT_EQ(stab_count(t), static_cast<size_t>(keys)) << "round " << round;
        stab_free(t);
    }
}
