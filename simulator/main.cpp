// corapi-sim: a loopback simulator of the storage server's management API,
// for running the kit's tools without a real server.

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <memory>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/signalfd.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "corvex/cx_request.h"
#include "corvex/cx_server.h"
#include "corvex/cx_xml.h"
#include "cxadmin/cxadmin_frame.h"
#include "sim_acceptor.h"
#include "sim_corapi.h"
#include "sim_http.h"
#include "sim_log.h"
#include "sim_qsm.h"
#include "sim_rpc.h"
#include "sim_store.h"

#ifndef CORAPI_SIM_VERSION
#define CORAPI_SIM_VERSION "0.0.0"
#endif

namespace
{

constexpr int grace_ms = 2000; // for running requests after a stop signal

void usage(FILE *out, const char *program)
{
    fprintf(out,
            "Usage: %s [options]\n"
            "\n"
            "Answers CORAPI calls over HTTP or HTTPS on a loopback address, with volumes\n"
            "and files kept in memory. Prints \"corapi-sim listening on ADDRESS:PORT\" first,\n"
            "then a line for each other listener and, with HTTPS, one naming the\n"
            "certificate.\n"
            "\n"
            "Options:\n"
            "  -a, --address ADDR      listen on ADDR, an address or a name\n"
            "                          (default 127.0.0.1; ::1 for IPv6)\n"
            "  -p, --port PORT         listen on PORT (default 8580; 0 picks a free port)\n"
            "  -s, --tls               serve HTTPS, with a self-signed certificate made at\n"
            "                          start unless -C and -k name one\n"
            "  -C, --cert FILE         HTTPS with this certificate (PEM; implies -s)\n"
            "  -k, --key FILE          the certificate's private key (PEM)\n"
            "  -t, --type TYPE         answer only at the endpoint of TYPE: vault, relay,\n"
            "                          sentry, fleet or ring (default: every endpoint)\n"
            "  -u, --user USER         user name clients must send (default root)\n"
            "  -w, --password TEXT     password clients must send (default secret)\n"
            "  -c, --connections N     connections served at once per listener (default 32)\n"
            "  -T, --timeout SECONDS   time to receive one whole request (default 10)\n"
            "  -m, --max-body BYTES    largest request body (default 16777216)\n"
            "  -q, --qsm-port PORT     also answer the socket-mode protocol on PORT\n"
            "                          (0 picks a free port)\n"
            "  -r, --rpc               also answer the administration library at the Unix\n"
            "                          socket named by CORAPI_SIM_RPC_SOCKET (default\n"
            "                          /tmp/corapi-sim-UID.sock); only this user's calls\n"
            "  -h, --help              show this text\n"
            "  -V, --version           show the version\n",
            program);
}

bool to_number(const char *text, long long minimum, long long maximum, long long &out)
{
    std::string_view v = text;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
    return !v.empty() && ec == std::errc() && end == v.data() + v.size() && out >= minimum &&
           out <= maximum;
}

// The endpoint path of a server type: its URL format from the path on.
std::string endpoint_path(int type)
{
    std::string_view format = cx_request_url_format(type);
    size_t port = format.find("%d");
    return std::string(format.substr(port + 2));
}

struct options {
    sim::http_settings http; // also the login, bounds and time-out of the other listeners
    std::string dtd_path;    // named in every reply
    std::string cert_file, key_file;
    int qsm_port = -1; // socket-mode listener on the same address; -1: none, 0: a free port
    bool rpc = false;
    std::string rpc_path; // the RPC listener's Unix domain socket
};

bool choose_type(const char *word, options &o)
{
    static const char *const names[] = {"vault", "relay", "sentry", "fleet", "ring"};
    for (int type = CX_TYPE_VAULT; type <= CX_TYPE_RING; type++) {
        if (strcasecmp(word, names[type]) == 0) {
            o.http.paths = {endpoint_path(type)};
            o.dtd_path = cx_request_dtd_path(type);
            return true;
        }
    }
    return false;
}

// The RPC listener's socket: where the administration library looks.
bool choose_rpc_path(options &o)
{
    char path[sizeof(sockaddr_un::sun_path)];
    if (!cxadmin::socket_path(path, sizeof path))
        return false;
    o.rpc_path = path;
    return true;
}

// Apply one option; the name of what was wrong with its argument, or null.
const char *apply_option(int c, const char *arg, options &o)
{
    long long n = 0;
    switch (c) {
    case 'a':
        o.http.address = arg;
        return nullptr;
    case 'p':
        o.http.port = to_number(arg, 0, 65535, n) ? static_cast<int>(n) : -1;
        return o.http.port < 0 ? "port" : nullptr;
    case 's':
        o.http.tls = true;
        return nullptr;
    case 'C':
        o.cert_file = arg;
        o.http.tls = true;
        return nullptr;
    case 'k':
        o.key_file = arg;
        return nullptr;
    case 't':
        return choose_type(arg, o) ? nullptr : "server type";
    case 'u':
        o.http.user = arg;
        return nullptr;
    case 'w':
        o.http.password = arg;
        return nullptr;
    case 'c':
        if (!to_number(arg, 1, 1024, n))
            return "number of connections";
        o.http.max_connections = static_cast<size_t>(n);
        return nullptr;
    case 'T':
        if (!to_number(arg, 1, 3600, n))
            return "time-out";
        o.http.timeout = std::chrono::seconds(n);
        return nullptr;
    case 'm':
        if (!to_number(arg, 1, 1LL << 30, n))
            return "body size";
        o.http.max_body = static_cast<size_t>(n);
        return nullptr;
    case 'q':
        o.qsm_port = to_number(arg, 0, 65535, n) ? static_cast<int>(n) : -1;
        return o.qsm_port < 0 ? "socket-mode port" : nullptr;
    case 'r':
        o.rpc = true;
        return nullptr;
    }
    return "option";
}

// Fill the options from the command line; returns -1 to go on, else the exit status.
int parse_options(int argc, char **argv, options &o)
{
    static const option longs[] = {
        {"address", required_argument, nullptr, 'a'},
        {"port", required_argument, nullptr, 'p'},
        {"tls", no_argument, nullptr, 's'},
        {"cert", required_argument, nullptr, 'C'},
        {"key", required_argument, nullptr, 'k'},
        {"type", required_argument, nullptr, 't'},
        {"user", required_argument, nullptr, 'u'},
        {"password", required_argument, nullptr, 'w'},
        {"connections", required_argument, nullptr, 'c'},
        {"timeout", required_argument, nullptr, 'T'},
        {"max-body", required_argument, nullptr, 'm'},
        {"qsm-port", required_argument, nullptr, 'q'},
        {"rpc", no_argument, nullptr, 'r'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    for (int type = CX_TYPE_VAULT; type <= CX_TYPE_RING; type++) {
        std::string path = endpoint_path(type);
        if (std::find(o.http.paths.begin(), o.http.paths.end(), path) == o.http.paths.end())
            o.http.paths.push_back(path);
    }
    o.dtd_path = cx_request_dtd_path(CX_TYPE_VAULT);
    int c;
    while ((c = getopt_long(argc, argv, "a:p:sC:k:t:u:w:c:T:m:q:rhV", longs, nullptr)) != -1) {
        if (c == 'h') {
            usage(stdout, argv[0]);
            return 0;
        }
        if (c == 'V') {
            printf("corapi-sim %s\n", CORAPI_SIM_VERSION);
            return 0;
        }
        if (c == '?' || c == ':') {
            usage(stderr, argv[0]);
            return 2;
        }
        if (const char *bad = apply_option(c, optarg, o)) {
            fprintf(stderr, "%s: invalid %s: %s\n", argv[0], bad, optarg);
            return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "%s: unexpected argument: %s\n", argv[0], argv[optind]);
        usage(stderr, argv[0]);
        return 2;
    }
    if (o.cert_file.empty() != o.key_file.empty()) {
        fprintf(stderr, "%s: -C and -k go together\n", argv[0]);
        return 2;
    }
    if (o.rpc && !choose_rpc_path(o)) {
        fprintf(stderr, "%s: the RPC socket path is too long\n", argv[0]);
        return 2;
    }
    return -1;
}

// The certificate and key to serve HTTPS with: the given ones, or a
// self-signed certificate for the listening name and the loopback names.
bool choose_identity(options &o, std::string &error)
{
    if (!o.http.tls)
        return true;
    if (!o.cert_file.empty())
        return sim::tls_identity_load(o.cert_file, o.key_file, o.http.identity, error);
    std::vector<std::string> names = {o.http.address};
    for (const char *loopback : {"localhost", "127.0.0.1", "::1"}) {
        if (std::find(names.begin(), names.end(), loopback) == names.end())
            names.push_back(loopback);
    }
    return sim::tls_identity_self_signed(names, o.http.identity, error);
}

// SIGINT and SIGTERM are taken through a descriptor; blocked before any
// thread starts, so that no thread is interrupted.
int signal_descriptor()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        return -1;
    signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

// Wait for a signal on signal_fd, at most timeout_ms (negative: no limit);
// true when one came.
bool wait_signal(int signal_fd, int timeout_ms)
{
    pollfd p{signal_fd, POLLIN, 0};
    int rc = poll(&p, 1, timeout_ms);
    signalfd_siginfo info;
    return rc > 0 && read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
}

size_t running(const std::vector<sim::service *> &services)
{
    size_t n = 0;
    for (const sim::service *s : services)
        n += s->running();
    return n;
}

// Serve until SIGINT or SIGTERM; then stop accepting everywhere, give running
// requests a moment, and end the rest at once, also at a second signal.
void serve_until_signal(const std::vector<sim::service *> &services, int signal_fd)
{
    while (!wait_signal(signal_fd, -1))
        ;
    for (sim::service *s : services)
        s->stop_accepting();
    sim::log_line("-", "stopping: " + std::to_string(running(services)) + " request(s) running");
    constexpr int tick_ms = 20;
    for (int waited = 0; waited < grace_ms && running(services) > 0; waited += tick_ms) {
        if (wait_signal(signal_fd, tick_ms))
            break;
    }
    for (sim::service *s : services)
        s->stop();
    sim::log_line("-", "stopped");
}

// Start every service; on a failure stop those started and say which failed.
bool start_all(const std::vector<sim::service *> &services, std::string &error)
{
    for (size_t i = 0; i < services.size(); i++) {
        if (!services[i]->start(error)) {
            for (size_t j = 0; j < i; j++)
                services[j]->stop();
            return false;
        }
    }
    return true;
}

// The HTTP side's view of one CORAPI call.
sim::http_answer answer_call(std::string_view body, sim::store &store, const std::string &dtd)
{
    sim::corapi_outcome outcome = sim::corapi_answer(body, store, dtd.c_str());
    sim::http_answer answer;
    if (outcome.document.empty()) {
        answer.status = 500;
        answer.summary = outcome.api + " out of memory";
        return answer;
    }
    answer.body = std::move(outcome.document);
    answer.summary =
        outcome.api + (outcome.passed ? " passed"
                                      : " failed errno=" + std::to_string(outcome.error_number) +
                                            " (" + outcome.reason + ")");
    return answer;
}

// The socket-mode listener, on the HTTP listener's address; null when not asked for.
std::unique_ptr<sim::acceptor> qsm_listener(const options &o, const sim::http_handler &answer)
{
    if (o.qsm_port < 0)
        return nullptr;
    sim::acceptor::settings s;
    s.address = o.http.address;
    s.port = o.qsm_port;
    s.max_connections = o.http.max_connections;
    return std::make_unique<sim::acceptor>(s, [&o, &answer](int fd, int abort_fd) {
        return sim::qsm_serve(fd, abort_fd, o.http, answer);
    });
}

// The RPC listener at the Unix domain socket the administration library
// looks for, naming each caller by its process and user; null when not
// asked for.
std::unique_ptr<sim::acceptor> rpc_listener(const options &o, const sim::http_handler &answer)
{
    if (!o.rpc)
        return nullptr;
    sim::acceptor::settings s;
    s.max_connections = o.http.max_connections;
    s.open = [path = o.rpc_path](std::string &endpoint, std::string &error) {
        endpoint = path;
        return sim::rpc_listen(path, error);
    };
    s.peer_name = [](int fd, const sockaddr *) { return sim::rpc_peer_name(fd); };
    s.socket_file = o.rpc_path;
    return std::make_unique<sim::acceptor>(s, [&o, &answer](int fd, int abort_fd) {
        return sim::rpc_serve(fd, abort_fd, o.http, answer);
    });
}

} // namespace

int main(int argc, char **argv)
{
    options o;
    if (int status = parse_options(argc, argv, o); status >= 0)
        return status;
    std::string error;
    if (!choose_identity(o, error)) {
        fprintf(stderr, "%s: TLS: %s\n", argv[0], error.c_str());
        return 1;
    }
    int signal_fd = signal_descriptor();
    if (signal_fd < 0) {
        fprintf(stderr, "%s: signal set-up failed: %s\n", argv[0], strerror(errno));
        return 1;
    }
    cx_xml_init();
    int status = 0;
    {
        sim::store store;
        sim::http_handler answer = [&store, &o](std::string_view body) {
            return answer_call(body, store, o.dtd_path);
        };
        sim::http_service http(o.http, answer);
        std::unique_ptr<sim::acceptor> qsm = qsm_listener(o, answer);
        std::unique_ptr<sim::acceptor> rpc = rpc_listener(o, answer);
        std::vector<sim::service *> services = {&http};
        for (sim::service *other : {qsm.get(), rpc.get()}) {
            if (other)
                services.push_back(other);
        }
        if (!start_all(services, error)) {
            fprintf(stderr, "%s: cannot listen on %s\n", argv[0], error.c_str());
            status = 1;
        } else {
            printf("corapi-sim listening on %s\n", http.endpoint().c_str());
            if (qsm)
                printf("corapi-sim socket mode listening on %s\n", qsm->endpoint().c_str());
            if (rpc)
                printf("corapi-sim rpc listening on %s\n", rpc->endpoint().c_str());
            if (o.http.tls)
                printf("HTTPS with a %s\n", o.http.identity.summary.c_str());
            fflush(stdout);
            serve_until_signal(services, signal_fd);
        }
    }
    close(signal_fd);
    cx_xml_cleanup();
    return status;
}
