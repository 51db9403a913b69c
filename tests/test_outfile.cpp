// Output files are written whole or not at all, results rows are never lost or torn, and
// names that are not regular files are never replaced.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
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
#include <climits>
#include <random>
#include <sstream>
#include <thread>
#include <cstring>
#include <string>
#include <vector>

#include "driver.h"
#include "outFile.h"
#include "outFile_results.h"
#include "outFile_signals.h"
#include "outFile_target.h"
#include "outFile_temp.h"
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
        // Files may not grow beyond 1 kB in the child: the write fails midway (the program's
        // signal guard ignores SIGXFSZ, which would end the child).
        guardOutputSignals();
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

TEST(AtomicFile, NamesNearTheLengthLimits)
{
    TempDir dir;
    // The temporary name copies as much of the target's name as NAME_MAX and PATH_MAX leave
    // room for, cut at a character boundary.
    const double v[] = {7};
    const std::string longest(NAME_MAX, 'a'), results(240, 'r');
    EXPECT_TRUE(store_array(v, 1, 1, 1, longest, XY, 0));
    EXPECT_EQ(readFile(longest), "7,\n\n");
    ASSERT_EQ(symlink(std::string(244, 'b').c_str(), "link.csv"), 0);
    EXPECT_TRUE(store_array(v, 1, 1, 1, "link.csv", XY, 0));
    EXPECT_TRUE(store_results(results, "c", 0, 16, 1, 1, 1, 1, 1, 1));
    EXPECT_EQ(readFile(results).rfind("cfile;", 0), 0u);
    std::string deep; // 4095 bytes, the longest path there is
    for (int level = 0; level < 20; ++level)
        ASSERT_EQ(mkdir((deep += (level > 0 ? "/" : "") + std::string(200, 'd')).c_str(), 0755), 0);
    // Through a link, a path of 4090 bytes whose last name is too short to give up the room.
    const std::string far = deep + "/" + std::string(64, 'f') + "/E.csv";
    ASSERT_TRUE(mkdir(folderOf(far).c_str(), 0755) == 0 && symlink(far.c_str(), "far.csv") == 0);
    EXPECT_TRUE(store_array(v, 1, 1, 1, "far.csv", XY, 0));
    EXPECT_TRUE(readFile(far) == "7,\n\n" && countEntries(folderOf(far)) == 1);
    deep += "/" + std::string(PATH_MAX - 2 - deep.size(), 'e');
    EXPECT_TRUE(store_array(v, 1, 1, 1, deep, XY, 0));
    EXPECT_EQ(readFile(deep), "7,\n\n");
    EXPECT_EQ(countEntries(dir.path()), 6);

    std::string accents, name;
    for (int i = 0; i < 120; ++i)
        accents += "\xc3\xa9"; // 240 bytes
    int slot = -1;
    const int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const std::string &target : {std::string("x.csv"), accents}) {
        const int fd = createTemp(folder, target, &name, &slot);
        ASSERT_GE(fd, 0);
        close(fd);
        unlink(name.c_str());
        forgetTemp(slot);
        const size_t kept = target.size() < 200 ? target.size() : 236; // not 237: in a character
        EXPECT_EQ(name.substr(0, name.size() - 6), target.substr(0, kept) + ".fyrnol-tmp.");
    }
    close(folder);
}

// SIGTERM at random moments to a writer beside an idle thread, which takes it whenever the
// writer holds it back to enter a new temporary file, or always where the writer keeps it
// blocked from the start: the writer's files are removed all the same, also those it goes
// on making while the other thread handles the signal. Temporary files are made and renamed
// as a commit does, without the syncs that would take most of the time.
TEST(AtomicFile, SignalTakenByAnotherThreadLeavesNoTemporaryFile)
{
    TempDir dir;
    std::mt19937 random(1);
    int left[2] = {0, 0}; // temporary files left, by whether the writer blocks SIGTERM
    for (int run = 0; run < 200; ++run) {
        const bool ownerBlocks = run % 2 == 1;
        const std::string folder = std::to_string(run);
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            alarm(20);
            const int here = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            sigset_t mask;
            sigemptyset(&mask);
            pthread_sigmask(SIG_SETMASK, &mask, nullptr);
            std::thread([] {
                for (;;)
                    pause();
            }).detach();
            sigaddset(&mask, SIGTERM);
            if (ownerBlocks)
                pthread_sigmask(SIG_BLOCK, &mask, nullptr);
            guardOutputSignals();
            if (write(ready[1], "r", 1) != 1)
                _exit(1);
            for (;;) {
                std::string temp;
                int slot = -1;
                close(createTemp(here, "x.csv", &temp, &slot));
                renameat(here, temp.c_str(), here, "x.csv");
                forgetTemp(slot);
            }
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        usleep(std::uniform_int_distribution<useconds_t>(0, 2000)(random));
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        unlink((folder + "/x.csv").c_str());
        left[ownerBlocks] += countEntries(folder);
    }
    EXPECT_EQ(left[0], 0);
    EXPECT_EQ(left[1], 0) << "with the writer keeping SIGTERM blocked";
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

const char *const HEADER = "cfile;kernel_id;block_size;nz;ny;nx;kernel_time;cpu_time;err-max;speed-up\n";

// Runs f in a child under a time limit: its exit status, or minus the signal that ended it.
template <typename F>
int inChild(F f)
{
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        _exit(f());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// Whether text is the lines 0 to n-1, each once, whole, in any order.
bool eachRowOnce(const std::string &text, int n)
{
    std::istringstream lines(text);
    std::vector<std::string> seen;
    for (std::string line; std::getline(lines, line);)
        seen.push_back(line);
    std::vector<std::string> expected;
    for (int k = 0; k < n; ++k)
        expected.push_back(std::to_string(k));
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    return seen == expected && !text.empty() && text.back() == '\n';
}

} // namespace

// Links to devices, FIFOs nobody reads and dangling links: through the binary (test_driver).
TEST(AtomicFile, TargetsThatAreNotRegularFiles)
{
    TempDir dir;
    const double v[] = {7};
    struct stat st;
    if (mknod("full", S_IFCHR | 0666, makedev(1, 7)) == 0) { // a private /dev/full
        EXPECT_FALSE(store_array(v, 1, 1, 1, "full", XY, 0));
        EXPECT_TRUE(stat("full", &st) == 0 && S_ISCHR(st.st_mode));
    }
    // A FIFO with a reader gets the file straight through.
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    const int reader = open("fifo", O_RDONLY | O_NONBLOCK);
    EXPECT_TRUE(store_array(v, 1, 1, 1, "fifo", XY, 0));
    char buf[8] = {0};
    EXPECT_EQ(read(reader, buf, sizeof buf - 1), 4);
    EXPECT_STREQ(buf, "7,\n\n");
    close(reader);
    // A socket and a loop of links are neither replaced nor written.
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "sock.csv");
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    EXPECT_FALSE(store_array(v, 1, 1, 1, "sock.csv", XY, 0));
    EXPECT_TRUE(lstat("sock.csv", &st) == 0 && S_ISSOCK(st.st_mode));
    close(sock);
    ASSERT_EQ(symlink("loop2", "loop1"), 0);
    ASSERT_EQ(symlink("loop1", "loop2"), 0);
    EXPECT_FALSE(store_array(v, 1, 1, 1, "loop1", XY, 0));
    EXPECT_EQ(countEntries(dir.path()), 4 + (stat("full", &st) == 0));
}

// A forked child inherits the table of temporary files: the signal that ends it removes the
// child's own temporary file and leaves its parent's.
TEST(AtomicFile, ForkedChildLeavesItsParentsTemporaryFile)
{
    TempDir dir;
    const int status = inChild([] {
        guardOutputSignals();
        const int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        std::string parents, childs;
        int slot = -1, ready[2];
        close(createTemp(here, "p.csv", &parents, &slot));
        const pid_t child = pipe(ready) == 0 ? fork() : -1;
        if (child == 0) {
            if (close(createTemp(here, "c.csv", &childs, &slot)) == 0 && write(ready[1], "r", 1) == 1)
                pause();
            _exit(5);
        }
        char c;
        int childStatus = 0;
        if (child < 0 || read(ready[0], &c, 1) != 1 || kill(child, SIGTERM) != 0 ||
            waitpid(child, &childStatus, 0) != child || !WIFSIGNALED(childStatus))
            return 3;
        return unlinkat(here, parents.c_str(), 0) != 0 ? 1 : countEntries(".") == 0 ? 0 : 2;
    });
    EXPECT_EQ(status, 0) << "1 the parent's file was removed, 2 the child's stayed";
}

TEST(ResultsFile, RowCutShortIsTakenBack)
{
    TempDir dir;
    // The file ends 10 bytes before a page boundary; then the disk is full (a private 16 kB
    // tmpfs, gone with the child, where one can be mounted) or the file-size limit is hit.
    // The row is begun, fails and is taken back; once there is room the next row goes on a
    // whole line.
    const std::string text = HEADER + std::string(4096 - 11 - std::strlen(HEADER), 'x') + "\n";
    for (const bool tmpfs : {true, false}) {
        const int status = inChild([&] {
            guardOutputSignals();
            mkdir("disk", 0755);
            if (tmpfs && (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                          mount("tmpfs", "disk", "tmpfs", 0, "size=16k") != 0))
                return 77;
            if (chdir("disk") != 0)
                return 4;
            testutil::writeFile("r.csv", text);
            const int fill = open("fill", O_WRONLY | O_CREAT, 0644);
            struct rlimit lim;
            getrlimit(RLIMIT_FSIZE, &lim);
            const rlim_t unlimited = lim.rlim_cur;
            lim.rlim_cur = text.size() + 10;
            while (tmpfs && write(fill, text.data(), text.size()) > 0) {
            }
            if (!tmpfs)
                setrlimit(RLIMIT_FSIZE, &lim);
            if (store_results("r.csv", "row", 0, 16, 1, 1, 1, 1, 1, 1))
                return 1;
            if (readFile("r.csv") != text)
                return 2;
            close(fill);
            unlink("fill");
            lim.rlim_cur = unlimited;
            setrlimit(RLIMIT_FSIZE, &lim);
            return store_results("r.csv", "next", 0, 16, 1, 1, 1, 1, 1, 1) &&
                           readFile("r.csv") == text + "next;0;16;1;1;1;1;1;1;1\n" ? 0 : 3;
        });
        EXPECT_TRUE(status == 0 || (tmpfs && status == 77))
            << tmpfs << " " << status << ": 1 a partial row was reported written, 2 it stayed, 3 the next row failed";
    }
}

TEST(ResultsFile, RowAfterALastLineWithoutNewline)
{
    TempDir dir;
    // Left by a killed writer or an editor: the row begins a line of its own.
    testutil::writeFile("r.csv", std::string(HEADER) + "cut;0;16");
    EXPECT_TRUE(store_results("r.csv", "a", 0, 16, 1, 1, 1, 1, 1, 1));
    EXPECT_TRUE(store_results("r.csv", "b", 0, 16, 1, 1, 1, 1, 1, 1));
    EXPECT_EQ(readFile("r.csv"),
              std::string(HEADER) + "cut;0;16\na;0;16;1;1;1;1;1;1;1\nb;0;16;1;1;1;1;1;1;1\n");
}

TEST(ResultsFile, CreatedWithoutHardLinks)
{
    TempDir dir;
    // Concurrent writers publishing by rename: one header, first, and every row.
    const int writers = 4, rows = 100;
    for (int w = 0; w < writers; ++w)
        if (fork() == 0) {
            bool ok = true;
            for (int i = 0; i < rows; ++i)
                ok &= appendWithHeader("r.csv", HEADER, std::to_string(w * rows + i) + "\n", Publish::Rename);
            _exit(ok ? 0 : 1);
        }
    for (int w = 0; w < writers; ++w) {
        int status = 0;
        wait(&status);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string text = readFile("r.csv");
    ASSERT_EQ(text.rfind(HEADER, 0), 0u);
    EXPECT_TRUE(eachRowOnce(text.substr(std::strlen(HEADER)), writers * rows));

    // The exclusive create, the last resort; an existing empty file gets no header by any way.
    EXPECT_TRUE(appendWithHeader("x.csv", HEADER, "1\n", Publish::Exclusive));
    EXPECT_TRUE(appendWithHeader("x.csv", HEADER, "2\n", Publish::Exclusive));
    EXPECT_EQ(readFile("x.csv"), std::string(HEADER) + "1\n2\n");
    for (Publish how : {Publish::Link, Publish::Rename, Publish::Exclusive}) {
        testutil::writeFile("empty.csv", "");
        EXPECT_TRUE(appendWithHeader("empty.csv", HEADER, "row\n", how));
        EXPECT_EQ(readFile("empty.csv"), "row\n");
    }
    // A path at PATH_MAX whose last name is too short to give up the room: the temporary
    // file, named relative to the folder, is published all the same and goes.
    std::string deep;
    for (int level = 0; level < 20; ++level)
        ASSERT_EQ(mkdir((deep += (level > 0 ? "/" : "") + std::string(200, 'd')).c_str(), 0755), 0);
    deep += "/" + std::string(PATH_MAX - 6 - deep.size(), 'e');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    const std::string longest = deep + "/r.c"; // PATH_MAX - 1 bytes
    EXPECT_TRUE(appendWithHeader(longest, HEADER, "row\n"));
    EXPECT_EQ(readFile(longest), std::string(HEADER) + "row\n");
    EXPECT_EQ(countEntries(deep), 1);
    EXPECT_EQ(countEntries(dir.path()), 4);
}

TEST(ResultsFile, WritersSharingOneDescription)
{
    TempDir dir;
    // Processes that share one description of a log, as runs behind one `1<>` (read-write,
    // no O_APPEND: one offset for all, which knows nothing of rows appended by name) or `>>`
    // do, and name it as a descriptor, beside processes that append to it by name: every row
    // whole, once.
    const int writers = 8, rows = 100;
    for (const int mode : {O_RDWR, O_WRONLY | O_APPEND}) {
        const int fd = open("log", O_CREAT | O_TRUNC | mode, 0644);
        ASSERT_GE(fd, 0);
        const std::string shared = "/proc/self/fd/" + std::to_string(fd);
        for (int w = 0; w < writers; ++w)
            if (fork() == 0) {
                alarm(20);
                bool ok = true;
                for (int i = 0; i < rows; ++i)
                    ok &= appendWithHeader(w % 2 ? "log" : shared, HEADER, std::to_string(w * rows + i) + "\n");
                _exit(ok ? 0 : 1);
            }
        close(fd);
        for (int w = 0; w < writers; ++w) {
            int status = 0;
            wait(&status);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        EXPECT_TRUE(eachRowOnce(readFile("log"), writers * rows)) << mode;
    }

    // Where no description of its own can be had (no /proc), a run locks the shared one: its
    // row waits while a writer by name holds the lock.
    const int fd = open("log", O_RDWR | O_TRUNC);
    const int held = open("log", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        close(held); // the lock stays the parent's
        // /proc hidden by a tmpfs in a mount namespace (and a user namespace, unless root).
        if (dup2(fd, 1) != 1 || unshare(geteuid() == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/proc", "tmpfs", 0, "size=16k") != 0)
            _exit(77);
        _exit(appendWithHeader("/dev/stdout", HEADER, "row\n") ? 0 : 1);
    }
    close(fd);
    usleep(300000);
    EXPECT_EQ(readFile("log"), "");
    close(held);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "/proc cannot be hidden here";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(readFile("log"), "row\n");
}
