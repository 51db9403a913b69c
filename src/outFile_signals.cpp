// The process-wide signal policy of the output files.
#include "outFile_signals.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "outFile_temp.h"

namespace {

// SIGPIPE among them: standard output closed by its reader (fyrnol ... | head) ends the run
// as any writer, but not before the temporary file is gone.
const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// The thread that creates the temporary files, and the signals it keeps blocked for good (an
// inherited mask): set once, before the handler is installed.
pid_t ownerPid = 0;
pid_t ownerTid = 0;
sigset_t ownerBlocked;

// A signal that another thread takes (a library's worker, the CUDA runtime's helpers) is
// passed on to the owner, which writes the outputs. False where it is handled here: on the
// owner, for a signal the owner never takes, or when the owner is gone; the table of
// temporary files takes a handler on any thread.
bool passedToOwner(int sig)
{
    const pid_t pid = getpid();
    const pid_t owner = pid == ownerPid ? ownerTid : pid; // a forked child's one thread is its first
    if (syscall(SYS_gettid) == owner || sigismember(&ownerBlocked, sig) == 1)
        return false;
    return syscall(SYS_tgkill, pid, owner, sig) == 0;
}

extern "C" void removeTempsAndReraise(int sig)
{
    const int saved = errno;
    if (!passedToOwner(sig)) {
        removeLiveTemps();
        // The default action, raised again: it ends the process once the handler returns,
        // with the signal's own status.
        struct sigaction dfl = {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        sigaction(sig, &dfl, nullptr);
        raise(sig);
    }
    errno = saved;
}

bool hasDefaultAction(int sig)
{
    struct sigaction old;
    return sigaction(sig, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) && old.sa_handler == SIG_DFL;
}

} // namespace

sigset_t cleanupSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : CLEANUP_SIGNALS)
        sigaddset(&set, s);
    return set;
}

void guardOutputSignals()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    ownerPid = getpid();
    ownerTid = static_cast<pid_t>(syscall(SYS_gettid));
    pthread_sigmask(SIG_BLOCK, nullptr, &ownerBlocked);
    struct sigaction sa = {};
    sa.sa_handler = removeTempsAndReraise;
    sa.sa_mask = cleanupSignals();
    // A thread that passed the signal on goes on with what it was waiting for.
    sa.sa_flags = SA_RESTART;
    for (int s : CLEANUP_SIGNALS)
        if (hasDefaultAction(s))
            sigaction(s, &sa, nullptr);
    // A write past the file-size limit then fails (EFBIG) as on a full disk, and is cleaned
    // up as such, instead of ending the process with the file half-written.
    if (hasDefaultAction(SIGXFSZ))
        signal(SIGXFSZ, SIG_IGN);
}
