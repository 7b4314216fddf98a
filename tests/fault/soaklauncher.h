#ifndef SOAKLAUNCHER_H
#define SOAKLAUNCHER_H

// The built launcher run as a process for soak tests: on the offscreen platform
// with scratch settings, in a network namespace of its own where the suite may
// make one (so that its fixed service name meets only this test's service),
// with what it prints kept and its descriptors and memory readable. On a cross
// build it runs through the emulator in namespaces where it cannot set the
// clock (targetprogram.h), and its time limits are scaled for emulation.

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <chrono>
#include <string>

namespace soak {

class Launcher
{
public:
    Launcher();
    ~Launcher(); // kills a launcher that still runs

    // Standard error goes to this file (a FIFO, say) instead of being kept.
    void setStandardErrorFile(const QString &path) { m_process.setStandardErrorFile(path); }
    // Starts it and waits for the link's first connection attempt.
    bool start(std::chrono::milliseconds timeout);
    bool running() const;
    // SIGTERM and wait for the exit; true when it ended by itself with code 0.
    bool terminate(std::chrono::milliseconds timeout);

    qint64 pid() const;
    // The launcher's network namespace for a service to enter ("" when it shares ours).
    std::string netnsPath() const;

    // Everything printed so far (reads what is pending first).
    const QByteArray &standardOutput();
    const QByteArray &standardError();

    long rssKiB() const;        // VmRSS, -1 when unreadable
    int descriptorCount() const; // entries of /proc/<pid>/fd, -1 when unreadable

private:
    void drain();

    QProcess m_process;
    QByteArray m_stdout;
    QByteArray m_stderr;
    QString m_home;
    bool m_privateNetwork = false;
};

} // namespace soak

#endif // SOAKLAUNCHER_H
