#include "targetprogram.h"

#include <QProcess>
#include <QStandardPaths>

#include <unistd.h>

#if LAUNCHER_TEST_UNDER_EMULATOR
#include <cerrno>
#include <cstdarg>

#include <dlfcn.h>
#include <sys/syscall.h>

// qemu-user refuses clone(CLONE_PIDFD) with EINVAL, yet passes waitid(P_PIDFD)
// through to the build machine's kernel, which knows it. Qt's QProcess probes
// the latter, takes process descriptors for supported and then cannot start any
// program. So a test program run by the emulator answers that probe as a kernel
// without process descriptors would; Qt then forks as it does there. (The
// executable's definition wins over the C library's for the Qt libraries too.)
extern "C" long syscall(long number, ...) noexcept
{
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long &x : a)
        x = va_arg(ap, long);
    va_end(ap);
    const long pidfdIdType = 3; // P_PIDFD
    if (number == SYS_waitid && a[0] == pidfdIdType) {
        errno = ENOSYS;
        return -1;
    }
    using Real = long (*)(long, ...);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "syscall"));
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
#endif

namespace testsupport {

namespace {

// The emulator and its arguments, '|'-separated; empty on a native build.
QStringList emulatorCommand()
{
    return QString::fromUtf8(LAUNCHER_TEST_EMULATOR).split('|', Qt::SkipEmptyParts);
}

bool unshareWorks(const QStringList &flags)
{
    if (::geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty())
        return false;
    QProcess probe;
    probe.start("unshare", flags + QStringList{"true"});
    return probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit &&
           probe.exitCode() == 0;
}

// New user (root mapped to root), network and mount namespaces.
const QStringList kClockSafeNamespaces{"-U", "-r", "-n", "-m"};

} // namespace

std::vector<std::string> ProgramCommand::argv() const
{
    std::vector<std::string> out{program.toStdString()};
    for (const QString &a : arguments)
        out.push_back(a.toStdString());
    return out;
}

bool emulated() { return !emulatorCommand().isEmpty(); }

int timeScale() { return LAUNCHER_TEST_TIME_SCALE; }

std::chrono::milliseconds scaled(std::chrono::milliseconds limit) { return limit * timeScale(); }

QString mcusimProgram() { return QStringLiteral(LAUNCHER_MCUSIM_PROGRAM); }

ProgramCommand programCommand(const QString &path, const QStringList &args)
{
    ProgramCommand c;
    QStringList emulator = emulatorCommand();
    if (emulator.isEmpty()) {
        c.program = path;
        c.arguments = args;
    } else {
        c.program = emulator.takeFirst();
        c.arguments = emulator + QStringList{path} + args;
    }
    return c;
}

ProgramCommand launcherCommand(const QString &path, const QStringList &args)
{
    ProgramCommand c = programCommand(path, args);
    if (LAUNCHER_TEST_SETS_CLOCK) {
        static const bool clockSafe = unshareWorks(kClockSafeNamespaces);
        if (!clockSafe) {
            c.whyNot = "this build's launcher sets the system clock, and new user, network and "
                       "mount namespaces cannot be made here (unshare -U -r -n -m)";
            c.program.clear();
            c.arguments.clear();
            return c;
        }
        c.arguments = kClockSafeNamespaces + QStringList{"--", c.program} + c.arguments;
        c.program = "unshare";
        c.privateNetwork = true;
        return c;
    }
    static const bool privateNetwork = unshareWorks({"-n"});
    if (privateNetwork) {
        c.arguments = QStringList{"-n", "--", c.program} + c.arguments;
        c.program = "unshare";
        c.privateNetwork = true;
    }
    return c;
}

} // namespace testsupport
