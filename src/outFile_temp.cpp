// Temporary files beside the outputs they will replace, known to the cleanup signals.
#include "outFile_temp.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "outFile_signals.h"

namespace {

// The live temporary files, as the signal handler sees them: a fixed table, since the
// handler may neither allocate nor lock. A run holds one at a time.
struct TempSlot {
    char path[PATH_MAX];
    std::atomic<bool> live;
};
static_assert(std::atomic<bool>::is_always_lock_free, "the handler reads the flags");
TempSlot temps[4];

} // namespace

void removeLiveTemps()
{
    for (TempSlot &t : temps)
        if (t.live.load(std::memory_order_acquire))
            unlink(t.path);
}

// The signals wait meanwhile, so no temporary file exists without its entry.
int createTemp(const std::string &beside, std::string *name, int *slot)
{
    std::string tmpl = beside + ".fyrnol-tmp.XXXXXX";
    const sigset_t block = cleanupSignals();
    sigset_t old;
    sigprocmask(SIG_BLOCK, &block, &old);
    const int fd = mkostemp(&tmpl[0], O_CLOEXEC);
    *slot = -1;
    if (fd >= 0) {
        *name = tmpl;
        for (int i = 0; i < static_cast<int>(sizeof temps / sizeof temps[0]) && tmpl.size() < PATH_MAX; ++i)
            if (!temps[i].live.load(std::memory_order_relaxed)) {
                std::memcpy(temps[i].path, tmpl.c_str(), tmpl.size() + 1);
                temps[i].live.store(true, std::memory_order_release);
                *slot = i;
                break;
            }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return fd;
}

void forgetTemp(int slot)
{
    if (slot >= 0)
        temps[slot].live.store(false, std::memory_order_release);
}
