// The TLS library's start and the ISAAC generator that feeds its seeding.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <openssl/bio.h>
#include <openssl/rand.h>
#include <string>
#include <thread>
#include <vector>

#include "vovedi/ssl_util.h"

namespace
{

// ISAAC as published with its reference program (rand.c): written apart
// from the library's, with the reference's own pointer walk, to check it.
struct reference_isaac {
    uint32_t rsl[256] = {}, mem[256] = {}, a = 0, b = 0, c = 0;

    void generate()
    {
        uint32_t *m = mem, *m2 = mem + 128, *r = rsl, *mend = mem + 128, x, y;
        uint32_t aa = a, bb = b + ++c;
        auto step = [&](uint32_t mix) {
            x = *m;
            aa = (aa ^ mix) + *(m2++);
            *(m++) = y = mem[(x >> 2) & 255] + aa + bb;
            *(r++) = bb = mem[(y >> 10) & 255] + x;
        };
        for (int pass = 0; pass < 2; pass++) {
            while (m < mend) {
                step(aa << 13);
                step(aa >> 6);
                step(aa << 2);
                step(aa >> 16);
            }
            m2 = mem;
            mend = mem + 256;
        }
        a = aa;
        b = bb;
    }

    // randinit(ctx, TRUE) with the result block as seed; like the
    // reference, it ends with one generation step.
    void init()
    {
        uint32_t v[8];
        for (uint32_t &w : v)
            w = 0x9e3779b9;
        auto mix = [&v] {
            v[0] ^= v[1] << 11;
            v[3] += v[0];
            v[1] += v[2];
            v[1] ^= v[2] >> 2;
            v[4] += v[1];
            v[2] += v[3];
            v[2] ^= v[3] << 8;
            v[5] += v[2];
            v[3] += v[4];
            v[3] ^= v[4] >> 16;
            v[6] += v[3];
            v[4] += v[5];
            v[4] ^= v[5] << 10;
            v[7] += v[4];
            v[5] += v[6];
            v[5] ^= v[6] >> 4;
            v[0] += v[5];
            v[6] += v[7];
            v[6] ^= v[7] << 8;
            v[1] += v[6];
            v[7] += v[0];
            v[7] ^= v[0] >> 9;
            v[2] += v[7];
            v[0] += v[1];
        };
        for (int i = 0; i < 4; i++)
            mix();
        for (const uint32_t *from : {rsl, mem}) {
            for (int i = 0; i < 256; i += 8) {
                for (int k = 0; k < 8; k++)
                    v[k] += from[i + k];
                mix();
                for (int k = 0; k < 8; k++)
                    mem[i + k] = v[k];
            }
        }
        generate();
    }
};

std::string hex_words(const uint32_t *words, int count)
{
    std::string out;
    char piece[9];
    for (int i = 0; i < count; i++) {
        snprintf(piece, sizeof piece, "%08x", words[i]);
        out += piece;
    }
    return out;
}

} // namespace

// The reference program seeds with zeros, runs randinit (one generation
// step) and prints the next two result blocks. The library's generator
// runs no step at its start, so its second and third blocks are the ones
// printed.
TEST(SslUtil, IsaacGivesThePublishedOutputForTheZeroSeed)
{
    reference_isaac ref;
    ref.init();
    std::string published;
    for (int block = 0; block < 2; block++) {
        ref.generate();
        published += hex_words(ref.rsl, 256);
    }
    // The first and the last line of the published vector.
    EXPECT_EQ(published.substr(0, 64),
              "f650e4c8e448e96d98db2fb4f5fad54f433f1afbedec154ad837048746ca4f9a");
    EXPECT_EQ(published.substr(published.size() - 64),
              "9d8d190886ba527ff943f672ef73fbf046d95ca5c54cd95b9d855e894bb5af29");

    const uint32_t zero_seed[256] = {};
    ssl_util_random_seed(zero_seed);
    std::vector<unsigned char> bytes(3 * 1024);
    // Reads of odd sizes cross the block ends as one long read would.
    for (size_t at = 0; at < bytes.size(); at += 100)
        ssl_util_random_bytes(bytes.data() + at, std::min<size_t>(100, bytes.size() - at));
    std::vector<uint32_t> words(bytes.size() / 4);
    for (size_t i = 0; i < words.size(); i++) // each word least significant byte first
        words[i] = bytes[4 * i] | bytes[4 * i + 1] << 8 | bytes[4 * i + 2] << 16 |
                   static_cast<uint32_t>(bytes[4 * i + 3]) << 24;
    EXPECT_EQ(hex_words(words.data() + 256, 512), published);

    // Restarting from the same seed gives the same bytes again.
    ssl_util_random_seed(zero_seed);
    std::vector<unsigned char> again(bytes.size());
    ssl_util_random_bytes(again.data(), again.size());
    EXPECT_EQ(again, bytes);
}

TEST(SslUtil, StartsOnceFromManyThreadsAndGivesSocketTransports)
{
    std::vector<int> flags(8, -1);
    std::vector<std::thread> threads;
    for (int &flag : flags)
        threads.emplace_back([&flag] { flag = ssl_util_init(); });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(flags, std::vector<int>(8, 1));
    EXPECT_EQ(ssl_util_initialised(), 1);
    EXPECT_EQ(RAND_status(), 1);
    ssl_util_seed(); // more seeding never hurts and never blocks

    BIO *bio = ssl_util_socket_bio_new(7);
    ASSERT_NE(bio, nullptr);
    EXPECT_EQ(BIO_get_fd(bio, nullptr), 7);
    BIO_free(bio); // does not close descriptor 7, whatever it is
}
