#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "alloc_failure.h"
#include "vovedi/log.h"
#include "vovedi/path.h"
#include "vovedi/pool.h"
#include "vovedi/str.h"
#include "vovedi/testpoint.h"
#include "vovedi/zthread.h"

namespace fs = std::filesystem;

namespace
{

// The installation every test of this process logs into: a temporary
// directory named by CORVEX_DIR, with a log directory, removed at exit.
struct installation {
    std::string root;
    installation()
    {
        std::string pattern = (fs::temp_directory_path() / "log_test.XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            return;
        root = pattern;
        setenv("CORVEX_DIR", root.c_str(), 1);
        unsetenv("SCRIPT_FILENAME");
        path_init(0);
    }
    ~installation()
    {
        std::error_code ignored;
        if (!root.empty())
            fs::remove_all(root, ignored);
    }
};

const installation &test_installation()
{
    static installation instance;
    return instance;
}

struct recorded_event {
    std::string ident;
    int priority;
    std::string message;
};

std::vector<recorded_event> events;
int event_result;

int record_event(const char *ident, int priority, const char *message)
{
    events.push_back({ident, priority, message});
    return event_result;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Whether line is "<Mon dd hh:mm:ss> [<program>:<tag>]: <rest>".
bool is_line(const std::string &line, const std::string &program, const std::string &tag,
             const std::string &rest)
{
    const std::string stamp_shape = "Aaa 00 00:00:00";
    if (line.size() < stamp_shape.size())
        return false;
    for (size_t i = 0; i < stamp_shape.size(); i++) {
        auto c = static_cast<unsigned char>(line[i]);
        char shape = stamp_shape[i];
        bool fits = shape == 'A'   ? isupper(c) != 0
                    : shape == 'a' ? islower(c) != 0
                    : shape == '0' ? isdigit(c) != 0
                                   : line[i] == shape;
        if (!fits)
            return false;
    }
    return line.substr(stamp_shape.size()) == " [" + program + ":" + tag + "]: " + rest;
}

class Log : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        root_ = test_installation().root;
        ASSERT_FALSE(root_.empty());
        dir_ = root_ + "/log/";
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
        fs::create_directory(dir_);
        log_set_program_name(nullptr);
        log_set_directory(nullptr);
        log_set_thread_prefix(0);
        events.clear();
        event_result = 0;
        log_set_system_writer(record_event);
    }
    void TearDown() override { log_set_system_writer(nullptr); }

    std::string file(const std::string &name) const { return dir_ + name + ".log"; }
    std::string contents(const std::string &name) const { return read_file(file(name)); }
    std::vector<std::string> lines(const std::string &name) const
    {
        return split_lines(contents(name));
    }
    std::vector<std::string> log_files() const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string root_;
    std::string dir_;
};

TEST_F(Log, LineFormatAndLineFeeds)
{
    log_message(nullptr, LOG_LEVEL_WARN, "disk %d%% full", 93);
    log_message(nullptr, LOG_LEVEL_ERROR, "ends in a line feed\n");
    log_message(nullptr, LOG_LEVEL_INFO, "%s", "");
    std::string text = contents("application");
    std::vector<std::string> got = split_lines(text);
    ASSERT_EQ(got.size(), 3u) << text;
    EXPECT_TRUE(is_line(got[0], "application", " WARN", "disk 93% full")) << got[0];
    EXPECT_TRUE(is_line(got[1], "application", "ERROR", "ends in a line feed")) << got[1];
    EXPECT_TRUE(is_line(got[2], "application", " INFO", "")) << got[2];
    // Exactly one line feed per line, none doubled.
    EXPECT_EQ(text.find("\n\n"), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

TEST_F(Log, LevelTags)
{
    const char *expected[] = {"EMERG", "ALERT", " CRIT", "ERROR",
                              " WARN", "NOTIC", " INFO", "DEBUG"};
    for (int level = 0; level < 8; level++) {
        EXPECT_STREQ(log_level_tag(level), expected[level]);
        log_message("levels", level, "level %d", level);
    }
    // Only the low three bits choose the tag.
    EXPECT_STREQ(log_level_tag(13), "NOTIC");
    EXPECT_STREQ(log_level_tag(-1), "DEBUG");
    std::vector<std::string> got = lines("levels");
    ASSERT_EQ(got.size(), 8u);
    for (int level = 0; level < 8; level++) {
        EXPECT_TRUE(
            is_line(got[level], "application", expected[level], "level " + std::to_string(level)))
            << got[level];
    }
}

TEST_F(Log, LongMessagesAreWrittenWhole)
{
    for (size_t size : {511u, 512u, 513u, 2000u, 100000u}) {
        std::string message = "start-" + std::string(size - 10, 'm') + "-end";
        log_message("long", LOG_LEVEL_INFO, "%s", message.c_str());
        std::vector<std::string> got = lines("long");
        ASSERT_FALSE(got.empty());
        const std::string &line = got.back();
        ASSERT_GE(line.size(), size);
        EXPECT_TRUE(line.compare(line.size() - size, size, message) == 0 &&
                    line.substr(0, line.size() - size).ends_with("]: "))
            << "message of " << size << " bytes written as a line of " << line.size();
    }
    EXPECT_EQ(lines("long").size(), 5u);
}

TEST_F(Log, OperationsNamesAndSettings)
{
    log_debug("trace %s", "one");
    log_nomem("widget");
    log_report(LOG_LEVEL_NOTICE, "noticed");
    log_event(LOG_LEVEL_DEBUG, "event");
    log_message("other", LOG_LEVEL_ALERT, "named");
    std::vector<std::string> got = lines("application");
    ASSERT_EQ(got.size(), 4u);
    EXPECT_TRUE(is_line(got[0], "application", "DEBUG", "trace one"));
    EXPECT_TRUE(
        is_line(got[1], "application", "DEBUG", "Error: Unable to allocate memory for widget."));
    EXPECT_TRUE(is_line(got[2], "application", "NOTIC", "noticed"));
    EXPECT_TRUE(is_line(got[3], "application", "DEBUG", "event"));
    ASSERT_EQ(lines("other").size(), 1u);
    EXPECT_TRUE(is_line(lines("other")[0], "application", "ALERT", "named"));

    // The program name names the default log and appears in every line.
    ASSERT_EQ(log_set_program_name("reqtool"), 0);
    log_message(nullptr, LOG_LEVEL_INFO, "from the tool");
    log_message("other", LOG_LEVEL_INFO, "named again");
    ASSERT_EQ(lines("reqtool").size(), 1u);
    EXPECT_TRUE(is_line(lines("reqtool")[0], "reqtool", " INFO", "from the tool"));
    EXPECT_TRUE(is_line(lines("other")[1], "reqtool", " INFO", "named again"));
    errno = 0;
    EXPECT_EQ(log_set_program_name(std::string(128, 'p').c_str()), -1);
    EXPECT_EQ(errno, EINVAL);
    log_set_program_name(nullptr);

    // The thread prefix carries the calling thread's id.
    log_set_thread_prefix(1);
    log_message("threads", LOG_LEVEL_INFO, "with prefix");
    char prefix[32];
    snprintf(prefix, sizeof prefix, "Thread 0x%x: ", static_cast<unsigned>(zthread_self()));
    ASSERT_EQ(lines("threads").size(), 1u);
    EXPECT_TRUE(
        is_line(lines("threads")[0], "application", " INFO", std::string(prefix) + "with prefix"));

    // The directory override replaces the installation's log directory.
    fs::create_directory(dir_ + "elsewhere");
    ASSERT_EQ(log_set_directory((dir_ + "elsewhere/").c_str()), 0);
    log_message(nullptr, LOG_LEVEL_INFO, "moved");
    EXPECT_NE(read_file(dir_ + "elsewhere/application.log").find("moved"), std::string::npos);
    EXPECT_EQ(contents("application").find("moved"), std::string::npos);
    EXPECT_EQ(log_set_directory(std::string(256, 'd').c_str()), -1);
}

TEST_F(Log, FilesAreOwnerOnly)
{
    mode_t old_mask = umask(0);
    log_message("fresh", LOG_LEVEL_INFO, "new file");
    umask(old_mask);
    struct stat st;
    ASSERT_EQ(stat(file("fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // A file that was opened up is closed down again by the next line.
    chmod(file("fresh").c_str(), 0644);
    log_message("fresh", LOG_LEVEL_INFO, "again");
    ASSERT_EQ(stat(file("fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(Log, NamedLogRotatesAtLimitKeepingThreeGenerations)
{
    const size_t limit = 300000;
    log_message("rot", LOG_LEVEL_INFO, "x");
    size_t first = fs::file_size(file("rot"));
    size_t header = first - 2; // the line is header, "x", line feed
    // Fill to one byte below the limit: the next line does not rotate.
    std::string fill(limit - 1 - first - header - 1, 'f');
    log_message("rot", LOG_LEVEL_INFO, "%s", fill.c_str());
    ASSERT_EQ(fs::file_size(file("rot")), limit - 1);
    log_message("rot", LOG_LEVEL_INFO, "gen-one");
    EXPECT_FALSE(fs::exists(file("rot-0")));
    // Past the limit: the next line starts a new file.
    log_message("rot", LOG_LEVEL_INFO, "gen-two");
    EXPECT_EQ(log_files(), (std::vector<std::string>{"rot-0.log", "rot.log"}));
    EXPECT_NE(contents("rot-0").find("gen-one"), std::string::npos);
    EXPECT_EQ(lines("rot").size(), 1u);
    // Exactly at the limit rotates as well.
    size_t now = fs::file_size(file("rot"));
    std::string exact(limit - now - header - 1, 'e');
    log_message("rot", LOG_LEVEL_INFO, "%s", exact.c_str());
    ASSERT_EQ(fs::file_size(file("rot")), limit);
    log_message("rot", LOG_LEVEL_INFO, "gen-three");
    std::string big(limit, 'b');
    log_message("rot", LOG_LEVEL_INFO, "%s", big.c_str());
    log_message("rot", LOG_LEVEL_INFO, "gen-four");
    // Three rotations: the current file and generations 0, 1 and 2.
    EXPECT_EQ(log_files(),
              (std::vector<std::string>{"rot-0.log", "rot-1.log", "rot-2.log", "rot.log"}));
    EXPECT_NE(contents("rot-2").find("gen-one"), std::string::npos);
    EXPECT_NE(contents("rot-1").find("gen-two"), std::string::npos);
    EXPECT_NE(contents("rot-0").find("gen-three"), std::string::npos);
    EXPECT_NE(contents("rot").find("gen-four"), std::string::npos);
    // One more: the oldest text is gone and still four files exist.
    log_message("rot", LOG_LEVEL_INFO, "%s", big.c_str());
    log_message("rot", LOG_LEVEL_INFO, "gen-five");
    EXPECT_EQ(log_files(),
              (std::vector<std::string>{"rot-0.log", "rot-1.log", "rot-2.log", "rot.log"}));
    for (const std::string &name : log_files())
        EXPECT_EQ(read_file(dir_ + name).find("gen-one"), std::string::npos) << name;
    EXPECT_NE(contents("rot-2").find("gen-two"), std::string::npos);
    EXPECT_NE(contents("rot").find("gen-five"), std::string::npos);
}

TEST_F(Log, DefaultLogRotatesAtThreeMillion)
{
    std::string big(1000000, 'b');
    log_message(nullptr, LOG_LEVEL_INFO, "first");
    for (int i = 0; i < 2; i++)
        log_message(nullptr, LOG_LEVEL_INFO, "%s", big.c_str());
    // About 2,000,000 bytes: far past a named log's limit, yet no rotation.
    log_message(nullptr, LOG_LEVEL_INFO, "%s", big.c_str());
    EXPECT_EQ(log_files(), (std::vector<std::string>{"application.log"}));
    log_message(nullptr, LOG_LEVEL_INFO, "second");
    EXPECT_EQ(log_files(), (std::vector<std::string>{"application-0.log", "application.log"}));
    EXPECT_NE(contents("application-0").find("first"), std::string::npos);
    EXPECT_EQ(lines("application").size(), 1u);
}

TEST_F(Log, MissingDirectoryDropsTheLineQuietly)
{
    fs::remove_all(dir_);
    fs::path cwd = fs::current_path();
    bool stray_before = fs::exists(cwd / "application.log");
    log_message(nullptr, LOG_LEVEL_ERROR, "nowhere");
    log_event(LOG_LEVEL_ERROR, "nowhere either");
    log_report(LOG_LEVEL_DEBUG, "still nowhere");
    log_message("named", LOG_LEVEL_INFO, "%s", std::string(5000, 'n').c_str());
    EXPECT_TRUE(fs::is_empty(root_));
    EXPECT_EQ(fs::exists(cwd / "application.log"), stray_before);
    // The system log still gets its entry.
    EXPECT_EQ(events.size(), 1u);

    fs::create_directory(dir_);
    ASSERT_EQ(log_set_directory((root_ + "/no/such/dir/").c_str()), 0);
    log_message(nullptr, LOG_LEVEL_ERROR, "nowhere");
    EXPECT_TRUE(fs::is_empty(dir_));
    EXPECT_FALSE(fs::exists(root_ + "/no"));
}

TEST_F(Log, OverlongFileNameIsNotCutShort)
{
    std::string name(300, 'n');
    log_message(name.c_str(), LOG_LEVEL_INFO, "too long");
    // Neither a file of a shortened name nor anything else appears.
    EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(Log, EventLogEntries)
{
    log_event(LOG_LEVEL_DEBUG, "debug stays local");
    log_event(LOG_LEVEL_DEBUG | 8, "masked debug stays local");
    log_report(LOG_LEVEL_ERROR, "reported only");
    log_message(nullptr, LOG_LEVEL_ERROR, "written only");
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(lines("application").size(), 4u);

    const int expected[] = {LOG_ERR, LOG_ERR, LOG_ERR, LOG_ERR, LOG_WARNING, LOG_INFO, LOG_INFO};
    for (int level = 0; level < 7; level++)
        log_event(level, "event %d", level);
    ASSERT_EQ(events.size(), 7u);
    for (int level = 0; level < 7; level++) {
        EXPECT_EQ(events[level].ident, "application");
        EXPECT_EQ(events[level].priority, expected[level]) << level;
        EXPECT_EQ(events[level].message, "event " + std::to_string(level));
    }

    log_set_program_name("reqtool");
    events.clear();
    log_event(LOG_LEVEL_WARN, "%s", std::string(1000, 'w').c_str());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].ident, "reqtool");
    EXPECT_EQ(events[0].message, std::string(1000, 'w'));
}

TEST_F(Log, EventLogFailuresGoToTheDefaultLog)
{
    event_result = 5;
    log_event(LOG_LEVEL_ERROR, "disk full");
    event_result = -2;
    log_event(LOG_LEVEL_ERROR, "no source");
    log_set_program_name("reqtool");
    log_event(LOG_LEVEL_INFO, "named source");
    std::vector<std::string> got = lines("application");
    ASSERT_EQ(got.size(), 4u);
    EXPECT_TRUE(is_line(got[1], "application", "DEBUG", "ReportEvent(disk full) failed, error 5"));
    EXPECT_TRUE(
        is_line(got[3], "application", "DEBUG", "RegisterEventSource(NULL) failed, error 2"));
    got = lines("reqtool");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(
        is_line(got[1], "reqtool", "DEBUG", "RegisterEventSource(reqtool) failed, error 2"));
}

TEST_F(Log, RealSystemLogWriterIsHarmless)
{
    log_set_system_writer(nullptr);
    log_event(LOG_LEVEL_NOTICE, "log test: a notice for the system log");
    EXPECT_EQ(lines("application").size(), 1u);
}

// A writer that logs again: the nesting must end on its own.
int recursing_writer(const char *, int, const char *)
{
    events.push_back({});
    log_event(LOG_LEVEL_ERROR, "again");
    return 0;
}

TEST_F(Log, NestedLoggingIsBounded)
{
    log_set_system_writer(recursing_writer);
    log_event(LOG_LEVEL_ERROR, "outer");
    EXPECT_GE(events.size(), 1u);
    EXPECT_LE(events.size(), 4u);

    // A failing allocation whose test point reports its hit: the report is
    // written from inside the outer call, and the outer line is dropped.
    warm_up_allocator();
    testpoint_t *tp = testpoint_define("^mem$", "alloc", nullptr);
    ASSERT_NE(tp, nullptr);
    testpoint_set_nth(tp, 1);
    testpoint_set_thread(tp, zthread_self());
    testpoint_set_verbose(tp, 1);
    testpoint_enable(1);
    log_message("nested", LOG_LEVEL_INFO, "%s", std::string(4000, 'n').c_str());
    testpoint_clear();
    EXPECT_NE(contents("application").find("hit mem/alloc testpoint"), std::string::npos);
    EXPECT_FALSE(fs::exists(file("nested")));
}

TEST_F(Log, AllocationFailureDropsTheLineAndLeaksNothing)
{
    static int run = 0;
    alloc_sweep_result result = alloc_failure_sweep([this] {
        std::string marker = "run-" + std::to_string(++run) + "-";
        std::string message = marker + std::string(3000, 'a');
        log_message("sweep", LOG_LEVEL_INFO, "%s", message.c_str());
        return contents("sweep").find(marker) != std::string::npos;
    });
    EXPECT_EQ(result.failing_runs, 1);
    // A short message needs no memory at all.
    result = alloc_failure_sweep([] {
        log_message("sweep", LOG_LEVEL_INFO, "short-%d", ++run);
        return true;
    });
    EXPECT_EQ(result.failing_runs, 0);
}

TEST_F(Log, StringModuleReportsExhaustion)
{
    warm_up_allocator();
    testpoint_t *tp = testpoint_define("^mem$", "alloc", nullptr);
    ASSERT_NE(tp, nullptr);
    testpoint_set_nth(tp, 2); // the first growth of the buffer
    testpoint_set_thread(tp, zthread_self());
    testpoint_enable(1);
    char *text = str_printf("%s", std::string(5000, 's').c_str());
    testpoint_clear();
    EXPECT_EQ(text, nullptr);
    std::vector<std::string> got = lines("application");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(is_line(got[0], "application", "DEBUG",
                        "Error: Unable to allocate memory for str_vappend realloc."));
}

TEST_F(Log, ConcurrentWritersKeepLinesWhole)
{
    const int writers = 4, per_writer = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < writers; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < per_writer; i++) {
                std::string body(static_cast<size_t>(10 + (i * 37) % 3000),
                                 static_cast<char>('a' + t));
                log_message(nullptr, LOG_LEVEL_INFO, "T%d-%d:%s", t, i, body.c_str());
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    // The default log: its limit is far above what is written here.
    std::vector<std::string> got = lines("application");
    ASSERT_EQ(got.size(), static_cast<size_t>(writers * per_writer));
    for (const std::string &line : got) {
        // "...]: T<t>-<i>:<body>"
        size_t start = line.find("]: T");
        ASSERT_NE(start, std::string::npos) << line.substr(0, 80);
        int t = -1, i = -1, used = 0;
        ASSERT_EQ(sscanf(line.c_str() + start, "]: T%d-%d:%n", &t, &i, &used), 2);
        ASSERT_TRUE(t >= 0 && t < writers && i >= 0 && i < per_writer) << line.substr(0, 80);
        std::string body(static_cast<size_t>(10 + (i * 37) % 3000), static_cast<char>('a' + t));
        EXPECT_TRUE(line.substr(start + static_cast<size_t>(used)) == body)
            << "line " << i << " of writer " << t << " is not whole";
    }
}

// Console echo runs in a fresh process, since it can be turned off only
// once per run.
struct probe_output {
    std::string terminal; // what reached the pseudo-terminal
    std::string piped;    // what reached standard error when it was a pipe
    int status = -1;
};

// Run the reporting program with standard output (and standard error unless
// stderr_to_pipe) on a pseudo-terminal.
probe_output run_probe(const std::string &log_dir, bool stderr_to_pipe,
                       const std::vector<std::string> &reports)
{
    probe_output out;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return out;
    std::vector<std::string> args = {LOG_PROBE, log_dir};
    args.insert(args.end(), reports.begin(), reports.end());
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (stderr_to_pipe)
            dup2(pipe_fds[1], STDERR_FILENO);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    if (pid < 0) {
        close(pipe_fds[0]);
        return out;
    }
    // Read the terminal until the program has gone (EIO once the last
    // slave descriptor is closed).
    char buffer[4096];
    for (;;) {
        pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0)
            break;
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.terminal.append(buffer, static_cast<size_t>(n));
    }
    ssize_t n;
    while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0)
        out.piped.append(buffer, static_cast<size_t>(n));
    close(pipe_fds[0]);
    close(master);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        out.status = WEXITSTATUS(status);
    return out;
}

TEST_F(Log, ConsoleEchoOnATerminal)
{
    probe_output out =
        run_probe(dir_, false, {"3", "first error", "5", "then a notice", "6", "ends in a feed\n"});
    EXPECT_EQ(out.status, 0);
    // The terminal turns each line feed into a carriage return and a line feed.
    EXPECT_EQ(out.terminal, "first error\r\nthen a notice\r\nends in a feed\r\nEND\r\n");
    EXPECT_NE(contents("application").find("first error"), std::string::npos);
}

TEST_F(Log, ConsoleEchoStopsForGoodOnAPipe)
{
    probe_output out = run_probe(dir_, true, {"3", "first error", "5", "then a notice"});
    EXPECT_EQ(out.status, 0);
    // The error found standard error piped: nothing is echoed from then on,
    // not even the notice whose standard output is a terminal.
    EXPECT_EQ(out.piped, "");
    EXPECT_EQ(out.terminal, "END\r\n");
    // The log file still has both lines.
    EXPECT_EQ(lines("application").size(), 2u);
}

} // namespace
