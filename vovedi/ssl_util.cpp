// TLS support: the once-only start of OpenSSL, its seeding, the ISAAC
// generator, and a socket transport that never raises SIGPIPE.
//
// OpenSSL 3 locks its own shared structures, so no lock table or thread-id
// callback is installed.

#include "vovedi/ssl_util.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <openssl/bio.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vovedi/zthread.h"

namespace
{

// ---------------------------------------------------------------------------
// ISAAC, Bob Jenkins' generator: 256 words of state, 256 words of results.

constexpr int isaac_words = 256;
constexpr size_t isaac_bytes = isaac_words * 4;
constexpr uint32_t golden_ratio = 0x9e3779b9;

struct isaac_state {
    uint32_t results[isaac_words];
    uint32_t memory[isaac_words];
    uint32_t a, b, c;
    size_t position; // read position in the result block, as bytes
};

isaac_state generator;
zthread_once_t generator_once = ZTHREAD_ONCE_INIT;

// One generation step: refills the result block.
void isaac_generate(isaac_state &s)
{
    uint32_t *m = s.memory;
    uint32_t a = s.a;
    uint32_t b = s.b + ++s.c;
    for (int i = 0; i < isaac_words; i++) {
        uint32_t x = m[i];
        switch (i % 4) {
        case 0:
            a ^= a << 13;
            break;
        case 1:
            a ^= a >> 6;
            break;
        case 2:
            a ^= a << 2;
            break;
        default:
            a ^= a >> 16;
            break;
        }
        a += m[(i + isaac_words / 2) % isaac_words];
        uint32_t y = m[(x >> 2) % isaac_words] + a + b;
        m[i] = y;
        b = m[(y >> 10) % isaac_words] + x;
        s.results[i] = b;
    }
    s.a = a;
    s.b = b;
}

void isaac_mix(uint32_t v[8])
{
    v[0] ^= v[1] << 11, v[3] += v[0], v[1] += v[2];
    v[1] ^= v[2] >> 2, v[4] += v[1], v[2] += v[3];
    v[2] ^= v[3] << 8, v[5] += v[2], v[3] += v[4];
    v[3] ^= v[4] >> 16, v[6] += v[3], v[4] += v[5];
    v[4] ^= v[5] << 10, v[7] += v[4], v[5] += v[6];
    v[5] ^= v[6] >> 4, v[0] += v[5], v[6] += v[7];
    v[6] ^= v[7] << 8, v[1] += v[6], v[7] += v[0];
    v[7] ^= v[0] >> 9, v[2] += v[7], v[0] += v[1];
}

// The standard initialisation with the result block as seed: the
// accumulators start at the golden ratio and are mixed four times, then
// mixed into the state in a pass over the seed and a pass over the state.
void isaac_init(isaac_state &s, const uint32_t seed[isaac_words])
{
    uint32_t v[8];
    for (uint32_t &word : v)
        word = golden_ratio;
    for (int i = 0; i < 4; i++)
        isaac_mix(v);
    for (const uint32_t *source : {seed, static_cast<const uint32_t *>(s.memory)}) {
        for (int i = 0; i < isaac_words; i += 8) {
            for (int k = 0; k < 8; k++)
                v[k] += source[i + k];
            isaac_mix(v);
            for (int k = 0; k < 8; k++)
                s.memory[i + k] = v[k];
        }
    }
    s.a = s.b = s.c = 0;
    s.position = 0;
}

// First use: the monotonic clock in nanoseconds is the seed's first 8 bytes.
void isaac_seed_from_clock()
{
    uint32_t seed[isaac_words] = {};
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ticks =
        static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
    seed[0] = static_cast<uint32_t>(ticks);
    seed[1] = static_cast<uint32_t>(ticks >> 32);
    isaac_init(generator, seed);
}

// ---------------------------------------------------------------------------
// The start of OpenSSL

constexpr int seed_rounds_max = 64;
constexpr int seed_round_bytes = 256;

zthread_once_t start_once = ZTHREAD_ONCE_INIT;
std::atomic<int> initialised{0};
BIO_METHOD *socket_method = nullptr;

// Send as OpenSSL's socket transport does, but never raise SIGPIPE.
int socket_write(BIO *bio, const char *data, int length)
{
    int fd = -1;
    BIO_get_fd(bio, &fd);
    BIO_clear_retry_flags(bio);
    ssize_t sent;
    do {
        sent = send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent <= 0 && BIO_sock_should_retry(static_cast<int>(sent)))
        BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

int socket_puts(BIO *bio, const char *text)
{
    return socket_write(bio, text, static_cast<int>(strlen(text)));
}

// OpenSSL's socket transport with the sending replaced.
BIO_METHOD *make_socket_method()
{
    const BIO_METHOD *base = BIO_s_socket();
    BIO_METHOD *method = BIO_meth_new(BIO_TYPE_SOCKET, "socket without SIGPIPE");
    if (!method)
        return nullptr;
    if (!BIO_meth_set_write(method, socket_write) ||
        !BIO_meth_set_read(method, BIO_meth_get_read(base)) ||
        !BIO_meth_set_puts(method, socket_puts) ||
        !BIO_meth_set_ctrl(method, BIO_meth_get_ctrl(base)) ||
        !BIO_meth_set_create(method, BIO_meth_get_create(base)) ||
        !BIO_meth_set_destroy(method, BIO_meth_get_destroy(base))) {
        BIO_meth_free(method);
        return nullptr;
    }
    return method;
}

void start()
{
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                         nullptr) != 1)
        return;
    ssl_util_seed();
    socket_method = make_socket_method();
    if (socket_method)
        initialised = 1;
}

} // namespace

int ssl_util_init(void)
{
    zthread_once(&start_once, start);
    return initialised.load();
}

int ssl_util_initialised(void)
{
    return initialised.load();
}

void ssl_util_seed(void)
{
    time_t now = time(nullptr);
    pid_t pid = getpid();
    RAND_seed(&now, sizeof now);
    RAND_seed(&pid, sizeof pid);
    for (const char *file : {"/etc/hosts", "/etc/group", "/etc/resolv.conf"})
        RAND_load_file(file, -1);
    unsigned char bytes[seed_round_bytes];
    for (int round = 0; round < seed_rounds_max; round++) {
        ssl_util_random_bytes(bytes, sizeof bytes);
        RAND_seed(bytes, sizeof bytes);
        if (RAND_status() == 1)
            break;
    }
}

void ssl_util_random_bytes(unsigned char *buffer, size_t length)
{
    zthread_once(&generator_once, isaac_seed_from_clock);
    isaac_state &s = generator;
    for (size_t i = 0; i < length; i++) {
        size_t at = (s.position + i) % isaac_bytes;
        if (at == 0)
            isaac_generate(s);
        // The block read as bytes, each word least significant byte first.
        buffer[i] = static_cast<unsigned char>(s.results[at / 4] >> (8 * (at % 4)));
    }
    s.position = (s.position + length) % isaac_bytes;
}

void ssl_util_random_seed(const uint32_t seed[256])
{
    zthread_once(&generator_once, isaac_seed_from_clock);
    isaac_init(generator, seed);
}

struct bio_st *ssl_util_socket_bio_new(int fd)
{
    if (!ssl_util_init())
        return nullptr;
    BIO *bio = BIO_new(socket_method);
    if (bio)
        BIO_set_fd(bio, fd, BIO_NOCLOSE);
    return bio;
}
