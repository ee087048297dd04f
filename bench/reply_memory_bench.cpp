// Peak memory over reply size for replies of many tiny elements: one
// attribute each (<e a=''/>), empty (<a/>), and one character of text
// (<i>1</i>). Each reply is served from a file on loopback and fetched by a
// fresh process, once through the library alone (the call, the tree, its
// release) and once through reqtool printing it, for growing counts.
//
//   build/bench/reply_memory_bench [max elements]     default 1000000

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_support.h"
#include "corvex/cx_invoke.h"
#include "corvex/cx_startup.h"

namespace
{

struct shape {
    const char *label;
    const char *element;
};

constexpr shape shapes[] = {
    {"<e a=''/>", "<e a=''/>"},
    {"<a/>", "<a/>"},
    {"<i>1</i>", "<i>1</i>"},
};

bool write_reply(const std::string &path, const char *element, long count)
{
    FILE *f = fopen(path.c_str(), "w");
    if (!f)
        return false;
    fputs("<?xml version='1.0' encoding='UTF-8'?>\n<corvex version=\"1.3\">"
          "<results status=\"passed\">",
          f);
    for (long n = 0; n < count; n++)
        fputs(element, f);
    fputs("</results></corvex>\n", f);
    return fclose(f) == 0;
}

// Client mode: one call to the server on port, the result freed; exit
// status 0 when the call passed.
int run_client(int port)
{
    char message[256];
    if (!cx_startup(message, sizeof message))
        return 1;
    cx_server_t *server = cx_server_open("127.0.0.1", 1, 0);
    cx_server_set_login(server, "admin", "secret");
    cx_server_set_port(server, port);
    cx_elem_t *api = cx_elem_create("volume-list-info");
    cx_elem_t *result = cx_server_invoke_elem(server, api);
    bool passed = result && strcmp(stab_get(result->attributes, "status"), "passed") == 0;
    if (!passed && result)
        fprintf(stderr, "%s\n", stab_get(result->attributes, "reason"));
    cx_elem_free(result);
    cx_elem_free(api);
    cx_server_close(server);
    return passed ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--client") == 0)
        return run_client(atoi(argv[2]));
    long most = argc > 1 ? atol(argv[1]) : 1000000;
    if (most < 4) {
        fprintf(stderr, "usage: %s [max elements]\n", argv[0]);
        return 2;
    }
    bench::temp_dir dir;
    bench::file_server server;
    if (!dir.ok() || server.port() == 0) {
        fprintf(stderr, "cannot set up the reply server\n");
        return 1;
    }
    const std::string port = std::to_string(server.port());
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    self[n] = '\0';

    printf("%-10s %9s %9s %12s %8s %12s %8s\n", "shape", "elements", "reply MB", "library MB",
           "x reply", "reqtool MB", "x reply");
    for (const shape &s : shapes) {
        for (long count = most / 4; count <= most; count *= 2) {
            std::string path = dir.file(std::to_string(count) + s.label[1] + ".xml");
            if (!write_reply(path, s.element, count))
                return 1;
            server.set_file(path);
            struct stat st {
            };
            stat(path.c_str(), &st);
            double reply_mb = static_cast<double>(st.st_size) / 1048576.0;
            bench::usage lib = bench::run_pipeline({{{self, "--client", port}}});
            bench::usage tool = bench::run_pipeline(
                {{{REQTOOL_PATH, "-p", port, "127.0.0.1", "admin", "secret", "volume-list-info"}}});
            printf("%-10s %9ld %9.1f %12.1f %8.1f %12.1f %8.1f%s\n", s.label, count, reply_mb,
                   lib.peak_mb, lib.peak_mb / reply_mb, tool.peak_mb, tool.peak_mb / reply_mb,
                   lib.ok && tool.ok ? "" : "  (a run failed)");
            fflush(stdout);
            unlink(path.c_str());
        }
    }
    return 0;
}
