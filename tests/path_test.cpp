#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "alloc_failure.h"
#include "child_process.h"
#include "vovedi/path.h"
#include "vovedi/pool.h"
#include "vovedi/testpoint.h"
#include "vovedi/zthread.h"

namespace fs = std::filesystem;

namespace
{

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of the scope.
class temp_dir
{
  public:
    temp_dir()
    {
        std::string pattern = (fs::temp_directory_path() / "path_test.XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : "";
    }
    ~temp_dir()
    {
        std::error_code ignored;
        if (!path_.empty())
            fs::remove_all(path_, ignored);
    }
    const std::string &str() const { return path_; }

  private:
    std::string path_;
};

std::string take(char *text)
{
    std::string result = text ? text : "<null>";
    VV_FREE(text);
    return result;
}

std::string root_from(const std::string &program)
{
    return take(path_root_from_program(program.c_str()));
}

// Runs body in a child process whose environment holds only the given
// installation variables.
int in_child_with(const char *corvex_dir, const char *script_filename,
                  const std::function<void()> &body)
{
    return run_in_child([&] {
        unsetenv("CORVEX_DIR");
        unsetenv("SCRIPT_FILENAME");
        if (corvex_dir)
            setenv("CORVEX_DIR", corvex_dir, 1);
        if (script_filename)
            setenv("SCRIPT_FILENAME", script_filename, 1);
        body();
    });
}

// Restores the working directory and PATH at the end of a test.
class saved_environment
{
  public:
    saved_environment() : cwd_(fs::current_path())
    {
        const char *path = getenv("PATH");
        had_path_ = path != nullptr;
        path_ = path ? path : "";
    }
    ~saved_environment()
    {
        fs::current_path(cwd_);
        if (had_path_)
            setenv("PATH", path_.c_str(), 1);
        else
            unsetenv("PATH");
    }

  private:
    fs::path cwd_;
    bool had_path_;
    std::string path_;
};

} // namespace

TEST(PathInit, RootFromInstallationVariable)
{
    EXPECT_EQ(in_child_with("C:\\prod", "/srv/app/web/cgi-bin/run.cgi",
                            [] {
                                path_init(0);
                                EXPECT_STREQ(path_root(), "C:/prod");
                                EXPECT_STREQ(path_dir(PATH_DIR_LOG), "C:/prod/log/");
                                EXPECT_STREQ(path_dir(PATH_DIR_ROOT), "C:/prod/");
                                EXPECT_STREQ(path_dir(PATH_DIR_CGI_BIN), "C:/prod/web/cgi-bin/");
                                EXPECT_STREQ(path_dir(PATH_DIR_MISC), "C:/prod/misc/");
                                EXPECT_STREQ(path_dir(PATH_DIR_MISC_2), "C:/prod/misc/");
                                EXPECT_STREQ(path_dir(PATH_DIR_DATA_EXPORT), "C:/prod/dataExport/");
                                // Beyond the table: the root itself.
                                EXPECT_STREQ(path_dir(16), "C:/prod");
                                EXPECT_STREQ(path_dir(1000), "C:/prod");
                                EXPECT_STREQ(path_dir(-1), "C:/prod");
                                // The user's environment is left as it was.
                                EXPECT_STREQ(getenv("CORVEX_DIR"), "C:\\prod");
                                // Fixed for the life of the process.
                                setenv("CORVEX_DIR", "/elsewhere", 1);
                                path_init(1);
                                EXPECT_STREQ(path_root(), "C:/prod");
                            }),
              0);
}

TEST(PathInit, RootFromCgiScript)
{
    EXPECT_EQ(in_child_with(nullptr, "/srv/app/web/cgi-bin/run.cgi",
                            [] {
                                path_init(0);
                                EXPECT_STREQ(path_root(), "/srv/app");
                                EXPECT_STREQ(path_dir(PATH_DIR_LOG), "/srv/app/log/");
                            }),
              0);
    // An empty variable counts as not set.
    EXPECT_EQ(in_child_with("", "/srv/app/web/cgi-bin/run.cgi",
                            [] {
                                path_init(0);
                                EXPECT_STREQ(path_root(), "/srv/app");
                            }),
              0);
}

TEST(PathInit, NoRootWithoutVariablesWhenProgramIgnored)
{
    EXPECT_EQ(in_child_with(nullptr, nullptr,
                            [] {
                                path_init(0);
                                EXPECT_STREQ(path_root(), "/");
                                EXPECT_STREQ(path_dir(PATH_DIR_LOG), "//log/");
                                EXPECT_STREQ(path_dir(PATH_DIR_BIN), "//bin/");
                                EXPECT_STREQ(path_dir(20), "/");
                            }),
              0);
}

TEST(PathInit, TableWithoutInitUsesSlashRoot)
{
    // A table asked for before any path_init is built on demand.
    EXPECT_EQ(in_child_with("/ignored/until/init", nullptr,
                            [] {
                                EXPECT_STREQ(path_dir(PATH_DIR_CONF), "//conf/");
                                // path_init then replaces the whole table.
                                path_init(0);
                                EXPECT_STREQ(path_dir(PATH_DIR_CONF), "/ignored/until/init/conf/");
                            }),
              0);
}

TEST(PathInit, ReleasedAtDefaultPoolShutdown)
{
    EXPECT_EQ(in_child_with("/opt/corvex", nullptr,
                            [] {
                                warm_up_allocator();
                                size_t records = pool_record_count(nullptr);
                                long blocks = pool_live_blocks();
                                path_init(0);
                                EXPECT_EQ(pool_record_count(nullptr), records + 1);
                                // The root and sixteen directories.
                                EXPECT_EQ(pool_live_blocks(), blocks + 17);
                                pool_shutdown(nullptr);
                                // Everything goes, the pool's own mutex too.
                                EXPECT_EQ(pool_live_blocks(), blocks - 1);
                                EXPECT_STREQ(path_root(), "/");
                            }),
              0);
}

TEST(PathInit, FailedDirectoryIsRebuiltOnDemand)
{
    EXPECT_EQ(in_child_with("/opt/corvex", nullptr,
                            [] {
                                warm_up_allocator();
                                // Allocation 1 copies the root, 2 is slot 0.
                                testpoint_t *tp = testpoint_define("^mem$", "alloc", nullptr);
                                ASSERT_NE(tp, nullptr);
                                testpoint_set_nth(tp, 2);
                                testpoint_set_thread(tp, zthread_self());
                                testpoint_enable(1);
                                path_init(0);
                                testpoint_clear();
                                EXPECT_STREQ(path_root(), "/opt/corvex");
                                EXPECT_STREQ(path_dir(PATH_DIR_LOG), "/opt/corvex/log/");
                                EXPECT_STREQ(path_dir(PATH_DIR_ROOT), "/opt/corvex/");
                            }),
              0);
}

TEST(PathInit, RootFromRunningProgram)
{
    temp_dir tmp;
    ASSERT_FALSE(tmp.str().empty());
    const std::string base = tmp.str();
    struct placement {
        std::string program;
        std::string expected_root;
    };
    fs::create_directories(base + "/a/release/nt");
    const placement placements[] = {
        {base + "/inst/bin/probe", base + "/inst"},
        {base + "/inst/sbin/probe", base + "/inst"},
        {base + "/site/web/cgi-bin/probe", base + "/site"},
        {base + "/a/b/c/probe", base + "/a/release/nt"},
        {base + "/d/e/f/probe", "/"},
    };
    for (const placement &p : placements) {
        fs::create_directories(fs::path(p.program).parent_path());
        fs::copy_file(PATH_PROBE, p.program);
        std::string command = "env -u CORVEX_DIR -u SCRIPT_FILENAME " + p.program;
        FILE *out = popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        char line[4096] = "";
        bool got = fgets(line, sizeof line, out) != nullptr;
        EXPECT_EQ(pclose(out), 0) << p.program;
        ASSERT_TRUE(got) << p.program;
        EXPECT_EQ(std::string(line), p.expected_root + "\n") << p.program;
    }
}

TEST(PathRootFromProgram, BinSbinAndCgiBin)
{
    EXPECT_EQ(root_from("/opt/corvex/bin/reqtool"), "/opt/corvex");
    EXPECT_EQ(root_from("C:/corvex/bin/reqtool.exe"), "C:/corvex");
    EXPECT_EQ(root_from("/bin/reqtool"), "/");
    EXPECT_EQ(root_from("/usr/sbin/daemon"), "/usr");
    EXPECT_EQ(root_from("/srv/app/web/cgi-bin/run.cgi"), "/srv/app");
    // The first occurrence decides, and "/bin/" is tried before "/sbin/".
    EXPECT_EQ(root_from("/a/bin/b/bin/c"), "/a");
    EXPECT_EQ(root_from("/a/sbin/b/bin/c"), "/a/sbin/b");
    // Neither "-bin/" nor a trailing "/bin" is a match.
    EXPECT_EQ(root_from("/x/bin"), "/");
}

TEST(PathRootFromProgram, ReleaseDirectoryTwoLevelsUp)
{
    saved_environment saved;
    temp_dir tmp;
    ASSERT_FALSE(tmp.str().empty());
    fs::current_path(tmp.str());
    EXPECT_EQ(root_from("C:/x/y/z/prog.exe"), "/");
    fs::create_directories("C:/x/release/nt");
    EXPECT_EQ(root_from("C:/x/y/z/prog.exe"), "C:/x/release/nt");
    // The same two levels up from an absolute path.
    fs::create_directories(tmp.str() + "/p/release/nt");
    EXPECT_EQ(root_from(tmp.str() + "/p/q/r/prog"), tmp.str() + "/p/release/nt");
    // A file of that name is not a directory.
    fs::create_directories("D:/u/release");
    FILE *f = fopen("D:/u/release/nt", "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(root_from("D:/u/v/w/prog"), "/");
    // The third separator from the end begins the path: no candidate.
    EXPECT_EQ(root_from("/y/z/prog"), "/");
    EXPECT_EQ(root_from("z/prog"), "/");
    EXPECT_EQ(root_from("prog"), "/");
    EXPECT_EQ(root_from(""), "/");
}

TEST(PathRootFromProgram, BadInputAndExhaustion)
{
    errno = 0;
    EXPECT_EQ(path_root_from_program(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    alloc_failure_sweep([] {
        char *root = path_root_from_program("/opt/corvex/bin/reqtool");
        bool ok = root != nullptr;
        VV_FREE(root);
        return ok;
    });
    alloc_failure_sweep([] {
        char *root = path_root_from_program("/no/such/dir/prog");
        bool ok = root != nullptr;
        VV_FREE(root);
        return ok;
    });
}

TEST(PathSearch, FirstExistingCandidate)
{
    saved_environment saved;
    temp_dir tmp;
    ASSERT_FALSE(tmp.str().empty());
    const std::string base = tmp.str();
    fs::create_directories(base + "/one");
    fs::create_directories(base + "/two");
    fs::create_directories(base + "/three/work");
    for (const char *file : {"/two/tool", "/three/tool", "/three/up", "/three/work/here"})
        fclose(fopen((base + file).c_str(), "w"));
    fs::current_path(base + "/three/work");

    setenv("PATH", (base + "/one:" + base + "/two:" + base + "/three").c_str(), 1);
    EXPECT_EQ(take(path_search("tool")), base + "/two/tool");
    EXPECT_EQ(take(path_search("missing")), "missing");
    // "." is searched after the PATH entries.
    EXPECT_EQ(take(path_search("here")), base + "/three/work/here");
    // ".." is the current directory's parent; "\" separators become "/".
    setenv("PATH", (base + "\\two:..").c_str(), 1);
    EXPECT_EQ(take(path_search("up")), base + "/three/up");
    EXPECT_EQ(take(path_search("tool")), base + "/two/tool");
    // An empty entry stands for the current directory, not for "/".
    setenv("PATH", (base + "/one::" + base + "/two").c_str(), 1);
    EXPECT_EQ(take(path_search("here")), base + "/three/work/here");
    // Without PATH nothing is searched, not even ".".
    unsetenv("PATH");
    EXPECT_EQ(take(path_search("here")), "here");

    errno = 0;
    EXPECT_EQ(path_search(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);

    setenv("PATH", (base + "/one:" + base + "/three").c_str(), 1);
    alloc_failure_sweep([] {
        char *found = path_search("tool");
        bool ok = found != nullptr;
        VV_FREE(found);
        return ok;
    });
}

TEST(PathSlashes, EverySeparatorReplaced)
{
    char text[] = "C:\\a/b\\\\c";
    path_slashes(text, '/');
    EXPECT_STREQ(text, "C:/a/b//c");
    path_slashes(text, '\\');
    EXPECT_STREQ(text, "C:\\a\\b\\\\c");
    path_slashes(nullptr, '/');
    EXPECT_STREQ(path_dir_name(PATH_DIR_LOG), "/log/");
    EXPECT_EQ(path_dir_name(PATH_DIR_COUNT), nullptr);
}
