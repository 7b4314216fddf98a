#include "linkharness.h"

#include "processlog.h"

#include "journal.h"
#include "testsupport.h"

#include <QLoggingCategory>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace linkharness {

int RecordingClock::setTime(qint64 secsSinceEpoch)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back({secsSinceEpoch, QThread::currentThreadId()});
    return 0;
}

std::vector<RecordingClock::Call> RecordingClock::calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void RecordingClock::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

namespace {

std::unique_ptr<Harness> s_harness;
std::atomic<Qt::HANDLE> s_receiveThread{nullptr};

void tap(void *, const unsigned char *, int)
{
    s_receiveThread.store(QThread::currentThreadId());
}

} // namespace

Qt::HANDLE Harness::receiveThread() const { return s_receiveThread.load(); }

QByteArray Harness::drain()
{
    QByteArray out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(peer, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buf, int(n));
    }
    return out;
}

Harness &start()
{
    if (s_harness)
        return *s_harness;
    s_harness = std::make_unique<Harness>();
    Harness &h = *s_harness;

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        std::abort();
    h.peer = ends[0];
    const int linkEnd = ends[1];

    platform::setSystemClock(&h.clock);
    platform::Journal::instance().setEnabled(true);

    h.link = tamoappframework::MainAppProtocolComm::GetInstance();
    auto handedOut = std::make_shared<std::atomic<bool>>(false);
    h.link->transport().setConnector([linkEnd, handedOut]() { return handedOut->exchange(true) ? -1 : linkEnd; });
    h.link->transport().setRecordTap(&tap, nullptr);
    h.link->Start();
    if (!testsupport::waitFor([&] { return h.link->transport().isConnected(); }))
        std::fprintf(stderr, "linkharness: the link did not connect\n");
    return h;
}

void stop()
{
    if (!s_harness)
        return;
    tamoappframework::MainAppProtocolComm::DeleteInstance();
    ::close(s_harness->peer);
    platform::setSystemClock(nullptr);
    s_harness.reset();
}

Harness &harness() { return *s_harness; }

QByteArray longRecord(uint32_t kind, uint32_t id, const QByteArray &payload)
{
    QByteArray out(264, '\0');
    auto *p = reinterpret_cast<unsigned char *>(out.data());
    mcu::storeLe32(p, kind);
    mcu::storeLe32(p + 4, id);
    std::memcpy(p + 8, payload.constData(), size_t(qMin(payload.size(), 256)));
    return out;
}

QByteArray longRecord(uint32_t kind, uint32_t id, std::initializer_list<int> payload)
{
    QByteArray bytes;
    for (int b : payload)
        bytes.append(char(b));
    return longRecord(kind, id, bytes);
}

QByteArray incomingRecord(uint32_t kind, uint32_t id, const QByteArray &payload, uint32_t length)
{
    QByteArray out(268, '\0');
    auto *p = reinterpret_cast<unsigned char *>(out.data());
    mcu::storeLe32(p, kind);
    mcu::storeLe32(p + 4, id);
    mcu::storeLe32(p + 8, length);
    std::memcpy(p + 12, payload.constData(), size_t(qMin(payload.size(), 256)));
    return out;
}

std::string captureStdout(const std::function<void()> &fn)
{
    std::fflush(stdout);
    processlog::flush(10000); // earlier lines are not this call's
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        std::abort();
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::close(pipeFds[1]);
    fn();
    std::fflush(stdout);
    processlog::flush(10000);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);

    std::string out;
    char buf[1024];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            out.append(buf, size_t(n));
    }
    ::close(pipeFds[0]);
    return out;
}

namespace {
std::mutex s_logMutex;
QVector<LogCapture::Record> s_records;
std::function<void(const LogCapture::Record &)> s_onRecord;
QtMessageHandler s_previous = nullptr;
} // namespace

LogCapture::LogCapture(std::function<void(const Record &)> onRecord)
{
    std::lock_guard<std::mutex> lock(s_logMutex);
    s_records.clear();
    s_onRecord = std::move(onRecord);
    s_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(s_previous);
    std::lock_guard<std::mutex> lock(s_logMutex);
    s_onRecord = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    Record r{type, QString::fromLatin1(context.category ? context.category : ""),
             QString::fromLatin1(context.function ? context.function : ""),
             QString::fromLatin1(context.file ? context.file : ""), text};
    std::lock_guard<std::mutex> lock(s_logMutex);
    if (s_onRecord)
        s_onRecord(r);
    s_records.append(r);
}

QVector<LogCapture::Record> LogCapture::records() const
{
    std::lock_guard<std::mutex> lock(s_logMutex);
    return s_records;
}

QStringList LogCapture::texts(const char *category) const
{
    QStringList out;
    for (const Record &r : records()) {
        if (r.category == QLatin1String(category))
            out << r.text;
    }
    return out;
}

QVector<Call> callsSince(quint64 seq, const QString &prefix)
{
    QVector<Call> out;
    for (const platform::JournalEntry &e : platform::Journal::instance().since(seq)) {
        if (e.text.startsWith(prefix))
            out.append({e.seq, e.thread, e.mainThread, e.text});
    }
    return out;
}

quint64 journalMark() { return platform::Journal::instance().lastSeq(); }

} // namespace linkharness
