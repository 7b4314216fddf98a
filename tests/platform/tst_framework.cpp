// The framework stand-in: singletons that outlive their handles, the "info"
// module, the home screen fed from other threads, and the heartbeat that the
// framework sends through the launcher's exported link from a thread of its own.

#include "activitymanager.h"
#include "appdata.h"
#include "basecontrol.h"
#include "implicitrulemanager.h"
#include "journal.h"
#include "mainappprotocolcomm.h"
#include "module.h"
#include "modulemanager.h"
#include "platformcontrol.h"
#include "syslanguage.h"
#include "uimanager.h"

#include "homescreen.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMetaObject>
#include <QWidget>

#include <thread>

#include <sys/socket.h>
#include <unistd.h>

using namespace tamoappframework;

namespace {

bool journalHas(quint64 since, const QString &text, bool wantMainThread)
{
    for (const platform::JournalEntry &e : platform::Journal::instance().since(since))
        if (e.text == text && e.mainThread == wantMainThread)
            return true;
    return false;
}

// The home screen comes from the event loop's first turn after the module
// manager is made.
platform::HomeScreen *homeScreen()
{
    ModuleManager::self();
    testsupport::waitFor([] { return platform::HomeScreen::current() != nullptr; });
    return platform::HomeScreen::current();
}

} // namespace

// Declared first: in a single run of the executable this comes before any self().
TEST(Framework, RightDriveBeforeAnySelfMirrorsTheHomeScreen)
{
    const bool fresh = platform::HomeScreen::current() == nullptr;
    UIManager::setRightDrive(true, true);
    EXPECT_TRUE(UIManager::isRightDrive());

    platform::HomeScreen *screen = homeScreen();
    ASSERT_NE(screen, nullptr);
    if (fresh) {
        EXPECT_EQ(screen->layoutDirection(), Qt::RightToLeft) << "the first frame must already be mirrored";
    }
    ASSERT_TRUE(testsupport::waitFor([&] { return screen->layoutDirection() == Qt::RightToLeft; }));
    EXPECT_EQ(screen->fieldText("drive"), "Right-hand drive");

    // Remembered only: the layout stays until a call that applies it.
    UIManager::setRightDrive(false, false);
    EXPECT_FALSE(UIManager::isRightDrive());
    QCoreApplication::processEvents();
    EXPECT_EQ(screen->layoutDirection(), Qt::RightToLeft);
    UIManager::setRightDrive(false, true);
    ASSERT_TRUE(testsupport::waitFor([&] { return screen->layoutDirection() == Qt::LeftToRight; }));
}

TEST(Framework, SingletonsOutliveEveryHandleAndAreSharedAcrossThreads)
{
    QWeakPointer<ModuleManager> weakModules;
    QWeakPointer<ActivityManager> weakActivities;
    QWeakPointer<ImplicitRuleManager> weakRules;
    ModuleManager *modules;
    ActivityManager *activities;
    ImplicitRuleManager *rules;
    {
        QSharedPointer<ModuleManager> m = ModuleManager::self();
        QSharedPointer<ActivityManager> a = ActivityManager::self();
        QSharedPointer<ImplicitRuleManager> r = ImplicitRuleManager::self();
        weakModules = m;
        weakActivities = a;
        weakRules = r;
        modules = m.data();
        activities = a.data();
        rules = r.data();
    }
    EXPECT_FALSE(weakModules.isNull());
    EXPECT_FALSE(weakActivities.isNull());
    EXPECT_FALSE(weakRules.isNull());

    ModuleManager *threadModules = nullptr;
    ActivityManager *threadActivities = nullptr;
    const quint64 mark = platform::Journal::instance().lastSeq();
    std::thread receiveThread([&] {
        threadModules = ModuleManager::self().data();
        QSharedPointer<ActivityManager> a = ActivityManager::self();
        threadActivities = a.data();
        tag_MCUSRV_TO_MAIN_APP_T can{};
        can.kind = 3;
        can.id = 0x321;
        can.length = 13;
        can.payload[0] = 0x7f;
        a->receiveCanMsgFromMcu(can);
    });
    receiveThread.join();
    EXPECT_EQ(threadModules, modules);
    EXPECT_EQ(threadActivities, activities);
    EXPECT_EQ(ImplicitRuleManager::self().data(), rules);
    EXPECT_TRUE(journalHas(mark, "ActivityManager::receiveCanMsgFromMcu(kind=3 id=801 len=13 [7f])", false));
}

TEST(Framework, InfoModuleIsToldThatAllServicesAreReady)
{
    QSharedPointer<ModuleManager> modules = ModuleManager::self();
    EXPECT_TRUE(modules->findModule("nothing").isNull());
    QSharedPointer<Module> info = modules->findModule("info");
    ASSERT_FALSE(info.isNull());
    QObject *object = info->moduleObject();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->thread(), QCoreApplication::instance()->thread());

    // Connected by signature string, as the staging object connects it.
    ASSERT_GE(object->metaObject()->indexOfSlot("allServiceReady()"), 0);
    const quint64 mark = platform::Journal::instance().lastSeq();
    ASSERT_TRUE(QMetaObject::invokeMethod(object, "allServiceReady"));
    EXPECT_TRUE(journalHas(mark, "InfoModule::allServiceReady()", true));

    platform::HomeScreen *screen = homeScreen();
    ASSERT_NE(screen, nullptr);
    EXPECT_TRUE(testsupport::waitFor([&] { return screen->fieldText("ready") == "All services ready"; }));

    // A module registered under a taken name replaces the old one.
    modules->registerModule(QSharedPointer<Module>(new Module("info")));
    EXPECT_EQ(modules->findModule("info")->moduleObject(), nullptr);
    modules->registerModule(info);
    modules->registerModule(QSharedPointer<Module>());
    EXPECT_EQ(modules->findModule("info"), info);

    // Taken out, the name finds nothing; an unknown name changes nothing.
    modules->unregisterModule("nothing");
    modules->unregisterModule("info");
    EXPECT_TRUE(modules->findModule("info").isNull());
    modules->registerModule(info);
    EXPECT_EQ(modules->findModule("info"), info);
}

TEST(Framework, HomeScreenShowsWhatOtherThreadsHandOver)
{
    platform::HomeScreen *screen = homeScreen();
    ASSERT_NE(screen, nullptr);
    EXPECT_TRUE(screen->isWindow());
    EXPECT_TRUE(screen->isVisible());
    EXPECT_EQ(screen->size(), QSize(1024, 600));

    std::thread receiveThread([] {
        AppData::GetInstance()->setUUID("HU-7F3A-0001");
        AppData::GetInstance()->setMcuType(5);
        PlatformControl::getInstance()->setMcuVersion("MCU 3.14.2");
        BaseControl::getInstance()->sendMcuKeyPressedSignal(21, 1);
        AppData::GetInstance()->setCurSource(SOURCE_ID_BT_MUSIC);
    });
    receiveThread.join();
    ModuleManager::self()->setServiceStage(2);
    ModuleManager::self()->serviceStageChanged(true);

    auto shows = [&](const char *field, const QString &text) {
        EXPECT_TRUE(testsupport::waitFor([&] { return screen->fieldText(field) == text; }))
            << field << " shows " << screen->fieldText(field).toStdString();
    };
    shows("uuid", "HU-7F3A-0001");
    shows("mcuType", "5");
    shows("mcuVersion", "MCU 3.14.2");
    shows("key", "Key 21, state 1");
    shows("source", "Bluetooth music");
    shows("stage", "All stages up");

    // The language's own name whole (it fits the card once the code has a
    // line of its own), and the code under it.
    SysLanguage::exeLanguage("en_US");
    shows("language", "American English");
    shows("languageCode", "en_US");
}

TEST(Framework, HeartbeatGoesThroughTheLinkFromTheFrameworksThread)
{
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const int peer = fds[1];
    MainAppProtocolComm *link = MainAppProtocolComm::GetInstance();
    int linkEnd = fds[0];
    link->transport().setConnector([&linkEnd] { return std::exchange(linkEnd, -1); });
    link->Start();
    ASSERT_TRUE(testsupport::waitFor([&] { return link->transport().isConnected(); }));

    const quint64 mark = platform::Journal::instance().lastSeq();
    ModuleManager::initModule(link);
    McuShortMsg expected{};
    expected.kind = 1;
    expected.msg = MSG_A2M_SHORT;
    expected.p1 = MSG_A2M_HEARTBEAT;
    const QByteArray one(reinterpret_cast<const char *>(&expected), sizeof expected);
    for (int beat = 0; beat < 2; ++beat)
        EXPECT_EQ(testsupport::hex(testsupport::readExactly(peer, 16, std::chrono::seconds(10))),
                  testsupport::hex(one))
            << "heartbeat " << beat;
    EXPECT_TRUE(journalHas(mark, "ModuleManager::sendHeartbeat()", false));
    // This program has no beep filter: nothing to hand a sound to, and it links and runs.
    EXPECT_TRUE(journalHas(mark, "Framework::handBeepSound(no beep filter in this process)", true));
    // The heartbeat is still running when the process exits: it is ended with the application.
}

TEST(HomeScreen, SavesAScreenshotWhenAsked)
{
    const QByteArray path = qgetenv("PLATFORM_HOME_SCREENSHOT");
    if (path.isEmpty())
        GTEST_SKIP() << "set PLATFORM_HOME_SCREENSHOT to a .png path";
    platform::HomeScreen *screen = homeScreen();
    ASSERT_NE(screen, nullptr);
    SysLanguage::exeLanguage(qEnvironmentVariable("PLATFORM_HOME_LANGUAGE", "en_US"));
    AppData::GetInstance()->setUUID("HU-7F3A-0001");
    AppData::GetInstance()->setMcuType(2);
    AppData::GetInstance()->setCurSource(SOURCE_ID_RADIO);
    PlatformControl::getInstance()->setMcuVersion("MCU_V2.31.0");
    BaseControl::getInstance()->sendMcuKeyPressedSignal(3, 1);
    ModuleManager::self()->setServiceStage(2);
    QMetaObject::invokeMethod(ModuleManager::self()->findModule("info")->moduleObject(), "allServiceReady");
    testsupport::waitFor([&] {
        return screen->fieldText("stage") == "All stages up" && screen->fieldText("ready") == "All services ready";
    });
    EXPECT_TRUE(screen->grab().save(QString::fromLocal8Bit(path)));
}
