// The built launcher started as a process on the offscreen platform: its banner,
// its launch order as the log shows it, and its teardown on SIGTERM.

#include "datasavecontrol.h"
#include "launcherprocess.h"
#include "setupstridconst.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

using testsupport::LauncherProcess;
using testsupport::LogRecord;

namespace {

class LaunchSequence : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_configHome = testsupport::scratchDir("launch");
        qputenv("XDG_CONFIG_HOME", m_configHome.toUtf8());
        DataSaveControl::initQSettingPath();
        ASSERT_TRUE(DataSaveControl::writeSettingData(SetupStrIdConst::setupSysLang, "fr_FR"));
        ASSERT_TRUE(DataSaveControl::writeSettingData(SetupStrIdConst::setupRightDrive, true));

        m_launcher = std::make_unique<LauncherProcess>(m_configHome);
        ASSERT_TRUE(m_launcher->start());
        ASSERT_TRUE(m_launcher->waitForRecord(
            [](const LogRecord &r) { return r.message.startsWith("UI is "); }))
            << m_launcher->standardError().toStdString();
    }
    void TearDown() override
    {
        if (m_launcher)
            m_launcher->terminate();
    }

    // Records of the system itself, in order: category "default" with a source
    // file (Qt's own warnings in that category come without one, "unknown").
    QVector<LogRecord> systemRecords()
    {
        QVector<LogRecord> out;
        for (const LogRecord &r : m_launcher->records())
            if (r.category == "default" && !r.file.isEmpty() && r.file != "unknown")
                out << r;
        return out;
    }
    // Position of the first record in category whose message contains text, or -1.
    int find(const QString &category, const QString &text)
    {
        const QVector<LogRecord> all = m_launcher->records();
        for (int i = 0; i < all.size(); ++i)
            if (all[i].category == category && all[i].message.contains(text))
                return i;
        return -1;
    }

    QString m_configHome;
    std::unique_ptr<LauncherProcess> m_launcher;
};

TEST_F(LaunchSequence, BannerIsFiveRecordsWithTheBuildStampAsOne)
{
    const QVector<LogRecord> sys = systemRecords();
    ASSERT_GE(sys.size(), 5);
    EXPECT_EQ(sys[0].message, "\n\n\n ");
    EXPECT_EQ(sys[1].message, "\t             QT new Launcher start !!");
    EXPECT_EQ(sys[2].message, "\n");
    // Four streamed fragments, one space between each: text, date, two spaces, time.
    static const QRegularExpression build(
        "^\t app build:  [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4}    [0-2][0-9]:[0-5][0-9]:[0-5][0-9]$");
    EXPECT_TRUE(build.match(sys[3].message).hasMatch()) << sys[3].message.toStdString();
    EXPECT_EQ(sys[4].message, "\n\n\n ");
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(sys[i].file.endsWith("main.cpp")) << sys[i].file.toStdString();
        EXPECT_TRUE(sys[i].function.contains("main")) << sys[i].function.toStdString();
        EXPECT_GT(sys[i].line, 0);
    }
}

TEST_F(LaunchSequence, StartRecordsComeInOrderWithTheirContext)
{
    const QVector<LogRecord> sys = systemRecords();
    QStringList messages;
    for (const LogRecord &r : sys)
        messages << r.message;
    const int ctor = messages.indexOf("---MainStart---");
    const int start = messages.indexOf("start");
    const int lang = messages.indexOf("read language: \"fr_FR\"");
    const int right = messages.indexOf("read right mode: true");
    const int ui = messages.indexOf("UI is UI_TAVREN_1024_600 \n");
    ASSERT_GE(ctor, 5) << messages.join('|').toStdString();
    EXPECT_LT(ctor, start);
    EXPECT_LT(start, lang);
    EXPECT_LT(lang, right);
    EXPECT_LT(right, ui);

    EXPECT_TRUE(sys[ctor].file.endsWith("mainstart.cpp"));
    EXPECT_TRUE(sys[ctor].function.contains("MainStart::MainStart"));
    EXPECT_TRUE(sys[start].function.contains("MainStart::start"));
    EXPECT_TRUE(sys[lang].file.endsWith("sysconfig.cpp"));
    EXPECT_TRUE(sys[lang].function.contains("SysConfig::exeLanguage"));
    EXPECT_TRUE(sys[right].function.contains("SysConfig::exeLayout"));
    EXPECT_TRUE(sys[ui].function.contains("MainStart::start"));
}

TEST_F(LaunchSequence, ComponentsAreCalledInTheFixedOrderWithTheSavedValues)
{
    const int language = find("platform", "SysLanguage::exeLanguage");
    const int layout = find("platform", "UIManager::setRightDrive(true, true)");
    const int rules = find("platform", "ImplicitRuleManager::self");
    const int modules = find("platform", "ModuleManager::self");
    const int activities = find("platform", "ActivityManager::self");
    const int init = find("platform", "ModuleManager::initModule");
    const int ui = find("default", "UI is ");
    ASSERT_GE(language, 0) << m_launcher->standardError().toStdString();
    EXPECT_NE(m_launcher->records()[language].message.indexOf("fr_FR"), -1);
    ASSERT_GE(layout, 0) << m_launcher->standardError().toStdString();
    ASSERT_GE(rules, 0);
    ASSERT_GE(modules, 0);
    ASSERT_GE(activities, 0);
    ASSERT_GE(init, 0);
    EXPECT_LT(language, layout);
    EXPECT_LT(layout, rules);
    EXPECT_LT(rules, modules);
    EXPECT_LT(modules, activities);
    EXPECT_LT(activities, init);
    EXPECT_LT(init, ui);
}

TEST_F(LaunchSequence, SigtermEndsTheEventLoopAndTeardownRuns)
{
    ASSERT_TRUE(m_launcher->terminate());
    EXPECT_EQ(m_launcher->exitStatus(), QProcess::NormalExit)
        << m_launcher->standardError().toStdString();
    EXPECT_EQ(m_launcher->exitCode(), 0);
    const QVector<LogRecord> sys = systemRecords();
    ASSERT_FALSE(sys.isEmpty());
    EXPECT_EQ(sys.last().message, "~MainStart ");
    EXPECT_TRUE(sys.last().function.contains("MainStart::~MainStart"));
    m_launcher.reset();
}

} // namespace
