#ifndef LINKHARNESS_H
#define LINKHARNESS_H

// A started MCU link for the sender and dispatch tests: the link's socket is one
// end of a socketpair, the test holds the other end (the MCU service's side) and
// reads what the link sends byte for byte. The system clock is replaced by a
// recorder for as long as the harness runs.

#include "mainappprotocolcomm.h"
#include "systemclock.h"
#include "testsupport.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace linkharness {

class RecordingClock : public platform::SystemClock
{
public:
    struct Call {
        qint64 secs;
        Qt::HANDLE thread;
    };
    int setTime(qint64 secsSinceEpoch) override;
    std::vector<Call> calls() const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<Call> m_calls;
};

struct Harness {
    tamoappframework::MainAppProtocolComm *link = nullptr;
    int peer = -1;           // the service's end of the socket
    RecordingClock clock;

    // Thread that the link handed its last framed record from (its receive thread).
    Qt::HANDLE receiveThread() const;
    // Everything the link has sent and the peer not yet read (sends are
    // synchronous, so after a call on this thread this is exactly what it sent).
    QByteArray drain();
};

// Starts the link (GetInstance, connector, Start) and waits until it is connected.
Harness &start();
// Stops and deletes the link, restores the clock layer.
void stop();
Harness &harness();

// Byte-exact expected records.
using testsupport::shortRecord;
QByteArray longRecord(uint32_t kind, uint32_t id, std::initializer_list<int> payload);
QByteArray longRecord(uint32_t kind, uint32_t id, const QByteArray &payload);
// An incoming 268-byte record with the given header and payload bytes from byte 0.
QByteArray incomingRecord(uint32_t kind, uint32_t id, const QByteArray &payload,
                          uint32_t length = 268);

// What fn printed to C standard output.
std::string captureStdout(const std::function<void()> &fn);

// Qt log records written while an instance lives (from any thread).
class LogCapture
{
public:
    struct Record {
        QtMsgType type;
        QString category;
        QString function;
        QString file;
        QString text;
    };
    // `onRecord`, when given, runs inside the logging call, on the logging thread.
    explicit LogCapture(std::function<void(const Record &)> onRecord = {});
    ~LogCapture();
    QVector<Record> records() const;
    QStringList texts(const char *category = "default") const;

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &);
};

// Journal texts of calls made since seq, oldest first, that start with prefix.
struct Call {
    quint64 seq;
    Qt::HANDLE thread;
    bool mainThread;
    QString text;
};
QVector<Call> callsSince(quint64 seq, const QString &prefix = QString());
quint64 journalMark();

} // namespace linkharness

#endif // LINKHARNESS_H
