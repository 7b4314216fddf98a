#include "systemstart.h"
#include "systemstart_p.h"

#include "firstframemonitor.h"
#include "module.h"
#include "modulemanager.h"

#include <QMetaType>
#include <QSharedPointer>
#include <QTimer>

using tamoappframework::Module;
using tamoappframework::ModuleManager;

namespace {

// Time between the controller's finished() and the staging object's deletion.
constexpr int kSelfDeleteDelayMs = 5000;

const QString kInfoModule = QStringLiteral("info");

} // namespace

SystemStartupPrivate::SystemStartupPrivate(SystemStartup *q)
    : q_ptr(q)
{
}

SystemStartupPrivate::~SystemStartupPrivate()
{
    if (m_monitor) {
        FirstFrameMonitor::releaseInstance();
        m_monitor = nullptr;
    }
}

void SystemStartupPrivate::_startupSvcThread()
{
    m_svcControl->exeStage(SvcControl::DirectStage, false);
}

void SystemStartupPrivate::_exeSvcFinished()
{
    // Every connection of the controller goes, the "info" module's included, so
    // a late or repeated finished() reaches nobody.
    QObject::disconnect(m_svcControl, nullptr, nullptr, nullptr);
    if (m_deleteTimer) {
        m_deleteTimer->setSingleShot(true);
        m_deleteTimer->start(kSelfDeleteDelayMs);
    }
}

void SystemStartupPrivate::_stageReady(SvcControl::ExeStage stage)
{
    switch (stage) {
    case SvcControl::DirectStage:
        directStageReady();
        break;
    case SvcControl::NormalStage:
        normalStageReady();
        break;
    default:
        break;
    }
}

void SystemStartupPrivate::directStageReady()
{
    QSharedPointer<ModuleManager> manager = ModuleManager::self();
    manager->setServiceStage(1);
    manager->serviceStageChanged(true);
    m_svcControl->exeStage(SvcControl::NormalStage, false);
}

void SystemStartupPrivate::normalStageReady()
{
    QSharedPointer<ModuleManager> manager = ModuleManager::self();
    manager->setServiceStage(2);
    manager->serviceStageChanged(true);
    m_svcControl->stop(false);
}

SystemStartup::SystemStartup(QObject *parent)
    : QObject(parent)
    , d_ptr(new SystemStartupPrivate(this))
{
    // stageReady() carries the stage across from the controller's worker thread.
    qRegisterMetaType<SvcControl::ExeStage>("SvcControl::ExeStage");

    Q_D(SystemStartup);
    d->m_monitor = FirstFrameMonitor::getInstance();
    d->m_svcControl = new SvcControl(this);
}

SystemStartup::~SystemStartup()
{
    // The private object goes first; QObject then deletes the controller and the
    // timer. No slot can run in between: they all run on this thread, and the
    // queued calls still pending for this object are dropped with it.
    delete d_ptr;
    d_ptr = nullptr;
}

void SystemStartup::bgStart()
{
    Q_D(SystemStartup);
    QSharedPointer<ModuleManager> manager = ModuleManager::self();
    QSharedPointer<Module> info = manager->findModule(kInfoModule);

    // Made before the staging's own finished() connection, so the module hears
    // of it first.
    if (info)
        connect(d->m_svcControl, SIGNAL(finished()), info->moduleObject(), SLOT(allServiceReady()));

    connect(d->m_svcControl, SIGNAL(stageReady(SvcControl::ExeStage)),
            this, SLOT(_stageReady(SvcControl::ExeStage)));
    connect(d->m_svcControl, SIGNAL(finished()), this, SLOT(_exeSvcFinished()));
    // Connected before preCheck(), which may emit at once when the frame is already out.
    connect(d->m_monitor, SIGNAL(procFlushDone()), this, SLOT(_startupSvcThread()));
    d->m_monitor->preCheck();

    d->m_deleteTimer = new QTimer(this);
    // A coarse timer may fire up to 5 % early; the grace period is a minimum.
    d->m_deleteTimer->setTimerType(Qt::PreciseTimer);
    connect(d->m_deleteTimer, SIGNAL(timeout()), this, SLOT(deleteLater()));
}

void SystemStartup::directStart()
{
    Q_D(SystemStartup);
    QSharedPointer<ModuleManager> manager = ModuleManager::self();
    QSharedPointer<Module> info = manager->findModule(kInfoModule);

    if (info)
        connect(d->m_svcControl, SIGNAL(finished()), info->moduleObject(), SLOT(allServiceReady()));

    d->m_svcControl->exeStage(SvcControl::DirectStage, true);
    manager->serviceStageChanged(false);
    d->m_svcControl->exeStage(SvcControl::NormalStage, true);
    d->m_svcControl->stop(false);
    manager->serviceStageChanged(false);
    deleteLater();
}

// The private slots' bodies live in SystemStartupPrivate, which must be complete here.
#include "moc_systemstart.cpp"
