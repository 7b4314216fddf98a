// The launcher's own command-line options, answered before anything starts.
#pragma once

#include <cstdio>

namespace commandline {

// When the arguments ask for --help (or -h) or --version, writes the answer to
// `out` and returns the exit code: 0, or 1 when the answer could not be
// written. No application, display, log writer or component is needed for it.
// Otherwise returns -1, and every argument is left for QApplication.
int answerInformational(int argc, char **argv, std::FILE *out = stdout);

// The build's date and time as the compiler fixed them ("Aug 12 2021" and
// "15:55:40", the time of SOURCE_DATE_EPOCH in a reproducible build): the
// start banner and --version print the same.
const char *buildDate();
const char *buildTime();

// The version the packages carry, "1.0.0+git20240101.1530.0123abc".
const char *version();

} // namespace commandline
