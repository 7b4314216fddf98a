#include "quitsignals.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// Touched by the handler: lock-free atomics and a descriptor that is never closed.
std::atomic<int> s_eventFd{-1};
std::atomic<bool> s_quitAsked{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

// Async-signal-safe: one write of a fixed line, only if it cannot block (a
// stalled reader of standard error may be what holds the teardown up).
void writeLine(const char *text)
{
    pollfd p{STDERR_FILENO, POLLOUT, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT)) {
        const ssize_t unused = ::write(STDERR_FILENO, text, std::strlen(text));
        (void)unused;
    }
}

extern "C" void quitSignalHandler(int sig)
{
    if (s_quitAsked.exchange(true)) {
        writeLine(sig == SIGINT ? "launcher: second SIGINT while ending: exiting now\n"
                                : "launcher: second SIGTERM while ending: exiting now\n");
        ::_exit(128 + sig);
    }
    const int savedErrno = errno;
    const uint64_t one = 1;
    ssize_t r;
    do {
        r = ::write(s_eventFd.load(), &one, sizeof one);
    } while (r < 0 && errno == EINTR);
    errno = savedErrno;
}

} // namespace

bool installQuitSignals()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        qWarning("quit on SIGTERM/SIGINT not installed: needs the application's main thread");
        return false;
    }
    if (s_eventFd.load() >= 0)
        return true;
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        qWarning("quit on SIGTERM/SIGINT not installed: eventfd failed: %s", std::strerror(errno));
        return false;
    }
    s_eventFd.store(fd);

    // A child of the application: it goes with it, the descriptor stays.
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [fd, notifier] {
        uint64_t value = 0;
        ssize_t r;
        do {
            r = ::read(fd, &value, sizeof value);
        } while (r < 0 && errno == EINTR);
        notifier->setEnabled(false);
        QCoreApplication::quit();
    });

    struct sigaction sa {};
    sa.sa_handler = quitSignalHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    return true;
}
