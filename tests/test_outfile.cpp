// Output files are written whole or not at all, and results rows are never lost.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "driver.h"
#include "outFile.h"
#include "testutil.h"

using testutil::readFile;
using testutil::TempDir;

namespace {

int countEntries(const std::string &dir)
{
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

} // namespace

TEST(AtomicFile, CommitReplacesAndAbandonLeavesNothing)
{
    TempDir dir;
    testutil::writeFile("a.csv", "old");
    {
        AtomicFile f("a.csv");
        ASSERT_TRUE(f.ok());
        f.put(1.5);
        f.put(',');
        EXPECT_EQ(readFile("a.csv"), "old"); // not visible before the commit
        EXPECT_TRUE(f.commit());
    }
    EXPECT_EQ(readFile("a.csv"), "1.5,");
    {
        AtomicFile f("a.csv");
        f.put(2.0);
    } // abandoned
    EXPECT_EQ(readFile("a.csv"), "1.5,");
    EXPECT_EQ(countEntries(dir.path()), 1);
    AtomicFile none("");
    EXPECT_FALSE(none.ok());
    EXPECT_FALSE(none.commit());
}

TEST(AtomicFile, FailedWriteKeepsTheOldFile)
{
    TempDir dir;
    testutil::writeFile("E_cpu.csv", "previous result\n");
    std::vector<double> big(64 * 64 * 8, 0.123456789);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Files may not grow beyond 1 kB in the child: the write fails midway.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {1024, 1024};
        setrlimit(RLIMIT_FSIZE, &lim);
        const bool written = store_array(big.data(), 8, 64, 64, "E_cpu.csv", XY, -1);
        _exit(written ? 0 : 3);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(readFile("E_cpu.csv"), "previous result\n");
    EXPECT_EQ(countEntries(dir.path()), 1); // no temporary file left behind
}

TEST(AtomicFile, ReplacementKeepsModeLinksAndWriteProtection)
{
    TempDir dir;
    testutil::writeFile("a.csv", "old");
    chmod("a.csv", 0600);
    const double v[] = {7};
    ASSERT_TRUE(store_array(v, 1, 1, 1, "a.csv", XY, 0));
    struct stat st;
    ASSERT_EQ(stat("a.csv", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Written through a link: the link stays, the file it names gets the content.
    ASSERT_EQ(symlink("a.csv", "link.csv"), 0);
    ASSERT_TRUE(store_array(v, 1, 1, 1, "link.csv", XY, -1));
    ASSERT_EQ(lstat("link.csv", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(readFile("a.csv"), "7,\n\n");
    EXPECT_EQ(countEntries(dir.path()), 2);

    if (geteuid() != 0) { // root may write anyway
        chmod("a.csv", 0444);
        EXPECT_FALSE(store_array(v, 1, 1, 1, "a.csv", XY, 1));
        EXPECT_EQ(readFile("a.csv"), "7,\n\n");
    }
}

TEST(ResultsFile, ConcurrentWritersLoseNothing)
{
    TempDir dir;
    const int writers = 4, rows = 200;
    std::vector<pid_t> pids;
    for (int w = 0; w < writers; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bool ok = true;
            for (int i = 0; i < rows; ++i)
                ok &= store_results("r.csv", "writer" + std::to_string(w), w, 16, i, 2, 3, 1.5, 2.5, 0);
            _exit(ok ? 0 : 1);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string text = readFile("r.csv");
    const std::string header = "cfile;kernel_id;block_size;nz;ny;nx;kernel_time;cpu_time;err-max;speed-up\n";
    ASSERT_EQ(text.rfind(header, 0), 0u);
    EXPECT_EQ(text.find(header, 1), std::string::npos);
    for (int w = 0; w < writers; ++w)
        for (int i = 0; i < rows; ++i) {
            const std::string row = "writer" + std::to_string(w) + ";" + std::to_string(w) + ";16;" +
                                    std::to_string(i) + ";2;3;1.5;2.5;0;1.66667\n";
            EXPECT_NE(text.find(row), std::string::npos) << row;
        }
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    EXPECT_EQ(lines, static_cast<size_t>(writers * rows + 1));
}

TEST(ResultsFile, ExistingFileIsNeverTruncated)
{
    TempDir dir;
    testutil::writeFile("r.csv", "kept line\n");
    chmod("r.csv", 0444);
    const bool root = geteuid() == 0;
    const bool written = store_results("r.csv", "a", 0, 16, 1, 1, 1, 1, 1, 1);
    EXPECT_EQ(written, root); // root may write anyway
    EXPECT_EQ(readFile("r.csv").rfind("kept line\n", 0), 0u);
    EXPECT_FALSE(store_results(dir.path(), "a", 0, 16, 1, 1, 1, 1, 1, 1)); // a directory
}
