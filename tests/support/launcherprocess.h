#ifndef LAUNCHERPROCESS_H
#define LAUNCHERPROCESS_H

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVector>

#include <chrono>

#include <sys/types.h>

namespace testsupport {

// One debug record of a launcher process, as its message pattern wrote it.
struct LogRecord {
    QString category;
    QString file;
    int line = 0;
    QString function;
    QString message;
};

// The built launcher binary run as a process on the offscreen platform, with
// its settings in a scratch XDG_CONFIG_HOME and a message pattern that keeps
// every record's category, file, line and function. Where the test runs as root
// it is started in a private network namespace, so that its MCU link cannot
// reach (or be reached by) a service of another test; on a cross build through
// the emulator in namespaces where it cannot set the clock (targetprogram.h).
// Its time limits are scaled for emulation there.
class LauncherProcess
{
public:
    explicit LauncherProcess(const QString &configHome);
    ~LauncherProcess();

    // Extra environment entries ("NAME=value").
    void addEnvironment(const QString &entry);
    bool start();
    // SIGTERM, then wait for the exit. Returns false on time-out.
    bool terminate(std::chrono::milliseconds timeout = std::chrono::seconds(90));
    bool waitForExit(std::chrono::milliseconds timeout);

    int exitCode() const;
    QProcess::ExitStatus exitStatus() const;
    bool inPrivateNetwork() const { return m_privateNetwork; }
    // The launcher's process (unshare and the emulator exec it in place).
    pid_t pid() const { return pid_t(m_process.processId()); }

    // What the process has written so far (reads pending output first).
    QVector<LogRecord> records();
    QString standardOutput();
    QString standardError();

    // Waits until a record satisfies pred (true) or the time-out passes.
    bool waitForRecord(const std::function<bool(const LogRecord &)> &pred,
                       std::chrono::milliseconds timeout = std::chrono::seconds(90));

    // Splits raw standard-error text written with the pattern into records.
    static QVector<LogRecord> parseRecords(const QString &stderrText);

private:
    void drain();

    QProcess m_process;
    QString m_configHome;
    QStringList m_extraEnv;
    QString m_stdout;
    QString m_stderr;
    bool m_privateNetwork = false;
};

} // namespace testsupport

#endif // LAUNCHERPROCESS_H
