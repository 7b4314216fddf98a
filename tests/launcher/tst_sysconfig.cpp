// The saved display configuration applied at start-up: what is read, in which
// order, and what reaches the components.

#include "sysconfig.h"

#include "datadefault.h"
#include "datasavecontrol.h"
#include "setupstridconst.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QStringList>

namespace {

// Every debug record of this process, in order, as "category: message".
QStringList g_log;
QMutex g_logMutex;
QtMessageHandler g_previous = nullptr;

void collect(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    {
        QMutexLocker lock(&g_logMutex);
        g_log << QString::fromLatin1(ctx.category ? ctx.category : "") + ": " + msg;
    }
    if (g_previous)
        g_previous(type, ctx, msg);
}

class SysConfigTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Each case runs in a process of its own (one CTest test per case), so
        // the store is pointed at a fresh folder before anything reads it.
        qputenv("XDG_CONFIG_HOME", testsupport::scratchDir("sysconfig").toUtf8());
        g_previous = qInstallMessageHandler(collect);
    }
    void TearDown() override { qInstallMessageHandler(g_previous); }

    static QStringList log()
    {
        QMutexLocker lock(&g_logMutex);
        return g_log;
    }
    // Index of the first record containing all of the given texts, or -1.
    static int indexOf(const QStringList &records, std::initializer_list<const char *> parts)
    {
        for (int i = 0; i < records.size(); ++i) {
            bool all = true;
            for (const char *p : parts)
                all = all && records.at(i).contains(QLatin1String(p));
            if (all)
                return i;
        }
        return -1;
    }
    static void seed(const QString &key, const QVariant &value)
    {
        DataSaveControl::initQSettingPath();
        ASSERT_TRUE(DataSaveControl::writeSettingData(key, value));
    }
};

TEST_F(SysConfigTest, ConstructionPreparesTheStoreBeforeAnyRead)
{
    {
        SysConfig config;
        config.exeDisConfig();
    }
    const QStringList records = log();
    const int init = indexOf(records, {"platform: ", "initQSettingPath"});
    const int defaults = indexOf(records, {"platform: ", "initDataDefault"});
    const int firstRead = indexOf(records, {"platform: ", "readSettingData"});
    ASSERT_GE(init, 0) << records.join('\n').toStdString();
    ASSERT_GE(defaults, 0);
    ASSERT_GE(firstRead, 0);
    EXPECT_LT(init, defaults);
    EXPECT_LT(defaults, firstRead);
}

TEST_F(SysConfigTest, NothingSavedAppliesTheDefaultLanguageAndLeftHandDrive)
{
    SysConfig config;
    const QString def = DataDefault::getDefault(SetupStrIdConst::setupSysLang).toString();
    ASSERT_FALSE(def.isEmpty());
    config.exeDisConfig();

    const QStringList records = log();
    const int readLang = records.indexOf("default: read language: \"" + def + "\"");
    const int readRight = records.indexOf("default: read right mode: false");
    ASSERT_GE(readLang, 0) << records.join('\n').toStdString();
    ASSERT_GE(readRight, 0) << records.join('\n').toStdString();

    const int applyLang = indexOf(records, {"platform: ", "SysLanguage::exeLanguage", "\""});
    const int applyRight = indexOf(records, {"platform: ", "UIManager::setRightDrive(false, true)"});
    ASSERT_GE(applyLang, 0) << records.join('\n').toStdString();
    ASSERT_GE(applyRight, 0) << records.join('\n').toStdString();
    EXPECT_TRUE(records.at(applyLang).contains(def));

    // Each record before its application, and the language before the layout.
    EXPECT_LT(readLang, applyLang);
    EXPECT_LT(applyLang, readRight);
    EXPECT_LT(readRight, applyRight);
}

TEST_F(SysConfigTest, SavedValuesAreAppliedAndRightDriveAlwaysTakesEffectAtOnce)
{
    seed(SetupStrIdConst::setupSysLang, QStringLiteral("de_DE"));
    seed(SetupStrIdConst::setupRightDrive, true);
    SysConfig config;
    config.exeDisConfig();

    const QStringList records = log();
    EXPECT_GE(records.indexOf("default: read language: \"de_DE\""), 0) << records.join('\n').toStdString();
    EXPECT_GE(records.indexOf("default: read right mode: true"), 0);
    EXPECT_GE(indexOf(records, {"platform: ", "SysLanguage::exeLanguage", "de_DE"}), 0);
    EXPECT_GE(indexOf(records, {"platform: ", "UIManager::setRightDrive(true, true)"}), 0);
}

TEST_F(SysConfigTest, EveryReadPassesAnEmptyGroupAndRightDriveIgnoresTheDefaultsTable)
{
    SysConfig config;
    config.exeDisConfig();
    const QStringList records = log();
    int reads = 0;
    for (const QString &r : records) {
        if (!r.startsWith("platform: DataSaveControl::readSettingData("))
            continue;
        ++reads;
        EXPECT_TRUE(r.endsWith(", \"\")")) << r.toStdString();
    }
    EXPECT_EQ(reads, 2);
    // The defaults table is asked for the language only.
    EXPECT_EQ(records.filter(QRegularExpression("^platform: DataDefault::getDefault\\(")).size(), 1)
        << records.join('\n').toStdString();
}

} // namespace
