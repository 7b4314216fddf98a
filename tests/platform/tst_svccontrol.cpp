// The service controller: asynchronous stages and stop signal from its worker
// thread, delivered queued on the main thread; synchronous calls emit nothing.

#include "appdata.h"
#include "journal.h"
#include "svccontrol.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>

#include <memory>
#include <mutex>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Receives the controller's signals through connections made by signature
// string with the automatic type, as the staging object does.
class Receiver : public QObject
{
    Q_OBJECT
public:
    QVector<int> stages;
    int finishedCount = 0;
    QVector<QThread *> threads;

public slots:
    void onStageReady(SvcControl::ExeStage stage)
    {
        stages.append(int(stage));
        threads.append(QThread::currentThread());
    }
    void onFinished()
    {
        ++finishedCount;
        threads.append(QThread::currentThread());
    }
};

bool journalHasSince(quint64 mark, const QString &text, bool *onMainThread = nullptr)
{
    for (const platform::JournalEntry &e : platform::Journal::instance().since(mark))
        if (e.text == text) {
            if (onMainThread)
                *onMainThread = e.mainThread;
            return true;
        }
    return false;
}

// A sound server's socket that takes connections (and nothing more).
int listenAt(const QByteArray &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    qstrncpy(addr.sun_path, path.constData(), sizeof addr.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0)
        return -1;
    return fd;
}

} // namespace

TEST(SvcControl, StagedStartSignalsComeFromTheWorkerAndRunOnTheMainThread)
{
    // The audio side is ready once the sound server answers, asked once per process.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray socketPath = QFile::encodeName(dir.path() + QStringLiteral("/native"));
    const int server = listenAt(socketPath);
    ASSERT_GE(server, 0);
    qputenv("PULSE_SERVER", "unix:" + socketPath + ".absent {any}unix:" + socketPath);
    AppData::GetInstance()->setAudioInitOK(false);
    QObject parent;
    auto *svc = new SvcControl(&parent);
    Receiver receiver;
    ASSERT_TRUE(QObject::connect(svc, SIGNAL(stageReady(SvcControl::ExeStage)), &receiver,
                                 SLOT(onStageReady(SvcControl::ExeStage))));
    ASSERT_TRUE(QObject::connect(svc, SIGNAL(finished()), &receiver, SLOT(onFinished())));

    // Where the controller emits from: a direct connection runs on the emitting thread.
    std::mutex emittersMutex;
    QVector<QThread *> emitters;
    auto recordEmitter = [&] {
        std::lock_guard<std::mutex> lock(emittersMutex);
        emitters.append(QThread::currentThread());
    };
    QObject::connect(svc, &SvcControl::stageReady, svc, recordEmitter, Qt::DirectConnection);
    QObject::connect(svc, &SvcControl::finished, svc, recordEmitter, Qt::DirectConnection);

    const quint64 mark = platform::Journal::instance().lastSeq();
    svc->exeStage(SvcControl::DirectStage, false);
    // Nothing is delivered before the main thread's loop runs again.
    EXPECT_TRUE(receiver.stages.isEmpty());
    ASSERT_TRUE(testsupport::waitFor([&] { return receiver.stages.size() == 1; }));
    EXPECT_TRUE(AppData::GetInstance()->AudioInitOK());
    ::close(server);

    svc->exeStage(SvcControl::NormalStage, false);
    ASSERT_TRUE(testsupport::waitFor([&] { return receiver.stages.size() == 2; }));
    svc->stop(false);
    ASSERT_TRUE(testsupport::waitFor([&] { return receiver.finishedCount == 1; }));

    EXPECT_EQ(receiver.stages, (QVector<int>{0, 1}));
    for (QThread *t : receiver.threads)
        EXPECT_EQ(t, QCoreApplication::instance()->thread());
    std::lock_guard<std::mutex> lock(emittersMutex);
    ASSERT_EQ(emitters.size(), 3);
    for (QThread *t : emitters) {
        EXPECT_NE(t, QCoreApplication::instance()->thread());
        EXPECT_EQ(t, emitters.front()); // one worker for the controller's life
    }
    bool main = true;
    EXPECT_TRUE(journalHasSince(mark, "SvcControl::worker.startService(\"audio\")", &main));
    EXPECT_FALSE(main);
    EXPECT_TRUE(journalHasSince(mark, "SvcControl::worker.startService(\"navigation\")"));
}

TEST(SvcControl, SynchronousCallsHaveRunOnReturnAndEmitNothing)
{
    SvcControl svc;
    // Counted on the main thread (QSignalSpy would count on the emitting thread).
    QObject receiver;
    QVector<int> ready;
    int finished = 0;
    QObject::connect(&svc, &SvcControl::stageReady, &receiver, [&](SvcControl::ExeStage s) { ready.append(int(s)); });
    QObject::connect(&svc, &SvcControl::finished, &receiver, [&] { ++finished; });

    const quint64 mark = platform::Journal::instance().lastSeq();
    svc.exeStage(SvcControl::DirectStage, true);
    EXPECT_TRUE(journalHasSince(mark, "SvcControl::worker.startService(\"media\")"));
    svc.exeStage(SvcControl::NormalStage, true);
    EXPECT_TRUE(journalHasSince(mark, "SvcControl::worker.startService(\"update\")"));
    svc.stop(true);
    EXPECT_TRUE(journalHasSince(mark, "SvcControl::worker.finish()"));

    // A queued asynchronous call after them proves every earlier one has been delivered.
    svc.exeStage(SvcControl::ExeStage(7), false);
    ASSERT_TRUE(testsupport::waitFor([&] { return !ready.isEmpty(); }));
    EXPECT_EQ(ready, QVector<int>{7});
    EXPECT_EQ(finished, 0);
}

TEST(SvcControl, DestroyedWithWorkPendingEndsItsWorkerFirst)
{
    const quint64 mark = platform::Journal::instance().lastSeq();
    int delivered = 0;
    QObject receiver;
    for (int round = 0; round < 20; ++round) {
        auto svc = std::make_unique<SvcControl>();
        QObject::connect(svc.get(), &SvcControl::stageReady, &receiver, [&delivered] { ++delivered; });
        QObject::connect(svc.get(), &SvcControl::finished, &receiver, [&delivered] { ++delivered; });
        svc->exeStage(SvcControl::DirectStage, false);
        svc->exeStage(SvcControl::NormalStage, false);
        svc->stop(false);
        svc.reset();
    }
    QCoreApplication::sendPostedEvents();
    EXPECT_LE(delivered, 20 * 3);

    // The destructor returns only once its worker has ended: no worker entry
    // follows a controller's destruction before the next controller exists.
    bool destroyed = false;
    int destructions = 0;
    for (const platform::JournalEntry &e : platform::Journal::instance().since(mark)) {
        if (e.text.startsWith("SvcControl::SvcControl(")) {
            destroyed = false;
        } else if (e.text == "SvcControl::~SvcControl()") {
            destroyed = true;
            ++destructions;
        } else if (e.text.startsWith("SvcControl::worker.")) {
            EXPECT_FALSE(destroyed) << "worker ran after its controller was destroyed";
        }
    }
    EXPECT_EQ(destructions, 20);

    SvcControl never; // a controller that never ran a job has no thread to stop
}

#include "tst_svccontrol.moc"
