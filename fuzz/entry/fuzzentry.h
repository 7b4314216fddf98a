#ifndef FUZZENTRY_H
#define FUZZENTRY_H

// Entry points shared by the libFuzzer targets and by the test that replays
// their corpus and regression inputs. Each takes one arbitrary input and
// returns 0; a fault it detects (besides what the sanitizers catch) is printed
// to standard error and ends the process with abort(), as a fuzzer expects.

#include <cstddef>
#include <cstdint>

namespace fuzzentry {

// Feeds the input to McuFramer in chunks whose sizes the input's first bytes
// choose (see chunkplan.h), draining every complete record after each chunk as
// the receive loop does, and checks every step against an independent model of
// the framing rules: the same verdicts, the same record bytes, the same
// pending bytes, and a zero free part of the buffer.
int framerOneInput(const uint8_t *data, size_t size);

// Frames the input the same way and hands every record to the MCU link's
// dispatcher (MainAppProtocolComm::resolvePacket) with the stand-in components
// behind it. Each record is given in storage of exactly its size (16 or 268
// bytes), so a read beyond it is caught. The link is never started: whatever
// the handlers send fails at once. The system clock is a recorder throughout.
int dispatchOneInput(const uint8_t *data, size_t size);

// One-time set-up for dispatchOneInput(): a Qt application object if there is
// none, private settings and the clock recorder. Called by dispatchOneInput()
// itself on first use; fuzzers call it from LLVMFuzzerInitialize.
void initDispatch(int *argc, char ***argv);

// Drops Qt log records (the fuzzers run millions of inputs).
void quietQtLogs();

// How many times a handler tried to set the system clock, through the recorder.
unsigned long long recordedClockSets();

} // namespace fuzzentry

#endif // FUZZENTRY_H
