// libFuzzer target: the framer and the MCU link's dispatcher with the stand-in
// components behind it; the system clock is a recorder.

#include "fuzzentry.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzentry::quietQtLogs();
    fuzzentry::initDispatch(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzzentry::dispatchOneInput(data, size);
}
