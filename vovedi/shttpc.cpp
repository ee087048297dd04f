// Socket client: one TCP connection, plain or TLS, with a single deadline
// per operation.

#include "vovedi/shttpc.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vovedi/log.h"
#include "vovedi/pool.h"
#include "vovedi/sockerr.h"
#include "vovedi/ssl_util.h"
#include "vovedi/testpoint.h"

namespace
{

// A bad argument: errno EINVAL and the matching socket error.
int refuse_argument()
{
    errno = EINVAL;
    sockerr_set(SOCKERR_EINVAL);
    return -1;
}

bool would_block(int code)
{
    return code == SOCKERR_EWOULDBLOCK || code == SOCKERR_EINPROGRESS;
}

// The deadline of one operation, taken once at its start. The test point
// "shttpc"/"deadline" may replace the budget; a negative one puts the
// deadline in the past.
int64_t operation_deadline(const shttpc_t *conn)
{
    int budget =
        testpoint_int(static_cast<int>(conn->timeout_ms), "shttpc", "deadline", __FILE__, __LINE__);
    return sockerr_clock_ms() + budget;
}

[[maybe_unused]] const char *error_text(int rc, const char *buffer) // strerror_r, XSI flavour
{
    return rc == 0 ? buffer : "Unknown error";
}

[[maybe_unused]] const char *error_text(const char *text, const char *) // GNU flavour
{
    return text;
}

// A new handle without a socket yet; null (reported) when memory runs out.
shttpc_t *handle_new(int mode, int timeout_ms)
{
    auto *conn = static_cast<shttpc_t *>(VV_CALLOC(sizeof(shttpc_t)));
    if (!conn) {
        log_nomem("socket creation");
        sockerr_set(SOCKERR_ENOBUFS);
        errno = ENOMEM;
        return nullptr;
    }
    conn->mode = mode;
    conn->sock = -1;
    conn->timeout_ms = timeout_ms > 0 ? static_cast<uint32_t>(timeout_ms) : 0;
    return conn;
}

// The TCP socket of the given family, close-on-exec so that no child
// process inherits it; -1 with the last error set.
int open_stream_socket(int family)
{
    int sock = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock < 0)
        sockerr_set_errno(errno);
    return sock;
}

// Release a handle whose socket could not be made, keeping the reason.
void handle_discard(shttpc_t *conn, int posix_errno)
{
    int code = sockerr_get();
    VV_FREE(conn);
    sockerr_set(code);
    errno = posix_errno;
}

// Wait for a non-blocking connect to finish: 0 when connected, -1 with the
// reason in the last error. A deadline that has passed fails at once.
int shttpc_get_connect_error(shttpc_t *conn, int64_t deadline)
{
    int ready = 0;
    int rc = sockerr_wait(conn->sock, SOCKERR_WRITABLE, deadline, &ready);
    if (rc < 0) {
        log_report(LOG_LEVEL_ERROR, "shttpc_get_connect_error::socket is not selected, err=%d",
                   sockerr_get());
        return -1;
    }
    if (rc == 0)
        return -1;
    int code = 0;
    bool fetched = sockerr_pending(conn->sock, &code) == 0;
    if ((ready & SOCKERR_EXCEPTION) && !fetched)
        code = SOCKERR_ECONNREFUSED;
    if (code != 0) {
        sockerr_set(code);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// TLS

// Why the calling thread's last connect refused a certificate; empty when
// it refused none.
thread_local char tls_refusal[320];

void refuse_tls(const char *format, ...) VV_PRINTF(1, 2);

void refuse_tls(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(tls_refusal, sizeof tls_refusal, format, args);
    va_end(args);
}

bool is_address(const char *name)
{
    unsigned char address[16];
    return inet_pton(AF_INET, name, address) == 1 || inet_pton(AF_INET6, name, address) == 1;
}

// Plain words for the commonest reasons a certificate is refused.
const char *certificate_problem(long code)
{
    switch (code) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "it has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "it is not valid yet";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return "it is self-signed, and not one of the trusted certificates";
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return "its chain ends in a self-signed certificate that is not trusted";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return "its issuer is unknown: no trusted authority signed it";
    case X509_V_ERR_CERT_REVOKED:
        return "it has been revoked";
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return "its signature does not check out";
    case X509_V_ERR_INVALID_PURPOSE:
        return "it is not meant for a TLS server";
    default:
        return nullptr;
    }
}

// After a failed handshake: the reason a checked certificate was refused.
void note_certificate_refusal(const shttpc_t *conn, SSL *ssl)
{
    long code = SSL_get_verify_result(ssl);
    if (!conn->tls_verify || code == X509_V_OK)
        return;
    const char *name = conn->server_name ? conn->server_name : "";
    if (code == X509_V_ERR_HOSTNAME_MISMATCH || code == X509_V_ERR_IP_ADDRESS_MISMATCH)
        refuse_tls("the server's certificate was refused: it is for another host than %s", name);
    else if (const char *problem = certificate_problem(code))
        refuse_tls("the server's certificate was refused: %s", problem);
    else
        refuse_tls("the server's certificate was refused: %s", X509_verify_cert_error_string(code));
}

// Load the authorities the server's certificate must lead to.
bool load_trusted(const shttpc_t *conn, SSL_CTX *ctx)
{
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    if (conn->ca_file ? SSL_CTX_load_verify_locations(ctx, conn->ca_file, nullptr) == 1
                      : SSL_CTX_set_default_verify_paths(ctx) == 1)
        return true;
    if (conn->ca_file)
        refuse_tls("the trusted certificates cannot be loaded from %s", conn->ca_file);
    else
        refuse_tls("the system's trusted certificates cannot be loaded");
    return false;
}

// Name the server in the handshake (SNI) and, when asked, check the name.
bool name_server(const shttpc_t *conn, SSL *ssl)
{
    const char *name = conn->server_name;
    if (!name || !*name)
        return true;
    bool address = is_address(name);
    if (!address && SSL_set_tlsext_host_name(ssl, name) != 1)
        ERR_clear_error(); // a name the extension cannot carry goes unsent
    if (!conn->tls_verify)
        return true;
    return address ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name) == 1
                   : SSL_set1_host(ssl, name) == 1;
}

// The context and connection object of a TLS handle, bound to its socket.
// 0, or -1 with SOCKERR_ECONNREFUSED.
int tls_prepare(shttpc_t *conn)
{
    auto *ctx = static_cast<SSL_CTX *>(shttpc_ssl_ctx_new());
    conn->ctx = ctx;
    if (!ctx || (conn->tls_verify && !load_trusted(conn, ctx))) {
        ERR_clear_error();
        sockerr_set(SOCKERR_ECONNREFUSED);
        return -1;
    }
    SSL *ssl = SSL_new(ctx);
    conn->ssl = ssl;
    BIO *bio = ssl ? ssl_util_socket_bio_new(conn->sock) : nullptr;
    if (!bio) {
        log_report(LOG_LEVEL_ERROR, "Failed: SSL_set_fd()\n");
        ERR_clear_error();
        sockerr_set(SOCKERR_ECONNREFUSED);
        return -1;
    }
    SSL_set_bio(ssl, bio, bio);
    // The handshake ends with the client's small flight, and the request
    // follows at once: held back for the peer's delayed acknowledgement
    // it would wait some 40 ms. Every write here is whole TLS records.
    int on = 1;
    setsockopt(conn->sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (!name_server(conn, ssl)) {
        ERR_clear_error();
        sockerr_set(SOCKERR_ECONNREFUSED);
        return -1;
    }
    return 0;
}

// What to wait for after a TLS call that could not go on: the readiness to
// wait for, or 0 when the failure is final.
int tls_wait_for(int code)
{
    if (code == SSL_ERROR_WANT_READ)
        return SOCKERR_READABLE;
    if (code == SSL_ERROR_WANT_WRITE)
        return SOCKERR_WRITABLE;
    return 0;
}

// The TLS handshake that ends every connect, under the connect's deadline.
// A plain handle has none.
int shttpc_connect_ssl(shttpc_t *conn, int64_t deadline)
{
    if (conn->mode == SHTTPC_MODE_PLAIN)
        return 0;
    if (tls_prepare(conn) != 0)
        return -1;
    auto *ssl = static_cast<SSL *>(conn->ssl);
    for (;;) {
        ERR_clear_error();
        int rc = SSL_connect(ssl);
        if (rc > 0)
            return 0;
        int code = SSL_get_error(ssl, rc);
        int want = tls_wait_for(code);
        if (conn->timeout_ms == 0 || want == 0) {
            note_certificate_refusal(conn, ssl);
            ERR_clear_error();
            sockerr_set(code);
            return -1;
        }
        int ready = 0;
        int waited = sockerr_wait(conn->sock, want, deadline, &ready);
        if (waited < 0)
            log_report(LOG_LEVEL_ERROR, "shttpc_connect_ssl::socket select error");
        if (waited <= 0)
            return -1;
        // A socket error ends the handshake at once; a hang-up without one
        // is left to the next attempt, which reads the end of the stream.
        int pending = 0;
        if ((ready & SOCKERR_EXCEPTION) && sockerr_pending(conn->sock, &pending) != 0)
            pending = SOCKERR_ECONNREFUSED;
        if (pending != 0) {
            sockerr_set(pending);
            return -1;
        }
    }
}

// One TLS read attempt, as read_attempt.
int tls_read_attempt(shttpc_t *conn, char *buffer, int size, int *wait_for)
{
    auto *ssl = static_cast<SSL *>(conn->ssl);
    ERR_clear_error();
    int got = SSL_read(ssl, buffer, size);
    if (got > 0)
        return got;
    if (got == 0) { // the end of the stream, announced or not
        ERR_clear_error();
        return 0;
    }
    int code = SSL_get_error(ssl, got);
    ERR_clear_error();
    if (conn->timeout_ms != 0)
        *wait_for = tls_wait_for(code);
    if (*wait_for == 0)
        sockerr_set(code);
    return -1;
}

// One TLS write attempt, as write_attempt. The whole buffer goes to
// SSL_write every time: a repeated write must pass the same arguments.
int tls_write_attempt(shttpc_t *conn, const char *data, int length, int *written, int *wait_for)
{
    auto *ssl = static_cast<SSL *>(conn->ssl);
    ERR_clear_error();
    int sent = SSL_write(ssl, data, length);
    if (sent > 0) {
        *written = length;
        return 1;
    }
    int code = SSL_get_error(ssl, sent);
    ERR_clear_error();
    if (conn->timeout_ms != 0)
        *wait_for = tls_wait_for(code);
    if (*wait_for == 0) {
        sockerr_set(code);
        return -1;
    }
    return 0;
}

// One attempt at reading. Returns the count or -1; with -1, *wait_for
// tells what to wait for before the next attempt (0: the failure is final,
// reason in the last error).
int read_attempt(shttpc_t *conn, char *buffer, int size, int *wait_for)
{
    *wait_for = 0;
    if (conn->mode != SHTTPC_MODE_PLAIN) {
        if (conn->ssl)
            return tls_read_attempt(conn, buffer, size, wait_for);
        sockerr_set(SOCKERR_ENOTCONN); // no handshake yet
        return -1;
    }
    int got = sockerr_recv(conn->sock, buffer, size);
    if (got < 0 && conn->timeout_ms != 0 && would_block(sockerr_get()))
        *wait_for = SOCKERR_READABLE;
    return got;
}

// One attempt at writing what is left after *written bytes. Returns 1 when
// all is written, 0 to wait for *wait_for, -1 on failure (last error set).
int write_attempt(shttpc_t *conn, const char *data, int length, int *written, int *wait_for)
{
    *wait_for = 0;
    if (conn->mode != SHTTPC_MODE_PLAIN) {
        if (conn->ssl)
            return tls_write_attempt(conn, data, length, written, wait_for);
        sockerr_set(SOCKERR_ENOTCONN); // no handshake yet
        return -1;
    }
    int sent = sockerr_send(conn->sock, data + *written, length - *written);
    if (sent > 0) {
        *written += sent;
        if (*written == length)
            return 1;
    } else if (conn->timeout_ms == 0 || !would_block(sockerr_get())) {
        return -1;
    }
    *wait_for = SOCKERR_WRITABLE;
    return 0;
}

} // namespace

shttpc_t *shttpc_socket_new(int mode, int timeout_ms)
{
    if (mode != SHTTPC_MODE_PLAIN && mode != SHTTPC_MODE_TLS) {
        refuse_argument();
        return nullptr;
    }
    shttpc_t *conn = handle_new(mode, timeout_ms);
    if (!conn)
        return nullptr;
    conn->sock = open_stream_socket(AF_INET);
    if (conn->sock < 0) {
        int posix_errno = errno;
        log_report(LOG_LEVEL_ERROR,
                   "shttpc_socket_new::Not able to create socket,error number = %d", sockerr_get());
        handle_discard(conn, posix_errno);
        return nullptr;
    }
    return conn;
}

shttpc_t *shttpc_new_ipv6(int mode, int timeout_ms, const struct addrinfo *ai)
{
    if (!ai || (mode != SHTTPC_MODE_PLAIN && mode != SHTTPC_MODE_TLS)) {
        refuse_argument();
        return nullptr;
    }
    int family = ai->ai_family == AF_INET6 ? AF_INET6 : AF_INET;
    if (ai->ai_family != AF_UNSPEC && ai->ai_family != AF_INET && ai->ai_family != AF_INET6) {
        log_report(LOG_LEVEL_ERROR, "shttpc_new_ipv6::Unknown adrress family = %d", ai->ai_family);
        errno = EAFNOSUPPORT;
        sockerr_set(SOCKERR_EAFNOSUPPORT);
        return nullptr;
    }
    shttpc_t *conn = handle_new(mode, timeout_ms);
    if (!conn)
        return nullptr;
    conn->sock = open_stream_socket(family);
    if (conn->sock < 0) {
        int posix_errno = errno;
        if (sockerr_get() != SOCKERR_EAFNOSUPPORT) {
            char buffer[128] = "";
            log_report(
                LOG_LEVEL_ERROR, "shttpc_new_ipv6::Not able to create socket, Reason: %s(%d)",
                error_text(strerror_r(posix_errno, buffer, sizeof buffer), buffer), sockerr_get());
        }
        handle_discard(conn, posix_errno);
        return nullptr;
    }
    return conn;
}

int shttpc_set_tls_peer(shttpc_t *conn, const char *server_name, int verify, const char *ca_file)
{
    if (!conn) {
        errno = EINVAL;
        return -1;
    }
    char *name = server_name ? VV_STRDUP(server_name) : nullptr;
    char *file = ca_file ? VV_STRDUP(ca_file) : nullptr;
    if ((server_name && !name) || (ca_file && !file)) {
        VV_FREE(name);
        VV_FREE(file);
        errno = ENOMEM;
        return -1;
    }
    VV_FREE(conn->server_name);
    VV_FREE(conn->ca_file);
    conn->server_name = name;
    conn->ca_file = file;
    conn->tls_verify = verify ? 1 : 0;
    return 0;
}

const char *shttpc_tls_refusal(void)
{
    return tls_refusal[0] ? tls_refusal : nullptr;
}

void shttpc_tls_refusal_clear(void)
{
    tls_refusal[0] = '\0';
}

struct ssl_ctx_st *shttpc_ssl_ctx_new(void)
{
    if (!ssl_util_init()) {
        log_report(LOG_LEVEL_ERROR, "SSL Initialization error");
        return nullptr;
    }
    const SSL_METHOD *method = TLS_client_method();
    if (!method) {
        log_report(LOG_LEVEL_ERROR, "Not able to create SSL method");
        return nullptr;
    }
    SSL_CTX *ctx = SSL_CTX_new(method);
    if (!ctx)
        log_report(LOG_LEVEL_ERROR, "Not able to create SSL context");
    return ctx;
}

int shttpc_connect(shttpc_t *conn, const struct sockaddr *addr, int addrlen)
{
    tls_refusal[0] = '\0';
    if (!conn || !addr || addrlen <= 0)
        return refuse_argument();
    int64_t deadline = operation_deadline(conn);
    bool timed = conn->timeout_ms != 0;
    if (sockerr_set_nonblocking(conn->sock, timed) != 0)
        return -1;
    int entry_error = sockerr_get();
    if (connect(conn->sock, addr, static_cast<socklen_t>(addrlen)) != 0) {
        int code = sockerr_set_errno(errno);
        if (!timed || !would_block(code))
            return -1;
        if (shttpc_get_connect_error(conn, deadline) != 0)
            return -1;
        sockerr_set(entry_error); // connected: the "in progress" is no reason for anything
    }
    return shttpc_connect_ssl(conn, deadline) == 0 ? 0 : -1;
}

int shttpc_connect_ipv6(shttpc_t *conn, const struct addrinfo *ai, int addrlen)
{
    if (!ai)
        return refuse_argument();
    return shttpc_connect(conn, ai->ai_addr, addrlen);
}

int64_t shttpc_deadline(const shttpc_t *conn)
{
    if (!conn || conn->timeout_ms == 0)
        return -1;
    return operation_deadline(conn);
}

int shttpc_read_until(shttpc_t *conn, char *buffer, int size, int64_t deadline)
{
    if (!conn || !buffer || size < 0)
        return refuse_argument();
    // A read that had to wait and then succeeded leaves the last error as
    // it found it, not at the "would block" of its first attempt.
    int entry_error = sockerr_get();
    for (;;) {
        int wait_for = 0;
        int got = read_attempt(conn, buffer, size, &wait_for);
        if (got >= 0)
            sockerr_set(entry_error);
        if (got >= 0 || wait_for == 0)
            return got;
        if (sockerr_wait(conn->sock, wait_for, deadline, nullptr) != 1)
            return -1;
    }
}

int shttpc_read(shttpc_t *conn, char *buffer, int size)
{
    if (!conn)
        return refuse_argument();
    return shttpc_read_until(conn, buffer, size, shttpc_deadline(conn));
}

int shttpc_write(shttpc_t *conn, const char *data, int length)
{
    if (!conn || length < 0 || (!data && length > 0))
        return refuse_argument();
    if (length == 0)
        return 0;
    // Without a time-out only a partial send on the blocking socket waits,
    // and then without a limit.
    int64_t deadline = conn->timeout_ms != 0 ? operation_deadline(conn) : -1;
    int entry_error = sockerr_get();
    int written = 0;
    for (;;) {
        int wait_for = 0;
        int rc = write_attempt(conn, data, length, &written, &wait_for);
        if (rc > 0)
            sockerr_set(entry_error);
        if (rc != 0)
            return rc > 0 ? length : -1;
        rc = sockerr_wait(conn->sock, wait_for, deadline, nullptr);
        if (rc < 0) {
            log_report(LOG_LEVEL_INFO, "shttpc_write::socket select error. ");
            return -1;
        }
        if (rc == 0)
            return written;
    }
}

int shttpc_setsockopt(shttpc_t *conn, int level, int name, const void *value, int length)
{
    if (!conn || length < 0)
        return refuse_argument();
    if (setsockopt(conn->sock, level, name, value, static_cast<socklen_t>(length)) != 0) {
        sockerr_set_errno(errno);
        return -1;
    }
    return 0;
}

int shttpc_bind(shttpc_t *conn, const struct sockaddr *addr, int addrlen)
{
    if (!conn || !addr || addrlen <= 0)
        return refuse_argument();
    if (bind(conn->sock, addr, static_cast<socklen_t>(addrlen)) != 0) {
        sockerr_set_errno(errno);
        return -1;
    }
    return 0;
}

void shttpc_close(shttpc_t *conn)
{
    if (!conn)
        return;
    int saved_errno = errno;
    if (conn->ssl)
        SSL_free(static_cast<SSL *>(conn->ssl)); // its transport goes with it
    if (conn->ctx) {
        SSL_CTX_free(static_cast<SSL_CTX *>(conn->ctx));
        ERR_clear_error();
    }
    if (conn->sock >= 0)
        close(conn->sock);
    VV_FREE(conn->server_name);
    VV_FREE(conn->ca_file);
    VV_FREE(conn);
    errno = saved_errno;
}
