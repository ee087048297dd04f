// Reply parsing and writing speed: generates a large reply of many short
// records, parses it into a tree with xml_parse_string, writes the tree back
// with cx_elem_to_string (into one text) and cx_elem_write_stream (to
// /dev/null, as a program prints it), and compares with a bare libxml2 push
// parse of the same text whose callbacks do nothing.
//
//   cx_xml_bench [megabytes] [runs]   default 50 MB, 3 runs; everything is
//                                      also timed at a quarter and a half of
//                                      the size, to show that it grows
//                                      linearly. Prints medians, and parsing
//                                      as a multiple of the bare parse.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <sys/resource.h>

#include <libxml/parser.h>

#include "bench_support.h"
#include "corvex/cx_elem.h"
#include "corvex/cx_xml.h"
#include "vovedi/pool.h"

namespace
{

using bench::clock_type;
using bench::seconds_since;

double megabytes(size_t bytes)
{
    return static_cast<double>(bytes) / 1e6;
}

// A reply of about target bytes: records of a few short elements each.
std::string make_reply(size_t target, size_t *records)
{
    std::string text = "<?xml version='1.0' encoding='UTF-8'?>\n"
                       "<corvex xmlns=\"urn:corvex\" version=\"1.3\">"
                       "<results status=\"passed\"><volumes>";
    const char tail[] = "</volumes></results></corvex>\n";
    text.reserve(target + 256);
    char record[256];
    size_t n = 0;
    while (text.size() + sizeof tail < target) {
        int length = snprintf(record, sizeof record,
                              "<volume-info><name>vol%zu</name><size-total>%zu</size-total>"
                              "<state>%s</state><is-mirrored>false</is-mirrored>"
                              "<owner>a&amp;b</owner></volume-info>",
                              n, (n * 7919) % 100000000, n % 3 ? "online" : "offline");
        text.append(record, static_cast<size_t>(length));
        n++;
    }
    text += tail;
    *records = n;
    return text;
}

void ignore_start(void *, const xmlChar *, const xmlChar **) {}
void ignore_end(void *, const xmlChar *) {}
void ignore_characters(void *, const xmlChar *, int) {}

// The same chunking as the reply parser, with callbacks that do nothing.
double raw_push_parse(const std::string &text)
{
    xmlSAXHandler sax;
    memset(&sax, 0, sizeof sax);
    sax.initialized = 1;
    sax.startElement = ignore_start;
    sax.endElement = ignore_end;
    sax.characters = ignore_characters;
    sax.ignorableWhitespace = ignore_characters;
    auto start = clock_type::now();
    const size_t chunk = 1024;
    xmlParserCtxtPtr ctxt = xmlCreatePushParserCtxt(&sax, nullptr, text.data(), chunk, nullptr);
    for (size_t at = chunk; at < text.size(); at += chunk)
        xmlParseChunk(ctxt, text.data() + at, static_cast<int>(std::min(chunk, text.size() - at)),
                      0);
    xmlParseChunk(ctxt, nullptr, 0, 1);
    bool ok = ctxt->wellFormed;
    xmlFreeParserCtxt(ctxt);
    double elapsed = seconds_since(start);
    if (!ok)
        fprintf(stderr, "raw parse failed\n");
    return elapsed;
}

// Parse text into a tree; the caller frees it. Null on failure.
cx_elem_t *parse_tree(const std::string &text, double *elapsed)
{
    auto start = clock_type::now();
    cx_xml_state_t *state = xml_create();
    if (!state || !xml_parse_string(text.c_str(), state) || state->error) {
        fprintf(stderr, "parse failed: %s\n", state && state->error ? state->error : "?");
        xml_destroy(state);
        return nullptr;
    }
    cx_elem_t *root = state->stack[0].element;
    state->stack[0].element = nullptr;
    xml_destroy(state);
    *elapsed = seconds_since(start);
    return root;
}

// Seconds to write the tree indented; its length in *written.
double write_tree(const cx_elem_t *root, size_t *written)
{
    auto start = clock_type::now();
    char *text = cx_elem_to_string(root);
    double elapsed = seconds_since(start);
    *written = text ? strlen(text) : 0;
    VV_FREE(text);
    return elapsed;
}

// Seconds to write the tree indented to /dev/null through a stream, as a
// program prints it (the same bytes as cx_elem_to_string).
double stream_tree(const cx_elem_t *root)
{
    FILE *out = fopen("/dev/null", "w");
    auto start = clock_type::now();
    cx_xml_stream_t stream;
    bool ok = out && cx_xml_stream_open(&stream, out);
    if (ok) {
        ok = cx_elem_write_stream(root, 0, "", &stream);
        ok = cx_xml_stream_close(&stream) && ok;
    }
    double elapsed = seconds_since(start);
    if (!ok)
        fprintf(stderr, "writing to /dev/null failed\n");
    if (out)
        fclose(out);
    return elapsed;
}

long peak_kilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Seconds to parse a hostile document with xml_parse_string, and how it ended.
double parse_hostile(const std::string &text, std::string *outcome)
{
    auto start = clock_type::now();
    cx_xml_state_t *state = xml_create();
    if (state)
        xml_parse_string(text.c_str(), state);
    double elapsed = seconds_since(start);
    std::string error = state && state->error ? state->error : "parsed";
    *outcome = error.substr(0, error.find('\n'));
    xml_destroy(state);
    return elapsed;
}

// Long pieces of markup of every kind: each is parsed, or refused by the
// parser library's own limits or the reader's bound on attributes, in time
// linear in its size.
void hostile_markup()
{
    const size_t size = 10u << 20;
    std::string attributes = "<a";
    for (size_t k = 0; attributes.size() < (1u << 20); k++)
        attributes += " a" + std::to_string(k) + "=''";
    const struct {
        const char *label;
        std::string text;
    } cases[] = {
        {"10 MB attribute value", "<a v='" + std::string(size, 'v') + "'/>"},
        {"10 MB CDATA of ]", "<a><![CDATA[" + std::string(size, ']') + "]]></a>"},
        {"10 MB comment", "<a><!--" + std::string(size, 'c') + "--></a>"},
        {"9 MB attribute value", "<a v='" + std::string(9u << 20, 'v') + "'/>"},
        {"9 MB CDATA of ]", "<a><![CDATA[" + std::string(9u << 20, ']') + "]]></a>"},
        {"9 MB comment", "<a><!--" + std::string(9u << 20, 'c') + "--></a>"},
        {"1 MB of attributes", attributes + "/>"},
    };
    printf("\nhostile markup (xml_parse_string)\n");
    for (const auto &c : cases) {
        std::string outcome;
        double seconds = parse_hostile(c.text, &outcome);
        printf("%-28s %10.1f %10.3f    %s\n", c.label, megabytes(c.text.size()), seconds,
               outcome.c_str());
    }
}

} // namespace

int main(int argc, char **argv)
{
    double target_mb = argc > 1 ? atof(argv[1]) : 50.0;
    int runs = argc > 2 ? atoi(argv[2]) : 3;
    if (target_mb <= 0 || runs <= 0) {
        fprintf(stderr, "usage: %s [megabytes] [runs]\n", argv[0]);
        return 2;
    }
    cx_xml_init();
    printf("medians of %d runs\n", runs);
    printf("%-28s %10s %10s %10s %10s %10s\n", "run", "input MB", "seconds", "MB/s", "out MB",
           "x raw");
    for (double share : {0.25, 0.5, 1.0}) {
        size_t records = 0;
        std::string reply = make_reply(static_cast<size_t>(target_mb * share * 1e6), &records);
        double in_mb = megabytes(reply.size());
        std::vector<double> raw_runs, parse_runs, write_runs, stream_runs, free_runs;
        size_t written = 0;
        for (int r = 0; r < runs; r++) {
            raw_runs.push_back(raw_push_parse(reply));
            double parse_seconds = 0;
            cx_elem_t *root = parse_tree(reply, &parse_seconds);
            if (!root)
                return 1;
            parse_runs.push_back(parse_seconds);
            write_runs.push_back(write_tree(root, &written));
            stream_runs.push_back(stream_tree(root));
            auto start = clock_type::now();
            cx_elem_free(root);
            free_runs.push_back(seconds_since(start));
        }
        double raw = bench::median(raw_runs), parse = bench::median(parse_runs);
        double write = bench::median(write_runs);
        printf("%-28s %10.1f %10.3f %10.1f\n", "libxml2 push, empty SAX1", in_mb, raw, in_mb / raw);
        printf("%-28s %10.1f %10.3f %10.1f %10s %10.2f    (%zu records)\n", "xml_parse_string",
               in_mb, parse, in_mb / parse, "", parse / raw, records);
        printf("%-28s %10.1f %10.3f %10.1f %10.1f\n", "cx_elem_to_string", in_mb, write,
               megabytes(written) / write, megabytes(written));
        double stream = bench::median(stream_runs);
        printf("%-28s %10.1f %10.3f %10.1f %10.1f\n", "cx_elem_write_stream", in_mb, stream,
               megabytes(written) / stream, megabytes(written));
        printf("%-28s %10.1f %10.3f\n", "cx_elem_free", in_mb, bench::median(free_runs));
    }
    printf("peak memory (ru_maxrss): %.1f MB\n", static_cast<double>(peak_kilobytes()) / 1024.0);
    hostile_markup();
    cx_xml_cleanup();
    return 0;
}
