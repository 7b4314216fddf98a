// libFuzzer target: the MCU stream framer alone, fed in chunks that the input
// chooses, checked against the framing rules at every step.

#include "fuzzentry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzzentry::framerOneInput(data, size);
}
