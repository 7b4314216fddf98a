#ifndef MCUSIM_FAULTMODE_H
#define MCUSIM_FAULTMODE_H

// mcusim --serve MODE: the simulator as a service that does one thing without
// a script and without a word per record: sits connected and silent, feeds
// the launcher a steady load, streams numbered records until it is killed,
// talks nonsense, refuses to be who it should be. The fault and soak tests
// start it as a process (and kill it); the whole-process benchmarks run it as
// the launcher's service. Counters go to a shared page (faultmodecounters.h)
// when --shm names one; standard output gets "listening" once and "accepted"
// for every connection.

#include <cstdint>

namespace mcusim {

// Message numbers the launcher's dispatcher hands on unchanged: the stream's
// records (p1 the sequence number, p2 the service's --round) and the garbage
// run's per-connection marker (p1 the connection's number).
constexpr uint32_t kStreamMsg = 60001;
constexpr uint32_t kMarkerMsg = 60002;

// True when the command line asks for a serve mode (--serve anywhere in it).
bool wantsServe(int argc, char **argv);
// Runs the serve mode the command line asks for; returns the exit code (see
// simulator.h). Most modes run until killed.
int runServe(int argc, char **argv);

} // namespace mcusim

#endif // MCUSIM_FAULTMODE_H
