#include "soaklauncher.h"

#include "targetprogram.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>

#include <csignal>
#include <cstdio>

namespace soak {

Launcher::Launcher() : m_home(testsupport::scratchDir("launcher-soak")) {}

Launcher::~Launcher()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

bool Launcher::start(std::chrono::milliseconds timeout)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", m_home + "/config");
    env.insert("XDG_RUNTIME_DIR", m_home + "/runtime");
    env.remove("DISPLAY");
#if defined(__SANITIZE_ADDRESS__)
    // Freed memory waits in AddressSanitizer's quarantine (256 MiB by default)
    // before it is reused; a small one lets the launcher's memory settle
    // within a soak run, so that growth means a leak.
    const QString asan = env.value("ASAN_OPTIONS");
    env.insert("ASAN_OPTIONS", (asan.isEmpty() ? QString() : asan + ":") + "quarantine_size_mb=8");
#endif
    QDir().mkpath(m_home + "/config");
    QDir().mkpath(m_home + "/runtime");
    QFile::setPermissions(m_home + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner);
    m_process.setProcessEnvironment(env);

    const testsupport::ProgramCommand command =
        testsupport::launcherCommand(testsupport::builtProgram("launcher/launcher"));
    if (command.program.isEmpty()) {
        std::fprintf(stderr, "launcher not started: %s\n", qPrintable(command.whyNot));
        return false;
    }
    m_privateNetwork = command.privateNetwork;
    m_process.start(command.program, command.arguments);
    if (!m_process.waitForStarted(10000))
        return false;
    // Printed by the link's thread once it has tried the service: by then the
    // process is the launcher, in its own namespace.
    return testsupport::waitFor(
        [this] {
            return standardOutput().contains("MainAppProtocolComm cannot connect to the MCU service") ||
                   !running();
        },
        testsupport::scaled(timeout)) &&
           running();
}

bool Launcher::running() const { return m_process.state() == QProcess::Running; }

bool Launcher::terminate(std::chrono::milliseconds timeout)
{
    if (!running())
        return false;
    ::kill(pid_t(m_process.processId()), SIGTERM);
    const bool ended = m_process.waitForFinished(int(testsupport::scaled(timeout).count()));
    drain();
    return ended && m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

qint64 Launcher::pid() const { return m_process.processId(); }

std::string Launcher::netnsPath() const
{
    return m_privateNetwork ? "/proc/" + std::to_string(pid()) + "/ns/net" : std::string();
}

void Launcher::drain()
{
    m_stdout += m_process.readAllStandardOutput();
    m_stderr += m_process.readAllStandardError();
}

const QByteArray &Launcher::standardOutput()
{
    drain();
    return m_stdout;
}

const QByteArray &Launcher::standardError()
{
    drain();
    return m_stderr;
}

long Launcher::rssKiB() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

int Launcher::descriptorCount() const
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid()));
    if (!fds.exists())
        return -1;
    return int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

} // namespace soak
