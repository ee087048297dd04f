#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <unistd.h>

#include "vovedi/zthread.h"

namespace
{

std::atomic<int> setups{0};
zthread_once_t race_once = ZTHREAD_ONCE_INIT;

void slow_setup()
{
    setups++;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

} // namespace

TEST(Zthread, OnceRunsSetupOnceAndOthersWaitForIt)
{
    std::atomic<int> finished_before_setup_done{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; i++) {
        threads.emplace_back([&] {
            zthread_once(&race_once, slow_setup);
            if (race_once.done == 0)
                finished_before_setup_done++;
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(setups.load(), 1);
    EXPECT_EQ(finished_before_setup_done.load(), 0);
    zthread_once(&race_once, slow_setup);
    EXPECT_EQ(setups.load(), 1);
}

TEST(Zthread, InitFromTwoThreadsSeesOneOutcome)
{
    int a = -1, b = -1;
    std::thread t1([&] { a = zthread_init(); });
    std::thread t2([&] { b = zthread_init(); });
    t1.join();
    t2.join();
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 1);
}

TEST(Zthread, OnlyTheOwnersUnlockCounts)
{
    zthread_mutex_t *m = zthread_mutex_new();
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(zthread_mutex_lock(m), 0);
    std::thread other([m] { zthread_mutex_unlock(m); });
    other.join();
    // Still held: another thread cannot take it.
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        zthread_mutex_lock(m);
        acquired = true;
        zthread_mutex_unlock(m);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(acquired.load());
    zthread_mutex_unlock(m);
    waiter.join();
    EXPECT_TRUE(acquired.load());
    zthread_mutex_free(m);
    EXPECT_EQ(zthread_mutex_lock(nullptr), 1);
    zthread_mutex_free(nullptr);
}

TEST(Zthread, MutexExcludesConcurrentIncrements)
{
    zthread_mutex_t *m = zthread_mutex_new();
    long counter = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++) {
        threads.emplace_back([&] {
            for (int j = 0; j < 20000; j++) {
                zthread_mutex_lock(m);
                counter++;
                zthread_mutex_unlock(m);
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);
    zthread_mutex_free(m);
}

TEST(Zthread, SelfIsTheKernelThreadIdAlsoAfterFork)
{
    EXPECT_EQ(zthread_self(), static_cast<long>(gettid()));
    long parent = zthread_self();
    long other = 0;
    std::thread t([&] { other = zthread_self(); });
    t.join();
    EXPECT_NE(other, parent);
    EXPECT_EXIT(
        {
            bool fresh = zthread_self() == static_cast<long>(gettid()) && zthread_self() != parent;
            exit(fresh ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}
