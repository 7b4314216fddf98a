// The settings store, its defaults and keys, and the language applier.

#include "datadefault.h"
#include "datasavecontrol.h"
#include "journal.h"
#include "setupstridconst.h"
#include "syslanguage.h"

#include "homestate.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QSet>
#include <QSettings>

#include <atomic>
#include <thread>

namespace {

const QStringList &allKeys()
{
    static const QStringList keys = {
        SetupStrIdConst::setupSysLang,       SetupStrIdConst::setupRightDrive,
        SetupStrIdConst::setupAndroidDevice, SetupStrIdConst::setupAppleDevice,
        SetupStrIdConst::setupCarlifeDevice, SetupStrIdConst::setupWebLinkDevice,
        SetupStrIdConst::setupCarplay,       SetupStrIdConst::setupIpod,
        SetupStrIdConst::setupiOSMirror,     SetupStrIdConst::setupAndroidAuto,
        SetupStrIdConst::setupAutoLink,      SetupStrIdConst::setupSyncRdsTime,
        SetupStrIdConst::setupSysBeep,
    };
    return keys;
}

// A fresh store in a scratch configuration folder.
QString freshStore()
{
    const QString home = testsupport::scratchDir("settings");
    qputenv("XDG_CONFIG_HOME", home.toLocal8Bit());
    EXPECT_TRUE(DataSaveControl::initQSettingPath());
    EXPECT_TRUE(DataDefault::initDataDefault());
    return home;
}

} // namespace

// Declared first: in a single run of the executable no store is set up yet.
TEST(SettingsStore, ReadBeforeSetUpGivesTheDefaultAndNothingIsWritten)
{
    if (!DataSaveControl::settingFilePath().isEmpty())
        GTEST_SKIP() << "the store was set up by an earlier case of this run";
    EXPECT_EQ(DataSaveControl::readSettingData("sysLang", QVariant("fr_FR"), QString()), QVariant("fr_FR"));
    EXPECT_EQ(DataSaveControl::readSettingData("sysLang", QVariant("fr_FR"), QString()), QVariant("fr_FR"));
    EXPECT_FALSE(DataSaveControl::writeSettingData("sysLang", "de_DE"));
}

TEST(SettingsStore, FileLivesUnderXdgConfigHome)
{
    const QString home = freshStore();
    EXPECT_EQ(DataSaveControl::settingFilePath(), home + "/headunit/sysset.ini");
    EXPECT_TRUE(QFileInfo(home + "/headunit").isDir());
}

TEST(SettingsStore, NothingStoredYieldsEveryDefault)
{
    freshStore();
    for (const QString &key : allKeys()) {
        const QVariant def = DataDefault::getDefault(key);
        ASSERT_TRUE(def.isValid()) << key.toStdString();
        // The read-with-default idiom, for string and boolean settings alike.
        EXPECT_EQ(DataSaveControl::readSettingData(key, QVariant(def.toString()), QString()).toString(),
                  def.toString())
            << key.toStdString();
        EXPECT_EQ(DataSaveControl::readSettingData(key, QVariant(def.toBool()), QString()).toBool(), def.toBool())
            << key.toStdString();
    }
    EXPECT_FALSE(DataSaveControl::readSettingData(SetupStrIdConst::setupRightDrive, QVariant(false), QString()).toBool());
    EXPECT_FALSE(DataDefault::getDefault("noSuchSetting").isValid());
    EXPECT_EQ(DataSaveControl::readSettingData("", QVariant(7), QString()), QVariant(7));
}

TEST(SettingsStore, StoredValuesComeBackInTheDefaultsType)
{
    const QString home = freshStore();
    ASSERT_TRUE(DataSaveControl::writeSettingData(SetupStrIdConst::setupSysLang, "de_DE"));
    ASSERT_TRUE(DataSaveControl::writeSettingData(SetupStrIdConst::setupRightDrive, true));
    ASSERT_TRUE(DataSaveControl::writeSettingData(SetupStrIdConst::setupSysBeep, false, "audio"));

    const QVariant lang = DataSaveControl::readSettingData(SetupStrIdConst::setupSysLang, QVariant("en_US"), QString());
    EXPECT_EQ(lang, QVariant("de_DE"));
    const QVariant rhd = DataSaveControl::readSettingData(SetupStrIdConst::setupRightDrive, QVariant(false), QString());
    EXPECT_EQ(rhd.userType(), QMetaType::Bool);
    EXPECT_TRUE(rhd.toBool());
    // Groups are separate: the top-level key is not the "audio" group's.
    EXPECT_TRUE(DataSaveControl::readSettingData(SetupStrIdConst::setupSysBeep, QVariant(true), QString()).toBool());
    EXPECT_FALSE(DataSaveControl::readSettingData(SetupStrIdConst::setupSysBeep, QVariant(true), "audio").toBool());

    // What another program writes into the file is read as well.
    {
        QSettings other(home + "/headunit/sysset.ini", QSettings::IniFormat);
        other.setValue(SetupStrIdConst::setupSyncRdsTime, "true");
    }
    EXPECT_TRUE(DataSaveControl::readSettingData(SetupStrIdConst::setupSyncRdsTime, QVariant(false), QString()).toBool());

    // Not a boolean: the default, whichever it is, not what QVariant makes of the text.
    {
        QSettings other(home + "/headunit/sysset.ini", QSettings::IniFormat);
        other.setValue(SetupStrIdConst::setupRightDrive, "maybe");
        other.setValue(SetupStrIdConst::setupSysBeep, "no");
    }
    EXPECT_FALSE(DataSaveControl::readSettingData(SetupStrIdConst::setupRightDrive, QVariant(false), QString()).toBool());
    EXPECT_TRUE(DataSaveControl::readSettingData(SetupStrIdConst::setupSysBeep, QVariant(true), QString()).toBool());
}

TEST(SettingsStore, ReadersOnTwoThreadsWhileTheMainThreadWrites)
{
    freshStore();
    ASSERT_TRUE(DataSaveControl::writeSettingData(SetupStrIdConst::setupSysLang, "lang0"));
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::atomic<int> reads{0};
    auto reader = [&](const QString &key, const QVariant &def) {
        while (!stop.load()) {
            const QVariant v = DataSaveControl::readSettingData(key, def, QString());
            if (key == SetupStrIdConst::setupSysLang ? !v.toString().startsWith("lang") : v.userType() != QMetaType::Bool)
                ++bad;
            ++reads;
        }
    };
    std::thread a(reader, SetupStrIdConst::setupSysLang, QVariant("en_US"));
    std::thread b(reader, SetupStrIdConst::setupSyncRdsTime, QVariant(false));
    for (int i = 1; i <= 50; ++i) {
        ASSERT_TRUE(DataSaveControl::writeSettingData(SetupStrIdConst::setupSysLang, QStringLiteral("lang%1").arg(i)));
        ASSERT_TRUE(DataSaveControl::writeSettingData(SetupStrIdConst::setupSyncRdsTime, i % 2 == 0));
    }
    testsupport::waitFor([&] { return reads.load() > 100; });
    stop = true;
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(DataSaveControl::readSettingData(SetupStrIdConst::setupSysLang, QVariant(), QString()), QVariant("lang50"));
}

TEST(SetupKeys, ThirteenDistinctNonEmptyStrings)
{
    QSet<QString> seen;
    for (const QString &key : allKeys()) {
        EXPECT_FALSE(key.isEmpty());
        seen.insert(key);
    }
    EXPECT_EQ(seen.size(), 13);
}

TEST(SysLanguage, AppliesKnownLocalesAndKeepsTheCurrentOneOtherwise)
{
    SysLanguage::exeLanguage("de_DE");
    EXPECT_EQ(QLocale().name(), "de_DE");
    EXPECT_EQ(SysLanguage::currentLanguage(), "de_DE");
    EXPECT_EQ(platform::HomeState::instance().snapshot().language, "de_DE");

    for (const char *bad : {"", "  ", "xx_bogus", "\xff\xfe"}) {
        SysLanguage::exeLanguage(QString::fromLatin1(bad));
        EXPECT_EQ(QLocale().name(), "de_DE") << bad;
    }
    SysLanguage::exeLanguage("zh_CN");
    EXPECT_EQ(QLocale().name(), "zh_CN");
}

namespace {

// A component thread that the process never stops (the MCU receive thread of
// a program that never stops its link) reads defaults and the store until the
// process is gone.
[[noreturn]] void exitWhileAThreadReadsTheStore()
{
    DataSaveControl::initQSettingPath();
    // What is checked is the components' own state. Their call trace formats
    // with Qt's text streams, which do not survive Qt's own teardown: off here.
    QLoggingCategory::setFilterRules(QStringLiteral("platform.debug=false"));
    platform::Journal::instance().setEnabled(false);
    std::atomic<int> reads{0};
    std::thread([&reads] {
        for (;;) {
            DataDefault::getDefault(SetupStrIdConst::setupSyncRdsTime);
            DataSaveControl::settingFilePath();
            reads.fetch_add(1);
        }
    }).detach();
    while (reads.load() < 100)
        std::this_thread::yield();
    // Runs the static destructors while the thread goes on reading.
    std::exit(0);
}

} // namespace

TEST(ComponentState, ReadsOnAThreadStillRunningAtProcessExitAreSafe)
{
    // "fast": the child is forked, not executed anew, so this also runs where
    // test programs run under an emulator that cannot exec them directly.
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(exitWhileAThreadReadsTheStore(), ::testing::ExitedWithCode(0), "");
}
