// A big reply through reqtool against the pipeline a user would script
// instead, curl piped into xmllint --format: both fetch the same reply of
// volume records, served from a file on loopback, in turn, several times.
// Prints the median wall time and peak memory of each and the ratios, and
// the checksum of reqtool's output after its "Port used" line (to compare
// builds).
//
//   build/bench/reply_bench [records] [runs]     default 200000 records, 5 runs

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_support.h"

namespace
{

// The reply document: a passed result listing records volumes of eleven
// short elements each (about 430 bytes a record).
bool write_reply(const std::string &path, long records)
{
    FILE *f = fopen(path.c_str(), "w");
    if (!f)
        return false;
    fputs("<?xml version='1.0' encoding='UTF-8'?>\n"
          "<corvex xmlns=\"http://api.corvex.example/vault/admin\" version=\"1.3\">"
          "<results status=\"passed\"><volumes>",
          f);
    for (long n = 0; n < records; n++) {
        uint64_t total = 1073741824ull * static_cast<uint64_t>(1 + n % 500);
        uint64_t used = total / 100 * static_cast<uint64_t>(n % 97);
        fprintf(f,
                "<volume-info><name>vol%06ld</name>"
                "<uuid>%08lx-%04lx-4%03lx-a%03lx-%012lx</uuid><state>%s</state>"
                "<size-total>%" PRIu64 "</size-total><size-used>%" PRIu64 "</size-used>"
                "<size-available>%" PRIu64 "</size-available>"
                "<files-total>%ld</files-total><files-used>%ld</files-used>"
                "<junction-path>/export/project%06ld/data</junction-path>"
                "<comment>nightly copy of storage1:/vol/vol%06ld, kept 14 days</comment>"
                "</volume-info>",
                n, (n * 2654435761ul) & 0xfffffffful, n & 0xffff, (n >> 4) & 0xfff,
                (n >> 8) & 0xfff, (n * 40503ul) & 0xffffffffffful, n % 5 ? "online" : "offline",
                total, used, total - used, 31457280 + n % 1000, 96 + n % 100000, n, n);
    }
    fputs("</volumes></results></corvex>\n", f);
    return fclose(f) == 0;
}

struct client {
    const char *label;
    std::vector<bench::program> stages;
    const char *expected_end; // how the whole output ends
    bool port_line;           // the output starts with a line naming the port
    std::vector<double> seconds;
    std::vector<double> peaks;
};

// Run a client once into a digest and check that it printed every record.
bool check(client &c, long records)
{
    bench::digest d("<volume-info>", c.port_line);
    bench::usage u = bench::run_into_digest(c.stages, d);
    const std::string &tail = d.tail();
    const std::string end = c.expected_end;
    bool whole = u.ok && d.markers() == static_cast<size_t>(records) && tail.size() >= end.size() &&
                 tail.compare(tail.size() - end.size(), end.size(), end) == 0;
    printf("%-24s %s: %zu bytes, %zu records, checksum %016llx\n", c.label,
           whole ? "whole reply" : "INCOMPLETE", d.length(), d.markers(), d.hash());
    return whole;
}

} // namespace

int main(int argc, char **argv)
{
    long records = argc > 1 ? atol(argv[1]) : 200000;
    int runs = argc > 2 ? atoi(argv[2]) : 5;
    if (records <= 0 || runs <= 0) {
        fprintf(stderr, "usage: %s [records] [runs]\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    bench::temp_dir dir;
    std::string reply = dir.file("reply.xml");
    if (!dir.ok() || !write_reply(reply, records)) {
        fprintf(stderr, "cannot write the reply file\n");
        return 1;
    }
    struct stat st {
    };
    stat(reply.c_str(), &st);
    bench::file_server server;
    if (server.port() == 0) {
        fprintf(stderr, "cannot listen on loopback\n");
        return 1;
    }
    server.set_file(reply);
    const std::string port = std::to_string(server.port());
    const std::string url = "http://127.0.0.1:" + port + "/";
    printf("reply: %ld records, %.1f MB\n", records, static_cast<double>(st.st_size) / 1e6);

    client clients[] = {
        {"reqtool",
         {{{REQTOOL_PATH, "-p", port, "127.0.0.1", "admin", "secret", "volume-list-info"}}},
         "</results>\n\n",
         true,
         {},
         {}},
        {"curl | xmllint --format",
         {{{"curl", "-s", "-d", "@/dev/null", url}}, {{"xmllint", "--format", "-"}}},
         "</corvex>\n",
         false,
         {},
         {}},
    };
    bool all_whole = true;
    for (client &c : clients)
        all_whole = check(c, records) && all_whole;
    if (!all_whole)
        return 1;

    // In turn, so that both see the same machine load.
    for (int r = 0; r < runs; r++) {
        for (client &c : clients) {
            bench::usage u = bench::run_pipeline(c.stages);
            if (!u.ok) {
                fprintf(stderr, "%s failed\n", c.label);
                return 1;
            }
            c.seconds.push_back(u.seconds);
            c.peaks.push_back(u.peak_mb);
        }
    }
    double base_seconds = bench::median(clients[1].seconds);
    double base_peak = bench::median(clients[1].peaks);
    printf("\n%-24s %12s %10s %14s %10s\n", "client (median of runs)", "wall s", "x pipeline",
           "peak MB", "x pipeline");
    for (client &c : clients) {
        double s = bench::median(c.seconds), m = bench::median(c.peaks);
        printf("%-24s %12.3f %10.2f %14.1f %10.2f\n", c.label, s, s / base_seconds, m,
               m / base_peak);
    }
    return 0;
}
