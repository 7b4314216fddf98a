#include "testsupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <memory>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace testsupport {

bool waitFor(const std::function<bool()> &pred, std::chrono::milliseconds timeout)
{
    QDeadlineTimer deadline(timeout.count());
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(500);
    }
    return true;
}

std::string uniqueName(const char *stem)
{
    static std::atomic<int> counter{0};
    return std::string(stem) + "_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
}

QString scratchDir(const char *stem)
{
    static std::vector<std::unique_ptr<QTemporaryDir>> dirs;
    dirs.push_back(std::make_unique<QTemporaryDir>(QDir::tempPath() + "/" + stem + "-XXXXXX"));
    return dirs.back()->path();
}

QString builtProgram(const char *relativePath)
{
    return QStringLiteral(LAUNCHER_BINARY_DIR "/") + QString::fromUtf8(relativePath);
}

QByteArray readExactly(int fd, int n, std::chrono::milliseconds timeout)
{
    QByteArray out;
    QDeadlineTimer deadline(timeout.count());
    char buf[4096];
    while (out.size() < n) {
        int left = int(deadline.remainingTime());
        if (left == 0)
            break;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, left < 0 ? 1000 : left);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        ssize_t got = ::read(fd, buf, std::min<size_t>(sizeof buf, size_t(n - out.size())));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        out.append(buf, int(got));
    }
    return out;
}

std::string hex(const void *data, int len)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    auto p = static_cast<const unsigned char *>(data);
    for (int i = 0; i < len; ++i) {
        if (i)
            s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string hex(const QByteArray &bytes) { return hex(bytes.constData(), bytes.size()); }
std::string hex(const std::vector<unsigned char> &bytes) { return hex(bytes.data(), int(bytes.size())); }

QByteArray le32(uint32_t v)
{
    const char b[4] = {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char(v >> 24)};
    return QByteArray(b, 4);
}

QByteArray shortRecord(uint32_t msg, uint32_t p1, uint32_t p2, uint32_t kind)
{
    return le32(kind) + le32(msg) + le32(p1) + le32(p2);
}

} // namespace testsupport
