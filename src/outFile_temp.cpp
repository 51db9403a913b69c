// Temporary files beside the outputs they will replace, known to the cleanup signals.
#include "outFile_temp.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "outFile_signals.h"
#include "outFile_target.h"

namespace {

const char TEMP_SUFFIX[] = ".fyrnol-tmp.XXXXXX";
const size_t SUFFIX_LENGTH = sizeof TEMP_SUFFIX - 1;

// The live temporary files, as the signal handler sees them: a fixed table, since the
// handler may neither allocate nor lock. A run holds one at a time.
struct TempSlot {
    char path[PATH_MAX];
    std::atomic<bool> live;
};
static_assert(std::atomic<bool>::is_always_lock_free, "the handler reads the flags");
TempSlot temps[4];

// The longest entry name the folder of path takes.
size_t nameMaxOf(const std::string &path)
{
    const long n = pathconf(folderOf(path).c_str(), _PC_NAME_MAX);
    return n > static_cast<long>(SUFFIX_LENGTH) ? static_cast<size_t>(n) : NAME_MAX;
}

// "<beside>.fyrnol-tmp.XXXXXX", with as much of beside's last entry as keeps the new entry
// within the folder's name limit and the whole path within PATH_MAX, so that a target whose
// name is near a limit still gets a temporary file. A shortened copy ends at a UTF-8
// character boundary.
std::string tempTemplate(const std::string &beside)
{
    const size_t start = beside.rfind('/') + 1; // 0 without a folder
    if (start + SUFFIX_LENGTH >= PATH_MAX)
        return beside + TEMP_SUFFIX; // no room at all: creating it fails
    const size_t room = std::min(nameMaxOf(beside), PATH_MAX - 1 - start) - SUFFIX_LENGTH;
    if (beside.size() - start <= room)
        return beside + TEMP_SUFFIX;
    size_t keep = room;
    for (int back = 0; back < 3 && keep > 0 && (static_cast<unsigned char>(beside[start + keep]) & 0xC0) == 0x80;
         ++back)
        --keep;
    return beside.substr(0, start + keep) + TEMP_SUFFIX;
}

} // namespace

void removeLiveTemps()
{
    for (TempSlot &t : temps)
        if (t.live.load(std::memory_order_acquire))
            unlink(t.path);
}

// The signals wait meanwhile, so no temporary file exists without its entry. A signal that
// another thread takes meanwhile is passed on to this one (see the handler), and so waits too.
int createTemp(const std::string &beside, std::string *name, int *slot)
{
    std::string tmpl = tempTemplate(beside);
    const sigset_t block = cleanupSignals();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &block, &old);
    const int fd = mkostemp(&tmpl[0], O_CLOEXEC);
    *slot = -1;
    if (fd >= 0) {
        *name = tmpl;
        for (int i = 0; i < static_cast<int>(sizeof temps / sizeof temps[0]) && tmpl.size() < PATH_MAX; ++i)
            if (!temps[i].live.load(std::memory_order_relaxed)) {
                // The path is whole before the handler may read it.
                std::memcpy(temps[i].path, tmpl.c_str(), tmpl.size() + 1);
                temps[i].live.store(true, std::memory_order_release);
                *slot = i;
                break;
            }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return fd;
}

void forgetTemp(int slot)
{
    if (slot >= 0)
        temps[slot].live.store(false, std::memory_order_release);
}
