// Temporary files beside the outputs they will replace, known to the cleanup signals.
#include "outFile_temp.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "outFile_signals.h"

namespace {

const char TEMP_MARK[] = ".fyrnol-tmp.";
const size_t RANDOM_LENGTH = 6;
const size_t SUFFIX_LENGTH = sizeof TEMP_MARK - 1 + RANDOM_LENGTH;

// A slot's state and the process that entered it, in one word: a forked child inherits
// the table, and tells its parent's entries from its own.
enum : uint64_t { FREE = 0, CREATING = 1, LIVE = 2, REMOVING = 3 };
uint64_t wordOf(pid_t pid, uint64_t state) { return static_cast<uint64_t>(pid) << 2 | state; }
pid_t pidOf(uint64_t word) { return static_cast<pid_t>(word >> 2); }

// The live temporary files, as the signal handler sees them: a fixed table, since the
// handler may neither allocate nor lock. A run holds one at a time. folder and name are
// written while the slot is CREATING, which the handler only waits for, and read by the
// handler once it has taken a LIVE slot over (REMOVING), which no one then writes again.
struct TempSlot {
    std::atomic<uint64_t> word;
    int folder;
    char name[NAME_MAX + 1];
};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the handler reads the words");
TempSlot temps[4];
const int SLOTS = static_cast<int>(sizeof temps / sizeof temps[0]);

// The process whose handler has begun removing its temporary files: it makes no more. A
// creation and a handler on another thread never both miss each other: createTemp enters
// its slot CREATING, checks this, creates the file and makes the slot LIVE; the handler sets
// this, waits for every CREATING slot and removes every LIVE one (all seq_cst).
std::atomic<pid_t> closingPid{0};
static_assert(std::atomic<pid_t>::is_always_lock_free, "the handler sets it");

// The longest entry name the folder takes, within what a slot holds.
size_t nameMaxOf(int folder)
{
    const long n = fpathconf(folder, _PC_NAME_MAX);
    return n > static_cast<long>(SUFFIX_LENGTH) && n < NAME_MAX ? static_cast<size_t>(n) : NAME_MAX;
}

// "<entry>.fyrnol-tmp.", with as much of entry as keeps the whole name within the folder's
// name limit. A shortened copy ends at a UTF-8 character boundary.
std::string tempPrefix(int folder, const std::string &entry)
{
    const size_t room = nameMaxOf(folder) - SUFFIX_LENGTH;
    size_t keep = entry.size() <= room ? entry.size() : room;
    for (int back = 0; back < 3 && keep > 0 && keep < entry.size() &&
                       (static_cast<unsigned char>(entry[keep]) & 0xC0) == 0x80;
         ++back)
        --keep;
    return entry.substr(0, keep) + TEMP_MARK;
}

// Random bits for a name; where the kernel has none to give, the clock and the pid mixed.
uint64_t randomBits()
{
    uint64_t bits;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits))
        return bits;
    static uint64_t count = 0;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    bits = (static_cast<uint64_t>(now.tv_sec) << 30) ^ static_cast<uint64_t>(now.tv_nsec) ^
           (static_cast<uint64_t>(getpid()) << 40) ^ ++count;
    bits = (bits ^ (bits >> 30)) * 0xbf58476d1ce4e5b9ULL;
    bits = (bits ^ (bits >> 27)) * 0x94d049bb133111ebULL;
    return bits ^ (bits >> 31);
}

std::string randomName(const std::string &prefix)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    uint64_t bits = randomBits();
    std::string name = prefix;
    for (size_t i = 0; i < RANDOM_LENGTH; ++i, bits /= sizeof letters - 1)
        name += letters[bits % (sizeof letters - 1)];
    return name;
}

// A folder whose entries may be added but neither renamed nor removed (chattr +a). Not
// known to be one where its flags cannot be read (open as a path only, no such flags).
bool isAppendOnly(int folder)
{
    int flags = 0;
    return ioctl(folder, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0;
}

// A free slot, or one a parent process left in the table, taken for name in folder before
// the file is made; -1 when all are taken.
int enterCreating(pid_t pid, int folder, const std::string &name)
{
    for (int i = 0; i < SLOTS && name.size() <= NAME_MAX; ++i) {
        uint64_t word = temps[i].word.load();
        const bool taken = word != FREE && pidOf(word) == pid;
        if (taken || !temps[i].word.compare_exchange_strong(word, wordOf(pid, CREATING)))
            continue;
        temps[i].folder = folder;
        std::memcpy(temps[i].name, name.c_str(), name.size() + 1);
        return i;
    }
    return -1;
}

// A new entry under a fresh name, entered in the table first; -1 where none was made.
int createEntered(int folder, const std::string &prefix, std::string *name, int *slot)
{
    const pid_t pid = getpid();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string tried = randomName(prefix);
        *slot = enterCreating(pid, folder, tried);
        const bool closing = closingPid.load() == pid;
        const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
        const int fd = closing ? -1 : openat(folder, tried.c_str(), flags, 0600);
        if (*slot >= 0)
            temps[*slot].word.store(fd >= 0 ? wordOf(pid, LIVE) : FREE);
        if (fd >= 0) {
            *name = tried;
            return fd;
        }
        *slot = -1;
        if (closing || errno != EEXIST)
            break;
    }
    return -1;
}

} // namespace

// The cleanup signals wait meanwhile on this thread, so a handler that waits for the slot
// runs on another. The check after the creation covers a file the handler could not know
// of (a full table) or waited for in vain.
int createTemp(int folder, const std::string &entry, std::string *name, int *slot)
{
    *slot = -1;
    if (isAppendOnly(folder))
        return -1;
    const std::string prefix = tempPrefix(folder, entry);
    const sigset_t block = cleanupSignals();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &block, &old);
    int fd = createEntered(folder, prefix, name, slot);
    if (fd >= 0 && closingPid.load() == getpid()) {
        unlinkat(folder, name->c_str(), 0);
        forgetTemp(*slot);
        close(fd);
        *slot = -1;
        fd = -1;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return fd;
}

void forgetTemp(int slot)
{
    if (slot < 0)
        return;
    uint64_t live = wordOf(getpid(), LIVE);
    temps[slot].word.compare_exchange_strong(live, FREE); // a handler's REMOVING stays
}

// A slot CREATING is waited for, up to a second: its file appears in a moment and, as the
// process is closing, is removed by this handler or by its creator.
void removeLiveTemps()
{
    const pid_t pid = getpid();
    closingPid.store(pid);
    const struct timespec pause = {0, 1000 * 1000};
    for (TempSlot &t : temps) {
        uint64_t word = t.word.load();
        for (int wait = 0; word == wordOf(pid, CREATING) && wait < 1000; ++wait) {
            nanosleep(&pause, nullptr);
            word = t.word.load();
        }
        if (word == wordOf(pid, LIVE) && t.word.compare_exchange_strong(word, wordOf(pid, REMOVING)))
            unlinkat(t.folder, t.name, 0);
    }
}
