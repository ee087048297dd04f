#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "corvex/cx_startup.h"

TEST(CxStartup, StartsOnceStopsAndStartsAgain)
{
    char message[256] = "";
    errno = 0;
    EXPECT_EQ(cx_startup(nullptr, 0), 0);
    EXPECT_EQ(errno, EINVAL);

    EXPECT_EQ(cx_startup(message, sizeof message), 1);
    EXPECT_EQ(cx_startup(message, sizeof message), 0);
    EXPECT_STREQ(message, "cx_startup failed: already in use");

    // The message is cut to the buffer, never written past it.
    char tiny[8];
    memset(tiny, 'x', sizeof tiny);
    EXPECT_EQ(cx_startup(tiny, 5), 0);
    EXPECT_STREQ(tiny, "cx_s");
    EXPECT_EQ(tiny[5], 'x');

    cx_shutdown();
    cx_shutdown(); // a second stop does nothing
    EXPECT_EQ(cx_startup(message, sizeof message), 1);
    // Without the administration library there is no RPC entry.
    EXPECT_EQ(cx_rpc_entry(), nullptr);
}
