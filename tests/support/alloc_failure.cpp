#include "alloc_failure.h"

#include <gtest/gtest.h>

#include <string>

#include "vovedi/pool.h"
#include "vovedi/testpoint.h"
#include "vovedi/zthread.h"

void warm_up_allocator()
{
    zthread_init();
    // Any default-pool operation sets the pool up; this one changes nothing
    // (unregistering a null object would drop a record kept with no object,
    // such as the installation paths' release record).
    pool_record_count(nullptr);
    testpoint_clear();
}

namespace
{

void add_site(const char *file, int line, void *context)
{
    auto *text = static_cast<std::string *>(context);
    *text += std::string("\n    ") + file + ":" + std::to_string(line);
}

// The sites of the blocks allocated after serial and still live.
std::string live_sites_since(uint64_t serial)
{
    std::string text;
    pool_live_sites(serial, add_site, &text);
    return text.empty() ? " (sites unknown)" : ", allocated at:" + text;
}

// Keeps the sites of live blocks for the scope of a sweep.
struct site_tracking {
    site_tracking() { pool_track_sites(1); }
    ~site_tracking() { pool_track_sites(0); }
};

} // namespace

alloc_sweep_result alloc_failure_sweep(const std::function<bool()> &op, bool may_absorb, int limit)
{
    warm_up_allocator();
    site_tracking tracking;
    for (int k = 1; k <= limit; k++) {
        long before = pool_live_blocks();
        uint64_t serial = pool_site_serial();
        testpoint_t *tp = testpoint_define("^mem$", "alloc", nullptr);
        EXPECT_NE(tp, nullptr);
        if (!tp)
            return {k - 1};
        testpoint_set_nth(tp, static_cast<uint64_t>(k));
        testpoint_set_thread(tp, zthread_self());
        testpoint_set_replacement(tp, 0, nullptr);
        testpoint_enable(1);
        bool ok = op();
        testpoint_enable(0);
        uint64_t hits = testpoint_hits(tp);
        testpoint_clear();
        EXPECT_EQ(pool_live_blocks(), before)
            << "blocks leaked with allocation " << k << " failing"
            << (pool_live_blocks() > before ? live_sites_since(serial) : "");
        if (hits == 0) {
            EXPECT_TRUE(ok) << "no failure injected, yet the operation failed";
            return {k - 1};
        }
        if (!may_absorb) {
            EXPECT_FALSE(ok) << "allocation " << k << " failed, yet the operation succeeded";
        }
    }
    ADD_FAILURE() << "operation still allocating after " << limit << " runs";
    return {limit};
}
