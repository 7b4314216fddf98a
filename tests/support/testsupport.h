#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

// Runs the Qt event loop until pred() holds or the deadline passes; returns pred().
// Never a fixed sleep: returns as soon as the condition is met.
bool waitFor(const std::function<bool()> &pred, std::chrono::milliseconds timeout = 10s);

// A name unique to this process and call, for sockets and files of one test.
std::string uniqueName(const char *stem);

// The logging rule that turns the stand-ins' call trace on: every test process
// and every launcher that LauncherProcess starts runs with it.
constexpr char kPlatformTraceRule[] = "platform.debug=true";

// Whether the stand-ins' call journal was on before main() turned it on for
// the tests (a process that never asks for it keeps none).
bool journalWasOnAtStart();

// A fresh empty folder under the system temporary folder, removed at exit.
QString scratchDir(const char *stem);

// Path of a built program of the project (e.g. "launcher/launcher").
QString builtProgram(const char *relativePath);

// Reads exactly n bytes from fd within the timeout; returns what arrived.
QByteArray readExactly(int fd, int n, std::chrono::milliseconds timeout = 5s);

// A 32-bit word as it travels on the MCU link (little-endian).
QByteArray le32(uint32_t v);
// A 16-byte short record as it travels: kind, msg, p1, p2.
QByteArray shortRecord(uint32_t msg, uint32_t p1, uint32_t p2, uint32_t kind = 1);

// Hex of bytes, "01 00 0c ...", for readable failures.
std::string hex(const QByteArray &bytes);
std::string hex(const void *data, int len);
std::string hex(const std::vector<unsigned char> &bytes);

} // namespace testsupport

#endif // TESTSUPPORT_H
