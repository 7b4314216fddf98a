// Entry of the in-process benchmarks of the MCU link and the beep filter.
//
// The dispatcher prints one line to C standard output for every short record;
// that output goes to /dev/null for the run, as a quiet unit's would, while the
// benchmark's own report is written to the original standard output.

#include "linkrig.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>
#include <ext/stdio_filebuf.h>

#include <cstdio>
#include <iostream>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    const int report = ::dup(STDOUT_FILENO);
    const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (report < 0 || devnull < 0) {
        std::perror("bench_mculink: cannot redirect standard output");
        return 2;
    }
    std::fflush(stdout);
    ::dup2(devnull, STDOUT_FILENO);
    ::close(devnull);

    __gnu_cxx::stdio_filebuf<char> reportBuf(report, std::ios::out);
    std::streambuf *const original = std::cout.rdbuf(&reportBuf);

    QCoreApplication app(argc, argv);
    bench::quietStandIns();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::cout.flush();
    std::cout.rdbuf(original); // the report buffer ends with this scope
    return 0;
}
