// The stand-ins inside the running launcher: the settings found under
// XDG_CONFIG_HOME reach the components, the staged start reaches the "info"
// module, and SIGTERM ends the event loop so the launcher's own teardown runs.

#include "launcherprocess.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QSettings>

using testsupport::LauncherProcess;
using testsupport::LogRecord;

namespace {
std::function<bool(const LogRecord &)> platformCall(const QString &text)
{
    return [text](const LogRecord &r) { return r.category == "platform" && r.message == text; };
}
} // namespace

TEST(LauncherHome, SavedSettingsReachTheComponentsAndSigtermEndsTheLoop)
{
    const QString home = testsupport::scratchDir("launcherhome");
    {
        QDir().mkpath(home + "/headunit");
        QSettings store(home + "/headunit/sysset.ini", QSettings::IniFormat);
        store.setValue("sysLang", "de_DE");
        store.setValue("rightDrive", true);
    }
    LauncherProcess launcher(home);
    ASSERT_TRUE(launcher.start());

    EXPECT_TRUE(launcher.waitForRecord(platformCall("SysLanguage::exeLanguage(\"de_DE\")")));
    EXPECT_TRUE(launcher.waitForRecord(platformCall("UIManager::setRightDrive(true, true)")));
    ASSERT_TRUE(launcher.waitForRecord(platformCall("InfoModule::allServiceReady()")))
        << launcher.standardError().right(4000).toStdString();

    ASSERT_TRUE(launcher.terminate());
    EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(launcher.exitCode(), 0);
    // The launcher's driver is destroyed after the loop returns.
    EXPECT_TRUE(launcher.waitForRecord([](const LogRecord &r) { return r.message.startsWith("~MainStart"); },
                                       std::chrono::seconds(1)));
}
