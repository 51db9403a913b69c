// Wall-clock timer on the monotonic clock.
#ifndef FYRNOL_WALLTIMER_H
#define FYRNOL_WALLTIMER_H

#include <time.h>

typedef struct timespec wallTimerTimestamp;

inline int wallTimerGetTime(wallTimerTimestamp *t) { return clock_gettime(CLOCK_MONOTONIC, t); }

inline double wallTimerElapsedTime(const wallTimerTimestamp &start, const wallTimerTimestamp &end)
{
    return static_cast<double>(end.tv_sec - start.tv_sec) +
           static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
}

class WallTimer {
public:
    int start() { return wallTimerGetTime(&m_start); }
    int stop() { return wallTimerGetTime(&m_end); }
    double getTime() const { return wallTimerElapsedTime(m_start, m_end); }

private:
    wallTimerTimestamp m_start;
    wallTimerTimestamp m_end;
};

#endif
