// corapi-sim: a loopback simulator of the storage server's management API,
// for running the kit's tools without a real server.

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <string_view>
#include <sys/signalfd.h>
#include <sys/un.h>
#include <unistd.h>

#include "corvex/cx_request.h"
#include "corvex/cx_server.h"
#include "corvex/cx_xml.h"
#include "cxadmin/cxadmin_frame.h"
#include "sim_server.h"

#ifndef CORAPI_SIM_VERSION
#define CORAPI_SIM_VERSION "0.0.0"
#endif

namespace
{

void usage(FILE *out, const char *program)
{
    fprintf(out,
            "Usage: %s [options]\n"
            "\n"
            "Answers CORAPI calls over HTTP on a loopback address, with volumes and files\n"
            "kept in memory. Prints \"corapi-sim listening on ADDRESS:PORT\" first, then a\n"
            "line for each other listener.\n"
            "\n"
            "Options:\n"
            "  -a, --address ADDR      listen on ADDR, an address or a name\n"
            "                          (default 127.0.0.1; ::1 for IPv6)\n"
            "  -p, --port PORT         listen on PORT (default 8580; 0 picks a free port)\n"
            "  -t, --type TYPE         answer only at the endpoint of TYPE: vault, relay,\n"
            "                          sentry, fleet or ring (default: every endpoint)\n"
            "  -u, --user USER         user name clients must send (default root)\n"
            "  -w, --password TEXT     password clients must send (default secret)\n"
            "  -c, --connections N     connections served at once (default 32)\n"
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

bool choose_type(const char *word, sim::server_settings &s)
{
    static const char *const names[] = {"vault", "relay", "sentry", "fleet", "ring"};
    for (int type = CX_TYPE_VAULT; type <= CX_TYPE_RING; type++) {
        if (strcasecmp(word, names[type]) == 0) {
            s.http.paths = {endpoint_path(type)};
            s.dtd_path = cx_request_dtd_path(type);
            return true;
        }
    }
    return false;
}

// The RPC listener's socket: where the administration library looks.
bool choose_rpc_path(sim::server_settings &s)
{
    char path[sizeof(sockaddr_un::sun_path)];
    if (!cxadmin::socket_path(path, sizeof path))
        return false;
    s.rpc_path = path;
    return true;
}

// Fill settings from the command line; returns -1 to go on, else the exit status.
int parse_options(int argc, char **argv, sim::server_settings &s)
{
    static const option longs[] = {
        {"address", required_argument, nullptr, 'a'},
        {"port", required_argument, nullptr, 'p'},
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
        if (std::find(s.http.paths.begin(), s.http.paths.end(), path) == s.http.paths.end())
            s.http.paths.push_back(path);
    }
    s.dtd_path = cx_request_dtd_path(CX_TYPE_VAULT);
    int c;
    long long n = 0;
    while ((c = getopt_long(argc, argv, "a:p:t:u:w:c:T:m:q:rhV", longs, nullptr)) != -1) {
        const char *bad = nullptr;
        switch (c) {
        case 'a':
            s.address = optarg;
            break;
        case 'p':
            bad = to_number(optarg, 0, 65535, n) ? nullptr : "port";
            s.port = static_cast<int>(n);
            break;
        case 't':
            bad = choose_type(optarg, s) ? nullptr : "server type";
            break;
        case 'u':
            s.http.user = optarg;
            break;
        case 'w':
            s.http.password = optarg;
            break;
        case 'c':
            bad = to_number(optarg, 1, 1024, n) ? nullptr : "number of connections";
            s.max_connections = static_cast<size_t>(n);
            break;
        case 'T':
            bad = to_number(optarg, 1, 3600, n) ? nullptr : "time-out";
            s.http.timeout = std::chrono::seconds(n);
            break;
        case 'm':
            bad = to_number(optarg, 1, 1LL << 30, n) ? nullptr : "body size";
            s.http.max_body = static_cast<size_t>(n);
            break;
        case 'q':
            bad = to_number(optarg, 0, 65535, n) ? nullptr : "socket-mode port";
            s.qsm_port = static_cast<int>(n);
            break;
        case 'r':
            if (!choose_rpc_path(s)) {
                fprintf(stderr, "%s: the RPC socket path is too long\n", argv[0]);
                return 2;
            }
            break;
        case 'h':
            usage(stdout, argv[0]);
            return 0;
        case 'V':
            printf("corapi-sim %s\n", CORAPI_SIM_VERSION);
            return 0;
        default:
            usage(stderr, argv[0]);
            return 2;
        }
        if (bad) {
            fprintf(stderr, "%s: invalid %s: %s\n", argv[0], bad, optarg);
            return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "%s: unexpected argument: %s\n", argv[0], argv[optind]);
        usage(stderr, argv[0]);
        return 2;
    }
    return -1;
}

// SIGINT and SIGTERM are taken through a descriptor by the accepting loop;
// blocked before any thread starts, so that no thread is interrupted.
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

} // namespace

int main(int argc, char **argv)
{
    sim::server_settings settings;
    if (int status = parse_options(argc, argv, settings); status >= 0)
        return status;
    int signal_fd = signal_descriptor();
    if (signal_fd < 0) {
        fprintf(stderr, "%s: signal set-up failed: %s\n", argv[0], strerror(errno));
        return 1;
    }
    cx_xml_init();
    int status = 0;
    {
        sim::server server(settings);
        std::string error;
        if (!server.open(error)) {
            fprintf(stderr, "%s: cannot listen on %s\n", argv[0], error.c_str());
            status = 1;
        } else {
            printf("corapi-sim listening on %s\n", server.endpoint().c_str());
            if (!server.qsm_endpoint().empty())
                printf("corapi-sim socket mode listening on %s\n", server.qsm_endpoint().c_str());
            if (!settings.rpc_path.empty())
                printf("corapi-sim rpc listening on %s\n", settings.rpc_path.c_str());
            fflush(stdout);
            server.run(signal_fd);
        }
    }
    close(signal_fd);
    cx_xml_cleanup();
    return status;
}
