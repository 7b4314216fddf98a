#include "launcherprocess.h"

#include "targetprogram.h"
#include "testsupport.h"

#include <QProcessEnvironment>

#include <cstdio>

#include <signal.h>
#include <unistd.h>

namespace testsupport {

namespace {
// Record start and field separators: control characters that no record contains.
const QChar kRecordStart(0x1e);
const QChar kField(0x1f);
const char kPattern[] = "\x1e%{category}\x1f%{file}\x1f%{line}\x1f%{function}\x1f%{message}";
} // namespace

LauncherProcess::LauncherProcess(const QString &configHome) : m_configHome(configHome) {}

LauncherProcess::~LauncherProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void LauncherProcess::addEnvironment(const QString &entry) { m_extraEnv << entry; }

bool LauncherProcess::start()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", m_configHome);
    env.insert("QT_MESSAGE_PATTERN", QString::fromLatin1(kPattern));
    env.insert("QT_LOGGING_RULES", QString::fromLatin1(kPlatformTraceRule));
    env.remove("DISPLAY");
    for (const QString &e : qAsConst(m_extraEnv)) {
        const int eq = e.indexOf('=');
        env.insert(e.left(eq), e.mid(eq + 1));
    }
    m_process.setProcessEnvironment(env);

    const ProgramCommand command = launcherCommand(builtProgram("launcher/launcher"));
    if (command.program.isEmpty()) {
        std::fprintf(stderr, "launcher not started: %s\n", qPrintable(command.whyNot));
        return false;
    }
    m_privateNetwork = command.privateNetwork;
    m_process.start(command.program, command.arguments);
    return m_process.waitForStarted(10000);
}

bool LauncherProcess::terminate(std::chrono::milliseconds timeout)
{
    timeout = scaled(timeout);
    if (m_process.state() == QProcess::NotRunning)
        return true;
    // unshare execs the launcher (or the emulator running it) in place, so the
    // signal reaches it directly.
    ::kill(pid_t(m_process.processId()), SIGTERM);
    return waitForExit(timeout);
}

bool LauncherProcess::waitForExit(std::chrono::milliseconds timeout)
{
    const bool done = m_process.state() == QProcess::NotRunning ||
                      m_process.waitForFinished(int(scaled(timeout).count()));
    drain();
    return done;
}

int LauncherProcess::exitCode() const { return m_process.exitCode(); }
QProcess::ExitStatus LauncherProcess::exitStatus() const { return m_process.exitStatus(); }

void LauncherProcess::drain()
{
    m_stdout += QString::fromUtf8(m_process.readAllStandardOutput());
    m_stderr += QString::fromUtf8(m_process.readAllStandardError());
}

QString LauncherProcess::standardOutput()
{
    drain();
    return m_stdout;
}

QString LauncherProcess::standardError()
{
    drain();
    return m_stderr;
}

QVector<LogRecord> LauncherProcess::records()
{
    drain();
    return parseRecords(m_stderr);
}

bool LauncherProcess::waitForRecord(const std::function<bool(const LogRecord &)> &pred,
                                    std::chrono::milliseconds timeout)
{
    return waitFor(
        [&] {
            m_process.waitForReadyRead(20);
            const QVector<LogRecord> all = records();
            for (const LogRecord &r : all)
                if (pred(r))
                    return true;
            return false;
        },
        scaled(timeout));
}

QVector<LogRecord> LauncherProcess::parseRecords(const QString &text)
{
    QVector<LogRecord> out;
    const QStringList chunks = text.split(kRecordStart);
    // The first chunk is whatever came before the first record (nothing, normally).
    for (int i = 1; i < chunks.size(); ++i) {
        QString chunk = chunks.at(i);
        // Each record ends with the line feed the logger appends.
        if (chunk.endsWith('\n'))
            chunk.chop(1);
        const QStringList f = chunk.split(kField);
        if (f.size() < 5)
            continue;
        LogRecord r;
        r.category = f.at(0);
        r.file = f.at(1);
        r.line = f.at(2).toInt();
        r.function = f.at(3);
        r.message = f.mid(4).join(kField);
        out.push_back(r);
    }
    return out;
}

} // namespace testsupport
