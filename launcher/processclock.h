#ifndef PROCESSCLOCK_H
#define PROCESSCLOCK_H

// Time since this process began, as the kernel counts it: from the fork that
// made it, so the exec, the dynamic loader and the static initialisers are in
// it. A start-up checkpoint is a reading of this clock.
//
// The kernel gives a process's start only in clock ticks (/proc/self/stat
// starttime on CLOCK_BOOTTIME: 10 ms at the usual 100 Hz). Within its tick
// the start is placed by what the main thread has spent so far running or
// waiting for a processor (its CPU clock and its run-queue delay from
// /proc/self/schedstat): until main() a process whose libraries are in the
// page cache never sleeps, so that sum is its age. Where the sum falls outside
// the tick (the process slept, or the kernel keeps no schedstat) the tick's
// middle is taken.
//
// Reads of the process's own files and clocks only: any thread, no allocation.
// The first call fixes the start and should come early, on the main thread
// (main's first line); later calls on any thread read CLOCK_BOOTTIME only.

namespace processclock {

// Milliseconds since the process began; -1 when the kernel does not say
// when that was.
double msSinceStart();

} // namespace processclock

#endif // PROCESSCLOCK_H
