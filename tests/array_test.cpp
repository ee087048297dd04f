#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "alloc_failure.h"
#include "vovedi/array.h"
#include "vovedi/pool.h"
#include "vovedi/testpoint.h"

namespace
{

std::vector<intptr_t> released;

void note_release(void *element)
{
    released.push_back(reinterpret_cast<intptr_t>(element));
}

void *item(intptr_t n)
{
    return reinterpret_cast<void *>(n);
}

} // namespace

TEST(Array, GrowsFrom16To32AndIterates)
{
    released.clear();
    array_t *a = array_new(note_release);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->capacity, 0);
    int cursor;
    EXPECT_EQ(array_first(a, &cursor), ARRAY_EMPTY);
    for (intptr_t i = 1; i <= 16; i++)
        ASSERT_EQ(array_append(a, item(i)), 0);
    EXPECT_EQ(a->capacity, 16);
    ASSERT_EQ(array_append(a, item(17)), 0);
    EXPECT_EQ(a->capacity, 32);
    EXPECT_EQ(a->slots[17], ARRAY_EMPTY);

    intptr_t expected = 1;
    for (void *p = array_first(a, &cursor); p != ARRAY_EMPTY; p = array_next(a, &cursor))
        EXPECT_EQ(p, item(expected++));
    EXPECT_EQ(expected, 18);
    EXPECT_EQ(array_next(a, &cursor), ARRAY_EMPTY); // stays at the end

    array_free(a);
    EXPECT_EQ(released.size(), 17u);
}

TEST(Array, SetRefusesGapsAndReleasesOverwritten)
{
    released.clear();
    array_t *a = array_new(note_release);
    EXPECT_EQ(array_set(a, 1, item(5)), 1);
    EXPECT_EQ(array_set(a, -1, item(5)), 1);
    EXPECT_EQ(array_set(a, 0, item(5)), 0);
    EXPECT_EQ(array_set(a, 2, item(6)), 1); // count + 1
    EXPECT_EQ(array_set(a, 0, item(7)), 0);
    EXPECT_EQ(released, (std::vector<intptr_t>{5}));
    EXPECT_EQ(array_count(a), 1);
    EXPECT_EQ(array_get(a, 0), item(7));
    EXPECT_EQ(array_get(a, 1), ARRAY_EMPTY);
    array_free(a);
    EXPECT_EQ(released, (std::vector<intptr_t>{5, 7}));
}

TEST(Array, FailedGrowthKeepsElementsForOneRelease)
{
    warm_up_allocator();
    array_t *a = array_new(pool_release);
    for (int i = 0; i < 16; i++)
        ASSERT_EQ(array_append(a, VV_STRDUP("x")), 0);
    char *extra = VV_STRDUP("17th");
    testpoint_t *tp = testpoint_define("^mem$", "alloc", nullptr);
    testpoint_set_nth(tp, 1);
    testpoint_enable(1);
    EXPECT_EQ(array_append(a, extra), 3);
    testpoint_clear();
    EXPECT_EQ(array_count(a), 16);
    EXPECT_EQ(a->capacity, 16);
    VV_FREE(extra);
    array_free(a); // every stored element exactly once (ASan would catch a second)
}
