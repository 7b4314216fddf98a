#ifndef TARGETPROGRAM_H
#define TARGETPROGRAM_H

// How a test starts a program of this build.
//
// On a native build a program runs as it is. On a cross build the programs are
// the target's: they run through the emulator that the build names
// (CMAKE_CROSSCOMPILING_EMULATOR). A launcher that sets the system clock (a
// target build's, LAUNCHER_SET_SYSTEM_CLOCK) is started only inside new user,
// network and mount namespaces: clock_settime then fails with EPERM (the clock
// belongs to the initial user namespace) and the build machine's clock cannot
// move.

#include <QString>
#include <QStringList>

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

struct ProgramCommand {
    QString program;       // empty when the program must not be started here
    QStringList arguments;
    bool privateNetwork = false; // in a network namespace of its own
    QString whyNot;        // why program is empty

    std::vector<std::string> argv() const; // program first
};

// A program of this build (an absolute path) with its arguments: through the
// emulator on a cross build. For programs that never set the clock.
ProgramCommand programCommand(const QString &path, const QStringList &args = {});

// The launcher binary (through the emulator on a cross build). One that only
// logs clock changes: in a network namespace of its own where the suite may
// make one (root, unshare present), else as it is. One that sets the clock:
// inside new user, network and mount namespaces, and nowhere else (program
// empty, whyNot set, when they cannot be made).
ProgramCommand launcherCommand(const QString &path, const QStringList &args = {});

// True on a cross build whose programs run through an emulator.
bool emulated();

// Time limits that wait for a program of this build, multiplied by the build's
// factor for emulation (LAUNCHER_TEST_TIME_SCALE, 1 on a native build).
int timeScale();
std::chrono::milliseconds scaled(std::chrono::milliseconds limit);

// The MCU simulator: a desk tool that runs on the build machine, so on a cross
// build the native one (LAUNCHER_HOST_MCUSIM), else this build's.
QString mcusimProgram();

} // namespace testsupport

#endif // TARGETPROGRAM_H
