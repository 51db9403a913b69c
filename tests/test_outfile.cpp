// Output files are written whole or not at all, results rows are never lost or torn, and
// names that are not regular files are never replaced.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cstring>
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

namespace {

// A private device node in the working directory; false where mknod is not permitted.
bool makeCharDevice(const char *name, unsigned major, unsigned minor)
{
    return mknod(name, S_IFCHR | 0666, makedev(major, minor)) == 0;
}

bool isCharDevice(const char *name)
{
    struct stat st;
    return stat(name, &st) == 0 && S_ISCHR(st.st_mode);
}

bool isLink(const char *name)
{
    struct stat st;
    return lstat(name, &st) == 0 && S_ISLNK(st.st_mode);
}

// Runs f in a child under a time limit; its exit status, or -signal when it was killed.
template <typename F>
int inChild(F f, unsigned seconds = 20)
{
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(seconds);
        _exit(f());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

const char *const HEADER = "cfile;kernel_id;block_size;nz;ny;nx;kernel_time;cpu_time;err-max;speed-up\n";

} // namespace

TEST(AtomicFile, TargetsThatAreNotRegularFiles)
{
    TempDir dir;
    const double v[] = {7};
    if (makeCharDevice("null", 1, 3) && makeCharDevice("full", 1, 7)) {
        // A link to a null device discards the output; the node is never replaced.
        ASSERT_EQ(symlink("null", "E.csv"), 0);
        EXPECT_TRUE(store_array(v, 1, 1, 1, "E.csv", XY, 0));
        EXPECT_TRUE(isLink("E.csv"));
        EXPECT_TRUE(isCharDevice("null"));
        // A device that refuses the data: reported, and still the device.
        EXPECT_FALSE(store_array(v, 1, 1, 1, "full", XY, 0));
        EXPECT_TRUE(isCharDevice("full"));
    }
    // A FIFO that nobody reads fails at once; one with a reader gets the file.
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    EXPECT_EQ(inChild([&] { return store_array(v, 1, 1, 1, "fifo", XY, 0) ? 1 : 0; }), 0);
    const int reader = open("fifo", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(store_array(v, 1, 1, 1, "fifo", XY, 0));
    char buf[16] = {0};
    EXPECT_EQ(read(reader, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "7,\n\n");
    close(reader);
    // A directory and a socket are neither replaced nor written.
    ASSERT_EQ(mkdir("dir.csv", 0755), 0);
    EXPECT_FALSE(store_array(v, 1, 1, 1, "dir.csv", XY, 0));
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "sock.csv");
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    EXPECT_FALSE(store_array(v, 1, 1, 1, "sock.csv", XY, 0));
    struct stat st;
    ASSERT_EQ(lstat("sock.csv", &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    close(sock);
    // A dangling link: its target is created, the link stays.
    ASSERT_EQ(symlink("made.csv", "dangling.csv"), 0);
    EXPECT_TRUE(store_array(v, 1, 1, 1, "dangling.csv", XY, 0));
    EXPECT_TRUE(isLink("dangling.csv"));
    EXPECT_EQ(readFile("made.csv"), "7,\n\n");
    // A loop of links is no file.
    ASSERT_EQ(symlink("loop2", "loop1"), 0);
    ASSERT_EQ(symlink("loop1", "loop2"), 0);
    EXPECT_FALSE(store_array(v, 1, 1, 1, "loop1", XY, 0));
    DIR *d = opendir(".");
    while (const dirent *e = readdir(d))
        EXPECT_EQ(std::strstr(e->d_name, "fyrnol-tmp"), nullptr) << e->d_name;
    closedir(d);
}

TEST(ResultsFile, TargetsThatAreNotRegularFiles)
{
    TempDir dir;
    if (makeCharDevice("null", 1, 3)) {
        ASSERT_EQ(symlink("null", "r.csv"), 0);
        EXPECT_TRUE(store_results("r.csv", "a", 0, 16, 1, 1, 1, 1, 1, 1));
        EXPECT_TRUE(isCharDevice("null"));
    }
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    EXPECT_EQ(inChild([] { return store_results("fifo", "a", 0, 16, 1, 1, 1, 1, 1, 1) ? 1 : 0; }), 0);
    ASSERT_EQ(symlink("rows.csv", "dangling.csv"), 0);
    EXPECT_TRUE(store_results("dangling.csv", "a", 0, 16, 1, 1, 1, 1, 1, 1));
    EXPECT_TRUE(isLink("dangling.csv"));
    EXPECT_EQ(readFile("rows.csv"), std::string(HEADER) + "a;0;16;1;1;1;1;1;1;1\n");
}

TEST(ResultsFile, RowCutShortIsCutBackOff)
{
    TempDir dir;
    ASSERT_TRUE(store_results("r.csv", "first", 0, 16, 1, 1, 1, 1, 1, 1));
    const std::string before = readFile("r.csv");
    // Room for ten more bytes only: the row is begun, fails, and is taken back.
    const int status = inChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {before.size() + 10, before.size() + 10};
        setrlimit(RLIMIT_FSIZE, &lim);
        return store_results("r.csv", "second", 0, 16, 1, 1, 1, 1, 1, 1) ? 1 : 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile("r.csv"), before);
    ASSERT_TRUE(store_results("r.csv", "third", 0, 16, 1, 1, 1, 1, 1, 1));
    EXPECT_EQ(readFile("r.csv"), before + "third;0;16;1;1;1;1;1;1;1\n");
}

TEST(ResultsFile, FullDiskCutsTheRowBackOff)
{
    TempDir dir;
    ASSERT_EQ(mkdir("disk", 0755), 0);
    // A private 16 kB tmpfs, gone with the child that mounts it.
    const int status = inChild([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "disk", "tmpfs", 0, "size=16k") != 0 || chdir("disk") != 0)
            return 77;
        // The results file ends 10 bytes before a page boundary; the disk is full after it.
        std::string text = HEADER;
        text += std::string(4096 - 10 - text.size() - 1, 'x') + "\n";
        testutil::writeFile("r.csv", text);
        std::string block(4096, 'f');
        const int fill = open("fill", O_WRONLY | O_CREAT, 0644);
        while (write(fill, block.data(), block.size()) > 0) {
        }
        if (store_results("r.csv", "row", 0, 16, 1, 1, 1, 1, 1, 1))
            return 1;
        if (readFile("r.csv") != text)
            return 2;
        close(fill);
        unlink("fill");
        if (!store_results("r.csv", "row", 0, 16, 1, 1, 1, 1, 1, 1) ||
            readFile("r.csv") != text + "row;0;16;1;1;1;1;1;1;1\n")
            return 3;
        return 0;
    });
    if (status == 77)
        GTEST_SKIP() << "no tmpfs can be mounted here; RowCutShortIsCutBackOff covers the failure";
    EXPECT_EQ(status, 0) << "1: a partial row was reported written, 2: it stayed, 3: the next row failed";
}

TEST(ResultsFile, WaysOfCreatingTheFileWithoutHardLinks)
{
    TempDir dir;
    // Concurrent writers publishing by rename: one header, first, and every row.
    const int writers = 4, rows = 100;
    std::vector<pid_t> pids;
    for (int w = 0; w < writers; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bool ok = true;
            for (int i = 0; i < rows; ++i)
                ok &= appendWithHeader("r.csv", HEADER, std::to_string(w) + ";" + std::to_string(i) + "\n",
                                       Publish::Rename);
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
    EXPECT_EQ(text.rfind(HEADER, 0), 0u);
    EXPECT_EQ(text.find(HEADER, 1), std::string::npos);
    for (int w = 0; w < writers; ++w)
        for (int i = 0; i < rows; ++i)
            EXPECT_NE(text.find("\n" + std::to_string(w) + ";" + std::to_string(i) + "\n"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), writers * rows + 1);

    // The exclusive create, and an existing empty file, which gets no header by any way.
    EXPECT_TRUE(appendWithHeader("x.csv", HEADER, "1\n", Publish::Exclusive));
    EXPECT_TRUE(appendWithHeader("x.csv", HEADER, "2\n", Publish::Exclusive));
    EXPECT_EQ(readFile("x.csv"), std::string(HEADER) + "1\n2\n");
    for (Publish how : {Publish::Link, Publish::Rename, Publish::Exclusive}) {
        testutil::writeFile("empty.csv", "");
        EXPECT_TRUE(appendWithHeader("empty.csv", HEADER, "row\n", how));
        EXPECT_EQ(readFile("empty.csv"), "row\n");
    }
    EXPECT_EQ(countEntries(dir.path()), 3);
}
