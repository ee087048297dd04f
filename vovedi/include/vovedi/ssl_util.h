/*
 * TLS support: the once-only start of the TLS library (OpenSSL) with its
 * random-number seeding, the ISAAC generator that feeds the seeding, and a
 * socket transport for TLS connections that never raises SIGPIPE. Nothing
 * here runs until the first TLS connection needs it: a process that only
 * makes plain connections never starts the TLS library.
 */
#ifndef VOVEDI_SSL_UTIL_H
#define VOVEDI_SSL_UTIL_H

#include <stddef.h>
#include <stdint.h>
#include "common.h"

VV_BEGIN_DECL

struct bio_st;

/*
 * Run the one-time start of the TLS library if it has not run yet (once
 * per process, also when several threads arrive together) and return the
 * initialised flag: 1 once the library is started and seeded, 0 when
 * starting it failed.
 */
int ssl_util_init(void);

/* The initialised flag, without running the start: 0 until ssl_util_init ran. */
int ssl_util_initialised(void);

/*
 * Seed the TLS library's random generator from the time, the process id,
 * a few system files and the ISAAC generator, until the library reports
 * enough entropy (at most 64 rounds of 256 bytes, so a broken entropy
 * source cannot hold the caller for ever).
 */
void ssl_util_seed(void);

/*
 * Fill buffer with length bytes of the ISAAC generator, seeded on first use
 * from the monotonic clock. Not locked: meant for the one-time start only.
 */
void ssl_util_random_bytes(unsigned char *buffer, size_t length);

/*
 * For tests: restart the ISAAC generator from the given 256-word seed, as
 * its first use does from the clock, with no generation step run yet and
 * the read position at 0.
 */
void ssl_util_random_seed(const uint32_t seed[256]);

/*
 * A new TLS transport (an OpenSSL BIO) on the socket fd, which it does not
 * close: it reads and writes as OpenSSL's own socket transport does, but
 * sends with MSG_NOSIGNAL, so a peer that has gone gives an error, never
 * SIGPIPE. Null when the TLS library cannot be started or memory runs out.
 * Released with BIO_free (or by SSL_free once given to SSL_set_bio).
 */
struct bio_st *ssl_util_socket_bio_new(int fd);

VV_END_DECL

#endif
