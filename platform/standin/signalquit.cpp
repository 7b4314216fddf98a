#include "signalquit.h"

#include "trace.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <atomic>
#include <cerrno>

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

namespace {

// Touched by the signal handler: only lock-free atomics and the descriptor.
std::atomic<int> s_eventFd{-1};
std::atomic<int> s_pending{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

extern "C" void quitSignalHandler(int sig)
{
    const int savedErrno = errno;
    if (s_pending.exchange(1) != 0) {
        ::signal(sig, SIG_DFL);
        ::raise(sig);
        errno = savedErrno;
        return;
    }
    const uint64_t one = 1;
    const int fd = s_eventFd.load();
    if (fd >= 0) {
        ssize_t r;
        do {
            r = ::write(fd, &one, sizeof one);
        } while (r < 0 && errno == EINTR);
    }
    errno = savedErrno;
}

void setDisposition(void (*handler)(int))
{
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

// Lives as a child of the application: reads the eventfd and quits; gives the
// signals their default action back when the application goes.
class SignalQuitter : public QObject
{
public:
    explicit SignalQuitter(int fd, QObject *parent) : QObject(parent), m_notifier(fd, QSocketNotifier::Read, this)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, [fd] {
            uint64_t value = 0;
            ssize_t r;
            do {
                r = ::read(fd, &value, sizeof value);
            } while (r < 0 && errno == EINTR);
            s_pending.store(0);
            trace(QStringLiteral("SignalHandler::quit()"));
            QCoreApplication::quit();
        });
    }
    ~SignalQuitter() override
    {
        setDisposition(SIG_DFL);
        s_installed = false;
    }

    static inline bool s_installed = false;

private:
    QSocketNotifier m_notifier;
};

} // namespace

bool installQuitOnSignals()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        qCWarning(lcPlatform, "quit on SIGINT/SIGTERM not installed: needs the application's main thread");
        return false;
    }
    if (SignalQuitter::s_installed)
        return true;

    int fd = s_eventFd.load();
    if (fd < 0) {
        // Kept open for the life of the process: a late signal must never write
        // to a descriptor number that has been reused.
        fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd < 0) {
            qCWarning(lcPlatform, "quit on SIGINT/SIGTERM not installed: eventfd failed (errno %d)", errno);
            return false;
        }
        s_eventFd.store(fd);
    }
    new SignalQuitter(fd, app);
    SignalQuitter::s_installed = true;
    s_pending.store(0);
    setDisposition(quitSignalHandler);
    return true;
}

} // namespace platform
