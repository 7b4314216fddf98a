#include "soundserver.h"

#include "trace.h"

#include <QStringList>

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

QStringList candidates()
{
    const QString server = qEnvironmentVariable("PULSE_SERVER");
    if (!server.trimmed().isEmpty()) {
        QStringList out;
        for (QString entry : server.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            // "{machine-id}unix:/path": the prefix only limits where the entry counts.
            if (entry.startsWith(QLatin1Char('{')) && entry.contains(QLatin1Char('}')))
                entry = entry.mid(entry.indexOf(QLatin1Char('}')) + 1);
            if (entry.startsWith(QLatin1String("unix:")))
                entry = entry.mid(5);
            out << entry;
        }
        return out;
    }
    QString runtime = qEnvironmentVariable("PULSE_RUNTIME_PATH");
    if (runtime.isEmpty() && !qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        runtime = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/pulse");
    QStringList out;
    if (!runtime.isEmpty())
        out << runtime + QStringLiteral("/native");
    out << QStringLiteral("/run/pulse/native");
    return out;
}

bool accepts(const QString &path)
{
    const QByteArray name = path.toLocal8Bit();
    sockaddr_un addr{};
    if (name.isEmpty() || size_t(name.size()) >= sizeof addr.sun_path)
        return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name.constData(), size_t(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int rc;
    do
        rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    while (rc < 0 && errno == EINTR);
    ::close(fd);
    return rc == 0;
}

} // namespace

QString findSoundServer(QString *tried)
{
    const QStringList paths = candidates();
    if (tried)
        *tried = paths.join(QStringLiteral(", "));
    for (const QString &path : paths) {
        // Not a socket file: a server elsewhere on the network, left to the sound library.
        if (!path.startsWith(QLatin1Char('/')) || accepts(path))
            return path;
    }
    return QString();
}

bool soundServerReached()
{
    static const bool s_reached = [] {
        QString tried;
        const QString server = findSoundServer(&tried);
        if (server.isEmpty())
            qCInfo(lcPlatform).noquote() << "no sound server at" << tried << "- the key beep stays silent";
        else
            qCInfo(lcPlatform).noquote() << "sound server at" << server;
        return !server.isEmpty();
    }();
    return s_reached;
}

} // namespace platform
