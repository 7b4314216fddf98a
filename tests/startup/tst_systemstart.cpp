// Staged service start-up against the stand-in components: what the staging
// calls, in which order and on which thread, when it starts, and when it goes.

#include "systemstart.h"

#include "firstframemonitor.h"
#include "journal.h"
#include "module.h"
#include "modulemanager.h"
#include "svccontrol.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMetaMethod>
#include <QPointer>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <QApplication>
#include <QWidget>

#include <memory>
#include <mutex>

using tamoappframework::Module;
using tamoappframework::ModuleManager;
using namespace testsupport;

namespace {

// The object behind the test's "info" module: notes how and when it was told
// that all services are ready.
class InfoObject : public QObject
{
    Q_OBJECT
public:
    int calls = 0;
    QThread *thread = nullptr;
    bool stagingTimerWasRunning = false;
    QElapsedTimer since;
    QPointer<SystemStartup> staging;

public slots:
    void allServiceReady()
    {
        ++calls;
        thread = QThread::currentThread();
        since.start();
        if (staging) {
            QTimer *timer = staging->findChild<QTimer *>();
            stagingTimerWasRunning = timer && timer->isActive();
        }
    }
};

class InfoModule : public Module
{
public:
    InfoModule() : Module(QStringLiteral("info")) {}
    QObject *moduleObject() override { return &object; }
    InfoObject object;
};

// Calls into the components after mark, as journal entries.
QVector<platform::JournalEntry> callsSince(quint64 mark)
{
    return platform::Journal::instance().since(mark);
}

// Index of the first call at or after from that starts with text, or -1.
int find(const QVector<platform::JournalEntry> &calls, const QString &text, int from = 0)
{
    for (int i = std::max(from, 0); i < calls.size(); ++i) {
        if (calls.at(i).text.startsWith(text))
            return i;
    }
    return -1;
}

int countOf(const QVector<platform::JournalEntry> &calls, const QString &prefix)
{
    int n = 0;
    for (const platform::JournalEntry &e : calls)
        n += e.text.startsWith(prefix) ? 1 : 0;
    return n;
}

std::string dump(const QVector<platform::JournalEntry> &calls)
{
    std::string out;
    for (const platform::JournalEntry &e : calls)
        out += "  " + e.text.toStdString() + (e.mainThread ? "" : "  [other thread]") + "\n";
    return out;
}

// Whether a top-level window of this process has reached the screen; the
// monitor reports every later preCheck() at once.
bool g_frameShown = false;

// Holds back every paint of the application while it is installed, so that no
// first frame reaches the screen (the stand-in framework shows its home screen
// from the event loop's first turn after the module manager exists).
class FrameBlocker : public QObject
{
public:
    FrameBlocker() { qApp->installEventFilter(this); }
    ~FrameBlocker() override { qApp->removeEventFilter(this); }

    // Lets paints through again and repaints every visible window at once
    // (an update request it swallowed leaves a window waiting for one that
    // never comes: update() would post none).
    void release()
    {
        qApp->removeEventFilter(this);
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->isVisible())
                w->repaint();
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        return event->type() == QEvent::Paint || event->type() == QEvent::UpdateRequest;
    }
};

class SystemStartupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qRegisterMetaType<SvcControl::ExeStage>("SvcControl::ExeStage");
        m_mark = platform::Journal::instance().lastSeq();
    }

    void TearDown() override
    {
        if (m_restoreInfo && m_originalInfo)
            ModuleManager::self()->registerModule(m_originalInfo);
    }

    // Puts the test's own "info" module in the registry for this case.
    QSharedPointer<InfoModule> useTestInfoModule()
    {
        m_originalInfo = ModuleManager::self()->findModule(QStringLiteral("info"));
        m_restoreInfo = true;
        QSharedPointer<InfoModule> module(new InfoModule);
        ModuleManager::self()->registerModule(module);
        return module;
    }

    // Shows a window and waits until the first frame has been flushed.
    void showFirstFrame()
    {
        if (!m_window) {
            m_window = std::make_unique<QWidget>();
            m_window->resize(64, 48);
        }
        m_window->show();
        g_frameShown = true;
    }

    quint64 m_mark = 0;
    std::unique_ptr<QWidget> m_window;
    QSharedPointer<Module> m_originalInfo;
    bool m_restoreInfo = false;
};

const QStringList kStagedOrder = {
    "SvcControl::exeStage(0, false)",
    "ModuleManager::setServiceStage(1)",
    "ModuleManager::serviceStageChanged(true)",
    "SvcControl::exeStage(1, false)",
    "ModuleManager::setServiceStage(2)",
    "ModuleManager::serviceStageChanged(true)",
    "SvcControl::stop(false)",
};

TEST(SystemStartupMeta, ThreePrivateSlotsAndNothingElse)
{
    const QMetaObject &mo = SystemStartup::staticMetaObject;
    EXPECT_STREQ(mo.className(), "SystemStartup");
    EXPECT_EQ(mo.superClass(), &QObject::staticMetaObject);
    ASSERT_EQ(mo.methodCount() - mo.methodOffset(), 3);
    const char *expected[] = {"_startupSvcThread()", "_exeSvcFinished()",
                              "_stageReady(SvcControl::ExeStage)"};
    for (int i = 0; i < 3; ++i) {
        const QMetaMethod m = mo.method(mo.methodOffset() + i);
        EXPECT_EQ(m.methodSignature(), QByteArray(expected[i])) << i;
        EXPECT_EQ(m.methodType(), QMetaMethod::Slot) << i;
        EXPECT_EQ(m.access(), QMetaMethod::Private) << i;
        EXPECT_EQ(m.returnType(), int(QMetaType::Void)) << i;
    }
    EXPECT_EQ(mo.propertyCount() - mo.propertyOffset(), 0);
    EXPECT_EQ(mo.enumeratorCount() - mo.enumeratorOffset(), 0);
}

TEST_F(SystemStartupTest, NothingStartsUntilTheFirstFrameIsFlushed)
{
    if (g_frameShown || find(platform::Journal::instance().entries(), "FirstFrameMonitor::firstFrameFlushed") >= 0)
        GTEST_SKIP() << "a frame was already flushed in this process";
    FrameBlocker blocker;
    QPointer<SystemStartup> staging = new SystemStartup(nullptr);
    staging->bgStart();
    showFirstFrame();

    // However long the event loop runs without a frame, no stage starts.
    EXPECT_FALSE(waitFor([&] { return countOf(callsSince(m_mark), "SvcControl::exeStage") > 0; },
                         std::chrono::milliseconds(700)));
    EXPECT_EQ(countOf(callsSince(m_mark), "FirstFrameMonitor::procFlushDone"), 0);

    blocker.release();
    ASSERT_TRUE(waitFor([&] { return countOf(callsSince(m_mark), "SvcControl::exeStage") > 0; }))
        << dump(callsSince(m_mark));
    const QVector<platform::JournalEntry> calls = callsSince(m_mark);
    EXPECT_LT(find(calls, "FirstFrameMonitor::procFlushDone"), find(calls, "SvcControl::exeStage(0, false)"))
        << dump(calls);
    delete staging;
}

TEST_F(SystemStartupTest, StagedLifecycleInOrderOnTheMainThreadThenSelfDeletion)
{
    QSharedPointer<InfoModule> info = useTestInfoModule();

    QPointer<SystemStartup> staging = new SystemStartup(nullptr);
    info->object.staging = staging;
    SvcControl *controller = staging->findChild<SvcControl *>();
    ASSERT_NE(controller, nullptr);
    EXPECT_EQ(controller->parent(), staging.data());

    // Where the controller's signals come from.
    std::mutex mutex;
    QVector<QThread *> stageThreads;
    QObject::connect(controller, &SvcControl::stageReady, controller,
                     [&](SvcControl::ExeStage) {
                         std::lock_guard<std::mutex> lock(mutex);
                         stageThreads << QThread::currentThread();
                     },
                     Qt::DirectConnection);

    staging->bgStart();
    showFirstFrame();

    QTimer *timer = nullptr;
    ASSERT_TRUE(waitFor([&] {
        timer = staging ? staging->findChild<QTimer *>() : nullptr;
        return timer && timer->isActive();
    })) << dump(callsSince(m_mark));
    ASSERT_EQ(info->object.calls, 1);

    // The whole staged order, every call from the main thread.
    const QVector<platform::JournalEntry> calls = callsSince(m_mark);
    int at = find(calls, "FirstFrameMonitor::preCheck()");
    ASSERT_GE(at, 0) << dump(calls);
    EXPECT_LT(find(calls, "ModuleManager::findModule(\"info\")"), at) << dump(calls);
    for (const QString &step : kStagedOrder) {
        const int next = find(calls, step, at + 1);
        ASSERT_GT(next, at) << step.toStdString() << " out of order:\n" << dump(calls);
        EXPECT_TRUE(calls.at(next).mainThread) << step.toStdString();
        at = next;
    }
    EXPECT_EQ(countOf(calls, "SvcControl::exeStage"), 2) << dump(calls);
    EXPECT_EQ(countOf(calls, "ModuleManager::setServiceStage"), 2);
    EXPECT_EQ(countOf(calls, "ModuleManager::serviceStageChanged"), 2);
    EXPECT_EQ(countOf(calls, "SvcControl::stop"), 1);
    {
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(stageThreads.size(), 2);
        for (QThread *t : stageThreads)
            EXPECT_NE(t, QThread::currentThread()) << "stageReady came from the controller's worker";
    }

    // The module heard of finished() first, on the main thread, before the
    // staging's own slot started the timer.
    EXPECT_EQ(info->object.calls, 1);
    EXPECT_EQ(info->object.thread, QThread::currentThread());
    EXPECT_FALSE(info->object.stagingTimerWasRunning);

    // Deletion 5000 ms after finished() was handled, not at once.
    ASSERT_FALSE(staging.isNull());
    EXPECT_TRUE(timer->isSingleShot());
    EXPECT_EQ(timer->interval(), 5000);
    // Started after the module heard of finished(), for the full 5000 ms.
    const int remaining = timer->remainingTime();
    const qint64 sinceFinished = info->object.since.elapsed();
    EXPECT_LE(remaining, 5000);
    EXPECT_GE(remaining, 5000 - sinceFinished - 5) << "the timer was started short";
    EXPECT_EQ(countOf(callsSince(m_mark), "FirstFrameMonitor::releaseInstance"), 0);

    // Every connection of the controller is cut: a repeated finished() reaches
    // neither the module nor the staging.
    emit controller->finished();
    QCoreApplication::processEvents();
    EXPECT_EQ(info->object.calls, 1);
    EXPECT_LE(timer->remainingTime(), remaining);

    ASSERT_TRUE(waitFor([&] { return staging.isNull(); }, std::chrono::seconds(30)));
    EXPECT_GE(info->object.since.elapsed(), 4999);
    EXPECT_EQ(countOf(callsSince(m_mark), "FirstFrameMonitor::releaseInstance"), 1);
    EXPECT_EQ(info->object.calls, 1);
}

TEST_F(SystemStartupTest, WithoutAnInfoModuleTheStagingRunsTheSameAndNobodyIsToldAllServicesReady)
{
    m_originalInfo = ModuleManager::self()->findModule(QStringLiteral("info"));
    m_restoreInfo = true;
    ModuleManager::self()->unregisterModule(QStringLiteral("info"));
    ASSERT_TRUE(ModuleManager::self()->findModule(QStringLiteral("info")).isNull());

    QPointer<SystemStartup> staging = new SystemStartup(nullptr);
    staging->bgStart();
    showFirstFrame();

    // finished() was handled all the same: the self-deletion timer runs.
    ASSERT_TRUE(waitFor([&] {
        QTimer *timer = staging ? staging->findChild<QTimer *>() : nullptr;
        return timer && timer->isActive();
    })) << dump(callsSince(m_mark));

    const QVector<platform::JournalEntry> calls = callsSince(m_mark);
    int at = find(calls, "FirstFrameMonitor::preCheck()");
    ASSERT_GE(at, 0) << dump(calls);
    for (const QString &step : kStagedOrder) {
        const int next = find(calls, step, at + 1);
        ASSERT_GT(next, at) << step.toStdString() << " out of order:\n" << dump(calls);
        at = next;
    }
    EXPECT_EQ(countOf(calls, "SvcControl::stop"), 1);
    EXPECT_EQ(countOf(calls, "Module::moduleObject"), 0) << dump(calls);
    EXPECT_EQ(countOf(calls, "InfoModule::allServiceReady"), 0) << dump(calls);
    delete staging;
}

TEST_F(SystemStartupTest, FrameAlreadyFlushedStartsTheFirstStageFromInsidePreCheck)
{
    // Bring the first frame out, with the monitor watched by the test itself.
    FirstFrameMonitor *monitor = FirstFrameMonitor::getInstance();
    QSignalSpy flushed(monitor, &FirstFrameMonitor::procFlushDone);
    monitor->preCheck();
    showFirstFrame();
    ASSERT_TRUE(waitFor([&] { return flushed.count() > 0; }));
    FirstFrameMonitor::releaseInstance();

    const quint64 mark = platform::Journal::instance().lastSeq();
    auto *staging = new SystemStartup(nullptr);
    staging->bgStart();
    // No event has been processed since bgStart() was called.
    const QVector<platform::JournalEntry> calls = callsSince(mark);
    const int preCheck = find(calls, "FirstFrameMonitor::preCheck()");
    ASSERT_GE(preCheck, 0) << dump(calls);
    EXPECT_GT(find(calls, "SvcControl::exeStage(0, false)", preCheck), preCheck) << dump(calls);
    delete staging;
    EXPECT_EQ(countOf(callsSince(mark), "FirstFrameMonitor::releaseInstance"), 1);
}

TEST_F(SystemStartupTest, DirectStartRunsBothStagesBackToBackAndGoesFromTheEventLoop)
{
    QPointer<SystemStartup> staging = new SystemStartup(nullptr);
    const quint64 mark = platform::Journal::instance().lastSeq();
    staging->directStart();

    const QVector<platform::JournalEntry> calls = callsSince(mark);
    const QStringList order = {
        "SvcControl::exeStage(0, true)",       "ModuleManager::serviceStageChanged(false)",
        "SvcControl::exeStage(1, true)",       "SvcControl::stop(false)",
        "ModuleManager::serviceStageChanged(false)",
    };
    int at = -1;
    for (const QString &step : order) {
        const int next = find(calls, step, at + 1);
        ASSERT_GT(next, at) << step.toStdString() << " out of order:\n" << dump(calls);
        at = next;
    }
    EXPECT_EQ(countOf(calls, "ModuleManager::setServiceStage"), 0);
    EXPECT_EQ(countOf(calls, "FirstFrameMonitor::preCheck"), 0);
    EXPECT_EQ(countOf(calls, "SvcControl::exeStage"), 2);

    // deleteLater(): still there when directStart() returns, gone once an
    // event loop runs.
    ASSERT_FALSE(staging.isNull());
    QEventLoop loop;
    QObject::connect(staging, &QObject::destroyed, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    ASSERT_TRUE(staging.isNull());
    EXPECT_EQ(countOf(callsSince(mark), "FirstFrameMonitor::releaseInstance"), 1);
}

TEST_F(SystemStartupTest, FinishedBeforeBgStartOnlyDisconnects)
{
    QPointer<SystemStartup> staging = new SystemStartup(nullptr);
    const quint64 mark = platform::Journal::instance().lastSeq();

    // Before bgStart() there is no timer: finishing only disconnects and the
    // object stays.
    ASSERT_TRUE(QMetaObject::invokeMethod(staging, "_exeSvcFinished", Qt::DirectConnection));
    EXPECT_EQ(staging->findChild<QTimer *>(), nullptr);
    QCoreApplication::processEvents();
    EXPECT_FALSE(staging.isNull());
    EXPECT_TRUE(callsSince(mark).isEmpty()) << dump(callsSince(mark));
    delete staging;
}

} // namespace

#include "tst_systemstart.moc"
