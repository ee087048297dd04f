/*
 * The socket side of the platform layer: the per-thread socket last error,
 * kept as Windows Sockets numbers so that every reason text and error number
 * the kit reports is the same on every platform; the English texts of common
 * system error codes; a monotonic millisecond clock for deadlines; waiting on
 * one socket; and send/receive calls that never raise SIGPIPE.
 */
#ifndef VOVEDI_SOCKERR_H
#define VOVEDI_SOCKERR_H

#include <stdint.h>
#include "common.h"

VV_BEGIN_DECL

/* Windows Sockets error numbers the kit stores and tests for. */
enum {
    SOCKERR_NOT_ENOUGH_MEMORY = 8,
    SOCKERR_EINTR = 10004,
    SOCKERR_EBADF = 10009,
    SOCKERR_EACCES = 10013,
    SOCKERR_EFAULT = 10014,
    SOCKERR_EINVAL = 10022,
    SOCKERR_EMFILE = 10024,
    SOCKERR_EWOULDBLOCK = 10035,
    SOCKERR_EINPROGRESS = 10036,
    SOCKERR_EALREADY = 10037,
    SOCKERR_ENOTSOCK = 10038,
    SOCKERR_EDESTADDRREQ = 10039,
    SOCKERR_EMSGSIZE = 10040,
    SOCKERR_EPROTOTYPE = 10041,
    SOCKERR_ENOPROTOOPT = 10042,
    SOCKERR_EPROTONOSUPPORT = 10043,
    SOCKERR_ESOCKTNOSUPPORT = 10044,
    SOCKERR_EOPNOTSUPP = 10045,
    SOCKERR_EPFNOSUPPORT = 10046,
    SOCKERR_EAFNOSUPPORT = 10047,
    SOCKERR_EADDRINUSE = 10048,
    SOCKERR_EADDRNOTAVAIL = 10049,
    SOCKERR_ENETDOWN = 10050,
    SOCKERR_ENETUNREACH = 10051,
    SOCKERR_ENETRESET = 10052,
    SOCKERR_ECONNABORTED = 10053,
    SOCKERR_ECONNRESET = 10054,
    SOCKERR_ENOBUFS = 10055,
    SOCKERR_EISCONN = 10056,
    SOCKERR_ENOTCONN = 10057,
    SOCKERR_ESHUTDOWN = 10058,
    SOCKERR_ETOOMANYREFS = 10059,
    SOCKERR_ETIMEDOUT = 10060,
    SOCKERR_ECONNREFUSED = 10061,
    SOCKERR_ELOOP = 10062,
    SOCKERR_ENAMETOOLONG = 10063,
    SOCKERR_EHOSTDOWN = 10064,
    SOCKERR_EHOSTUNREACH = 10065,
    SOCKERR_EUSERS = 10068,
    SOCKERR_EDQUOT = 10069,
    SOCKERR_ESTALE = 10070,
    SOCKERR_EREMOTE = 10071,
    SOCKERR_TYPE_NOT_FOUND = 10109,
    SOCKERR_HOST_NOT_FOUND = 11001,
    SOCKERR_TRY_AGAIN = 11002,
    SOCKERR_NO_RECOVERY = 11003,
    SOCKERR_NO_DATA = 11004
};

/* The calling thread's socket last error (0 when none was set). */
int sockerr_get(void);

/* Store a code as the calling thread's socket last error. */
void sockerr_set(int code);

/* Clear the calling thread's socket last error; done at the start of each API call. */
void sockerr_reset(void);

/*
 * The Windows Sockets number for a POSIX errno value. EPIPE, which here only
 * arises when the peer has gone, becomes SOCKERR_ECONNRESET. 0 stays 0;
 * values without a counterpart are returned unchanged.
 */
int sockerr_from_errno(int posix_errno);

/* Store sockerr_from_errno(posix_errno) as the last error and return it. */
int sockerr_set_errno(int posix_errno);

/*
 * The system's English text for a Windows system error code (including the
 * Windows Sockets and resolver numbers above), ending in "\r\n"; a static
 * string, or null for a code without a text.
 */
const char *sockerr_system_message(unsigned code);

/* Milliseconds of a monotonic clock: deadlines do not move with the wall clock. */
int64_t sockerr_clock_ms(void);

/* Readiness a wait asks for and reports, as the read, write and exception sets of select. */
enum { SOCKERR_READABLE = 1, SOCKERR_WRITABLE = 2, SOCKERR_EXCEPTION = 4 };

/*
 * Wait until the socket fd is ready for what want asks (SOCKERR_READABLE
 * and/or SOCKERR_WRITABLE) or has an error or hang-up pending, at most until
 * deadline_ms (a sockerr_clock_ms value; negative: no limit). Any descriptor
 * number works. Returns 1 with the readiness in *ready (SOCKERR_EXCEPTION for
 * an error or hang-up); 0 when the deadline passed first, without waiting if
 * it had passed already, with the last error SOCKERR_ETIMEDOUT; -1 when
 * waiting failed or fd is negative, with the reason in the last error.
 * Signals do not end the wait early.
 */
int sockerr_wait(int fd, int want, int64_t deadline_ms, int *ready);

/*
 * send on a stream socket without ever raising SIGPIPE, restarted after
 * signals. Bytes sent, or -1 with the reason in the last error (a peer that
 * has gone gives SOCKERR_ECONNRESET).
 */
int sockerr_send(int fd, const char *data, int length);

/* recv restarted after signals: bytes read (0 at end of stream), or -1 with the last error. */
int sockerr_recv(int fd, char *buffer, int size);

/* Put the socket in non-blocking (1) or blocking (0) mode: 0, or -1 with the last error. */
int sockerr_set_nonblocking(int fd, int nonblocking);

/*
 * Fetch and clear the socket's pending error (SO_ERROR) as a Windows Sockets
 * number into *code: 0 when fetched, -1 when it cannot be (last error set).
 */
int sockerr_pending(int fd, int *code);

VV_END_DECL

#endif
