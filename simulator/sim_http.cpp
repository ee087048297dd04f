// The HTTP and HTTPS service of the simulator, on libmicrohttpd.
//
// libmicrohttpd reads and parses the request head and the body framing
// (Content-Length or chunked), sends "100 Continue" when asked, refuses what
// does not parse, limits the connections served at once and carries TLS.
// This file adds what the simulator checks on top, a whole-request deadline
// (libmicrohttpd's own time-out only bounds idle time), and the log line.

#include "sim_http.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <microhttpd.h>

#include "sim_listener.h"
#include "sim_log.h"

namespace sim
{

namespace
{

using clock_type = std::chrono::steady_clock;

constexpr size_t head_max = 16384;       // request line and headers
constexpr size_t header_count_max = 100; // header lines
// libmicrohttpd's buffer per connection; a larger one is mapped afresh for
// every connection, which makes each call measurably slower.
constexpr size_t connection_memory = 32 * 1024;

// What libmicrohttpd last reported on the calling thread. Each connection
// has a thread of its own, so on a connection's thread this is about that
// connection; the end of its request takes it into the connection's state.
thread_local std::string last_library_message;

void library_message(void *, const char *format, va_list args)
{
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    last_library_message = text;
    while (!last_library_message.empty() &&
           isspace(static_cast<unsigned char>(last_library_message.back())))
        last_library_message.pop_back();
}

bool iequals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return tolower(static_cast<unsigned char>(x)) ==
                      tolower(static_cast<unsigned char>(y));
           });
}

// The text of a request value for the log, cut and with controls replaced.
std::string printable(std::string_view text)
{
    std::string out;
    for (char c : text.substr(0, 80))
        out += isprint(static_cast<unsigned char>(c)) ? c : '?';
    if (text.size() > 80)
        out += "...";
    return out;
}

const char *reason_phrase(int status)
{
    static constexpr std::pair<int, const char *> reasons[] = {
        {200, "OK"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {411, "Length Required"},
        {413, "Content Too Large"},
        {417, "Expectation Failed"},
        {431, "Request Header Fields Too Large"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
    };
    for (const auto &[code, text] : reasons) {
        if (code == status)
            return text;
    }
    return "Unknown";
}

// The value of the only header of that name; null when absent, and
// *several set when it occurs more than once.
const char *only_header(MHD_Connection *c, const char *name, bool *several)
{
    struct search {
        const char *name;
        const char *found = nullptr;
        int count = 0;
    } s{name};
    MHD_get_connection_values(
        c, MHD_HEADER_KIND,
        [](void *cls, MHD_ValueKind, const char *key, const char *value) {
            auto *s = static_cast<search *>(cls);
            if (iequals(key, s->name) && s->count++ == 0)
                s->found = value ? value : "";
            return MHD_YES;
        },
        &s);
    *several = s.count > 1;
    return s.found;
}

// The path of a request target; the absolute form names scheme and host first.
std::string_view target_path(std::string_view target)
{
    if (target.substr(0, 7) == "http://" || target.substr(0, 8) == "https://") {
        size_t slash = target.find('/', target.find("//") + 2);
        target = slash == std::string_view::npos ? "/" : target.substr(slash);
    }
    return target.substr(0, target.find('?'));
}

} // namespace

// One connection, from accept to close: what the log line will say.
struct connection_state {
    std::string peer;
    int fd = -1;
    clock_type::time_point deadline;
    bool request_line = false; // the request line has been read
    bool head_done = false;    // the whole head has been read and checked
    bool chunked = false;
    bool answered = false;
    bool timed_out = false;
    bool completed_ok = false; // the answer went out whole
    bool body_follows = false; // the head announces a body
    size_t length = 0;         // of a body framed by Content-Length
    std::string body;
    std::string summary;         // the log text once an answer is decided
    std::string library_message; // what libmicrohttpd reported about it

    // A refusal waiting until the body has been read and dropped.
    int refusal = 0;
    std::vector<std::pair<const char *, std::string>> refusal_headers;
};

struct http_service::impl {
    http_settings settings;
    http_handler handler;
    MHD_Daemon *daemon = nullptr;

    mutable std::mutex lock; // guards live, stopping and the deadlines
    std::set<connection_state *> live;
    bool stopping = false;
    bool watch_end = false;
    std::condition_variable watch_wake;
    std::thread watcher;

    listener accepting;

    impl(http_settings s, http_handler h)
        : settings(std::move(s)), handler(std::move(h)),
          accepting(
              tcp_opener(settings.address, settings.port), settings.max_connections,
              [this] { return connections(); },
              [this](int fd, const sockaddr *peer, socklen_t length) { take(fd, peer, length); })
    {
    }

    size_t connections() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return live.size();
    }

    // Hand an accepted connection to libmicrohttpd, which closes it in any case.
    void take(int fd, const sockaddr *peer, socklen_t length)
    {
        if (MHD_add_connection(daemon, fd, peer, length) != MHD_YES)
            log_line(address_text(peer), "dropped (not taken by the HTTP server: " +
                                             std::string(strerror(errno)) + ")");
    }

    // ---- the deadline of each connection

    // libmicrohttpd bounds only the time a connection stays idle. A client
    // that sends a byte now and then would hold its connection for ever, so
    // a watcher ends every connection whose deadline has passed.
    void watch()
    {
        std::unique_lock<std::mutex> guard(lock);
        while (!watch_end) {
            auto now = clock_type::now();
            auto next = now + std::chrono::seconds(1);
            for (connection_state *st : live) {
                if (st->timed_out)
                    continue;
                if (st->deadline <= now) {
                    st->timed_out = true;
                    // The descriptor stays open until the connection's own
                    // thread has taken it out of live, so it is still this
                    // connection's.
                    shutdown(st->fd, SHUT_RDWR);
                } else {
                    next = std::min(next, st->deadline);
                }
            }
            watch_wake.wait_until(guard, next);
        }
    }

    void set_deadline(connection_state *st)
    {
        std::lock_guard<std::mutex> guard(lock);
        st->deadline = clock_type::now() + settings.timeout;
    }

    // ---- answers

    MHD_Result send(MHD_Connection *c, connection_state *st, int status, const char *type,
                    std::string_view body,
                    const std::vector<std::pair<const char *, std::string>> &extra = {})
    {
        MHD_Response *r = MHD_create_response_from_buffer(
            body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
        if (!r)
            return MHD_NO;
        MHD_add_response_header(r, "Server", "corapi-sim");
        MHD_add_response_header(r, "Content-Type", type);
        MHD_add_response_header(r, "Connection", "close");
        for (const auto &[name, value] : extra)
            MHD_add_response_header(r, name, value.c_str());
        st->answered = true;
        set_deadline(st); // a fresh deadline for sending the answer
        MHD_Result rc = MHD_queue_response(c, static_cast<unsigned>(status), r);
        MHD_destroy_response(r);
        return rc;
    }

    // Answer with a status and no result document.
    MHD_Result send_refusal(MHD_Connection *c, connection_state *st, int status,
                            const std::vector<std::pair<const char *, std::string>> &extra)
    {
        std::string body = std::to_string(status) + " " + reason_phrase(status) + "\n";
        return send(c, st, status, "text/plain; charset=utf-8", body, extra);
    }

    // Refuse the request. A body that is on its way is read and dropped
    // first: answering at once and closing with unread input would reset
    // the connection and could destroy the answer before the client reads
    // it. A client that waits for "100 Continue" sends nothing more and is
    // answered at once.
    MHD_Result refuse(MHD_Connection *c, connection_state *st, int status,
                      const std::string &detail,
                      const std::vector<std::pair<const char *, std::string>> &extra = {})
    {
        st->summary = "HTTP " + std::to_string(status) + " (" + detail + ")";
        bool several = false;
        const char *expect = only_header(c, "Expect", &several);
        if (st->body_follows && !expect) {
            st->refusal = status;
            st->refusal_headers = extra;
            return MHD_YES;
        }
        return send_refusal(c, st, status, extra);
    }

    MHD_Result answer(MHD_Connection *c, connection_state *st)
    {
        http_answer a = handler(st->body);
        st->body = std::string();
        if (a.status != 200)
            return refuse(c, st, a.status, a.summary);
        st->summary = a.summary;
        return send(c, st, 200, "text/xml; charset=utf-8", a.body);
    }

    // ---- checks of the head, in the order a client would want them

    MHD_Result check_auth(MHD_Connection *c, connection_state *st)
    {
        const std::vector<std::pair<const char *, std::string>> challenge = {
            {"WWW-Authenticate", "Basic realm=\"corapi-sim\""}};
        bool several = false;
        const char *value = only_header(c, "Authorization", &several);
        if (!value || several)
            return refuse(c, st, 401, value ? "several Authorization headers" : "no credentials",
                          challenge);
        char *password = nullptr;
        char *user = MHD_basic_auth_get_username_password(c, &password);
        bool basic = user && password;
        bool right = basic && settings.user == user && settings.password == password;
        std::string shown_user = user ? printable(user) : "";
        MHD_free(user);
        MHD_free(password);
        if (!basic)
            return refuse(c, st, 401, "not Basic credentials", challenge);
        if (!right)
            return refuse(c, st, 401, "wrong user or password for user " + shown_user, challenge);
        return MHD_YES;
    }

    MHD_Result check_framing(MHD_Connection *c, connection_state *st)
    {
        bool several_te = false, several_cl = false;
        const char *te = only_header(c, "Transfer-Encoding", &several_te);
        const char *cl = only_header(c, "Content-Length", &several_cl);
        if (te) {
            if (cl)
                return refuse(c, st, 400, "both Content-Length and Transfer-Encoding");
            if (several_te || !iequals(te, "chunked"))
                return refuse(c, st, 501, "transfer coding " + printable(te) + " not supported");
            st->chunked = true;
            return MHD_YES;
        }
        if (!cl)
            return refuse(c, st, 411, "no Content-Length");
        if (several_cl)
            return refuse(c, st, 400, "several Content-Length headers");
        std::string_view text = cl;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), st->length);
        if (text.empty() || end != text.data() + text.size() ||
            !isdigit(static_cast<unsigned char>(text.front())))
            return refuse(c, st, 400, "bad Content-Length " + printable(text));
        if (ec == std::errc::result_out_of_range || st->length > settings.max_body)
            return refuse(c, st, 413,
                          "body of " + printable(text) + " bytes over the limit of " +
                              std::to_string(settings.max_body));
        st->body.reserve(st->length); // one buffer for the whole body
        return MHD_YES;
    }

    // Whether the head announces a body: a chunked one, or a length above 0.
    static bool announces_body(MHD_Connection *c)
    {
        bool several = false;
        if (const char *te = only_header(c, "Transfer-Encoding", &several))
            return iequals(te, "chunked");
        const char *cl = only_header(c, "Content-Length", &several);
        return cl && strspn(cl, "0") != strlen(cl);
    }

    MHD_Result check_head(MHD_Connection *c, connection_state *st, const char *url,
                          const char *method, const char *version)
    {
        st->body_follows = announces_body(c);
        const MHD_ConnectionInfo *head_size =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
        if ((head_size && head_size->header_size > head_max) ||
            MHD_get_connection_values(c, MHD_HEADER_KIND, nullptr, nullptr) >
                static_cast<int>(header_count_max))
            return refuse(c, st, 431,
                          "request head over " + std::to_string(head_max) + " bytes or " +
                              std::to_string(header_count_max) + " lines");
        const auto &paths = settings.paths;
        if (std::find(paths.begin(), paths.end(), target_path(url)) == paths.end())
            return refuse(c, st, 404, "no endpoint at " + printable(url));
        if (strcmp(method, "POST") != 0)
            return refuse(c, st, 405, "method " + printable(method), {{"Allow", "POST"}});
        bool several = false;
        if (strcmp(version, MHD_HTTP_VERSION_1_1) == 0 && !only_header(c, "Host", &several))
            return refuse(c, st, 400, "no Host header");
        if (check_auth(c, st) != MHD_YES || !st->summary.empty())
            return MHD_YES;
        if (check_framing(c, st) != MHD_YES || !st->summary.empty())
            return MHD_YES;
        if (const char *expect = only_header(c, "Expect", &several);
            expect && !iequals(expect, "100-continue"))
            return refuse(c, st, 417, "expectation " + printable(expect));
        // Every check has passed: libmicrohttpd now sends "100 Continue"
        // when the client waits for it, and reads the body.
        return MHD_YES;
    }

    // ---- libmicrohttpd's callbacks

    static impl *self(void *cls) { return static_cast<impl *>(cls); }

    static connection_state *state_of(MHD_Connection *c)
    {
        const MHD_ConnectionInfo *info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        return info ? static_cast<connection_state *>(info->socket_context) : nullptr;
    }

    static void on_connection(void *cls, MHD_Connection *c, void **context,
                              MHD_ConnectionNotificationCode code)
    {
        impl *s = self(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto *st = new connection_state;
            const MHD_ConnectionInfo *fd =
                MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
            const MHD_ConnectionInfo *peer =
                MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
            st->fd = fd ? fd->connect_fd : -1;
            st->peer = address_text(peer ? peer->client_addr : nullptr);
            std::lock_guard<std::mutex> guard(s->lock);
            st->deadline = clock_type::now() + s->settings.timeout;
            s->live.insert(st);
            *context = st;
            s->watch_wake.notify_one();
            return;
        }
        auto *st = static_cast<connection_state *>(*context);
        if (!st)
            return;
        bool stopping;
        {
            std::lock_guard<std::mutex> guard(s->lock);
            s->live.erase(st);
            stopping = s->stopping;
        }
        log_line(st->peer, s->closing_text(st, stopping));
        delete st;
        *context = nullptr;
        s->accepting.ended();
    }

    // The status libmicrohttpd answered with on its own, as it reported
    // it; 0 when it answered nothing.
    static int refused_by_library(const connection_state *st)
    {
        constexpr std::string_view marker = "HTTP response code is ";
        size_t at = st->library_message.find(marker);
        if (at == std::string::npos)
            return 0;
        return atoi(st->library_message.c_str() + at + marker.size());
    }

    // What the log line says about a connection that is closing.
    std::string closing_text(const connection_state *st, bool stopping) const
    {
        if (st->answered)
            return st->completed_ok ? st->summary : st->summary + "; answer not delivered";
        if (st->refusal != 0)
            return st->summary + "; body not received whole";
        std::string phase = !st->head_done ? "while reading the request head"
                            : st->chunked  ? "while reading the chunked body"
                                           : "while reading the request body";
        if (st->timed_out)
            return "dropped (timed out " + phase + ")";
        if (stopping)
            return "dropped (server stopping " + phase + ")";
        if (int status = refused_by_library(st))
            return "HTTP " + std::to_string(status) + " (request refused by the HTTP parser)";
        // What libmicrohttpd does before the request line is whole (refuse
        // a bad one, fail a TLS handshake) cannot be told apart here.
        if (!st->request_line)
            return "dropped (no request line: closed, or refused by the HTTP parser)";
        if (!st->head_done)
            return "dropped (request head cut short)";
        return st->chunked ? "dropped (request cut short in the chunked body)"
                           : "dropped (request cut short in the request body)";
    }

    static void *on_request_line(void *, const char *, MHD_Connection *c)
    {
        connection_state *st = state_of(c);
        if (st)
            st->request_line = true;
        return st;
    }

    // Runs on the connection's thread when its request ends.
    static void on_completed(void *, MHD_Connection *, void **context,
                             MHD_RequestTerminationCode code)
    {
        if (auto *st = static_cast<connection_state *>(*context)) {
            st->completed_ok = code == MHD_REQUEST_TERMINATED_COMPLETED_OK;
            st->library_message = last_library_message;
        }
    }

    static MHD_Result on_request(void *cls, MHD_Connection *c, const char *url, const char *method,
                                 const char *version, const char *data, size_t *data_size,
                                 void **context)
    {
        impl *s = self(cls);
        auto *st = static_cast<connection_state *>(*context);
        if (!st)
            return MHD_NO;
        if (!st->head_done) {
            st->head_done = true;
            return s->check_head(c, st, url, method, version);
        }
        if (st->answered) {
            *data_size = 0;
            return MHD_YES;
        }
        if (st->refusal != 0) { // a refused body is read and dropped
            if (*data_size == 0)
                return s->send_refusal(c, st, st->refusal, st->refusal_headers);
            *data_size = 0;
            return MHD_YES;
        }
        if (*data_size > 0) {
            if (*data_size > s->settings.max_body - st->body.size())
                return s->refuse(c, st, 413,
                                 "chunked body over the limit of " +
                                     std::to_string(s->settings.max_body));
            st->body.append(data, *data_size);
            *data_size = 0;
            return MHD_YES;
        }
        return s->answer(c, st);
    }
};

http_service::http_service(http_settings settings, http_handler handler)
    : impl_(std::make_unique<impl>(std::move(settings), std::move(handler)))
{
}

http_service::~http_service()
{
    stop();
}

bool http_service::start(std::string &error)
{
    impl &s = *impl_;
    unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD |
                     MHD_USE_POLL | MHD_USE_ITC | MHD_USE_NO_LISTEN_SOCKET | MHD_USE_ERROR_LOG;
    if (s.settings.tls)
        flags |= MHD_USE_TLS;
    MHD_OptionItem tls_options[] = {
        {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char *>(s.settings.identity.certificate.c_str())},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(s.settings.identity.key.c_str())},
        {MHD_OPTION_END, 0, nullptr},
    };
    // The listener keeps to the bound; libmicrohttpd's own limit only has to
    // allow for connections that have ended but are not yet cleaned up.
    auto limit = static_cast<unsigned>(2 * s.settings.max_connections + 8);
    s.daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &impl::on_request, &s, MHD_OPTION_EXTERNAL_LOGGER,
        &library_message, &s, MHD_OPTION_CONNECTION_LIMIT, limit,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, connection_memory, MHD_OPTION_NOTIFY_CONNECTION,
        &impl::on_connection, &s, MHD_OPTION_URI_LOG_CALLBACK, &impl::on_request_line, &s,
        MHD_OPTION_NOTIFY_COMPLETED, &impl::on_completed, &s, MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 1,
        MHD_OPTION_ARRAY, s.settings.tls ? tls_options : tls_options + 2, MHD_OPTION_END);
    if (!s.daemon) {
        error = "the HTTP server did not start" +
                (last_library_message.empty() ? "" : " (" + last_library_message + ")");
        return false;
    }
    s.watcher = std::thread(&impl::watch, &s);
    if (!s.accepting.start(error)) {
        stop();
        return false;
    }
    return true;
}

std::string http_service::endpoint() const
{
    return impl_->accepting.endpoint();
}

void http_service::stop_accepting()
{
    impl_->accepting.stop();
}

size_t http_service::running() const
{
    return impl_->connections();
}

void http_service::stop()
{
    impl &s = *impl_;
    s.accepting.stop();
    if (!s.daemon)
        return;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.stopping = true;
    }
    MHD_stop_daemon(s.daemon); // ends every connection and waits for its thread
    s.daemon = nullptr;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.watch_end = true;
    }
    s.watch_wake.notify_one();
    s.watcher.join();
}

} // namespace sim
