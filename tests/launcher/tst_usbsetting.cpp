// Phone-projection USB modes: which saved setting wins, what each mode string
// becomes at the USB control, and that the control is started once, last.

#include "sysconfig.h"

#include "datasavecontrol.h"
#include "journal.h"
#include "setupstridconst.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace {

// The UsbControl calls of the journal after mark, with "UsbControl::" and the
// instance lookups left out: "setAppleDeviceMode(...)", "startup()" ...
QStringList usbCalls(quint64 mark)
{
    QStringList calls;
    for (const platform::JournalEntry &e : platform::Journal::instance().since(mark)) {
        if (!e.text.startsWith(QLatin1String("UsbControl::")))
            continue;
        const QString call = e.text.mid(int(qstrlen("UsbControl::")));
        if (!call.startsWith(QLatin1String("getInstance")))
            calls << call;
    }
    return calls;
}

// "setAppleDeviceMode(4)" -> "apple 4", "configAoaTimeoutAction(true)" -> "aoa true".
QString shorten(const QString &call)
{
    const int open = call.indexOf('(');
    const QString op = call.left(open);
    const QString arg = call.mid(open + 1, call.size() - open - 2);
    if (op == QLatin1String("setAppleDeviceMode"))
        return "apple " + arg;
    if (op == QLatin1String("setAndroidDeviceMode"))
        return "android " + arg;
    if (op == QLatin1String("configAoaTimeoutAction"))
        return "aoa " + arg;
    return op;
}

struct UsbRow {
    const char *name;
    bool webLink;
    bool carlife;
    QString android; // stored under setupAndroidDevice
    QString apple;   // stored under setupAppleDevice
    QStringList expected;
};

void PrintTo(const UsbRow &row, std::ostream *os) { *os << row.name; }

class UsbSettingTest : public ::testing::TestWithParam<UsbRow>
{
protected:
    static void SetUpTestSuite()
    {
        qputenv("XDG_CONFIG_HOME", testsupport::scratchDir("usbsetting").toUtf8());
        SysConfig prepare; // points the store at the scratch folder
    }

    static void seed(const UsbRow &row)
    {
        ASSERT_TRUE(DataSaveControl::writeSettingData(SetupStrIdConst::setupWebLinkDevice, row.webLink));
        ASSERT_TRUE(DataSaveControl::writeSettingData(SetupStrIdConst::setupCarlifeDevice, row.carlife));
        ASSERT_TRUE(DataSaveControl::writeSettingData(SetupStrIdConst::setupAndroidDevice, row.android));
        ASSERT_TRUE(DataSaveControl::writeSettingData(SetupStrIdConst::setupAppleDevice, row.apple));
    }
};

TEST_P(UsbSettingTest, AppliesThePriorityAndTheTablesThenStarts)
{
    const UsbRow &row = GetParam();
    seed(row);
    SysConfig config;
    const quint64 mark = platform::Journal::instance().lastSeq();
    config.exeUsbSetting();

    QStringList calls;
    for (const QString &c : usbCalls(mark))
        calls << shorten(c);
    QStringList expected = row.expected;
    expected << QStringLiteral("startup");
    EXPECT_EQ(calls.join(" | ").toStdString(), expected.join(" | ").toStdString());
}

const QString kUnknown = QStringLiteral("mirrorlink");

INSTANTIATE_TEST_SUITE_P(
    Priority, UsbSettingTest,
    ::testing::Values(
        UsbRow{"WebLinkWinsOverCarLife", true, true, SetupStrIdConst::setupAutoLink,
               SetupStrIdConst::setupIpod, {"android 4", "aoa false", "apple 4"}},
        UsbRow{"CarLifeIgnoresTheModeStrings", false, true, SetupStrIdConst::setupAutoLink,
               SetupStrIdConst::setupIpod, {"android 2", "aoa true", "apple 1"}},
        UsbRow{"EmptyAndroidStringMakesNoAndroidCall", false, false, QString(),
               SetupStrIdConst::setupCarplay, {"apple 0"}},
        UsbRow{"EmptyAppleStringMakesNoAppleCall", false, false, SetupStrIdConst::setupAndroidAuto,
               QString(), {"android 0", "aoa true"}},
        UsbRow{"BothEmptyOnlyStarts", false, false, QString(), QString(), {}},
        UsbRow{"UnmatchedAndroidStringOnlySetsTheTimeOutAction", false, false, kUnknown, kUnknown,
               {"aoa true"}},
        UsbRow{"ModeMatchIsCaseSensitive", false, false, SetupStrIdConst::setupAutoLink.toUpper(),
               SetupStrIdConst::setupCarplay.toUpper(), {"aoa true"}},
        UsbRow{"AutoLinkAndIpod", false, false, SetupStrIdConst::setupAutoLink,
               SetupStrIdConst::setupIpod, {"android 1", "aoa false", "apple 2"}},
        UsbRow{"StoredCarLifeAndMirror", false, false, SetupStrIdConst::setupCarlifeDevice,
               SetupStrIdConst::setupiOSMirror, {"android 2", "aoa true", "apple 3"}},
        UsbRow{"StoredWebLinkAndCarLife", false, false, SetupStrIdConst::setupWebLinkDevice,
               SetupStrIdConst::setupCarlifeDevice, {"android 4", "aoa false", "apple 1"}},
        UsbRow{"StoredWebLinkForApple", false, false, kUnknown, SetupStrIdConst::setupWebLinkDevice,
               {"aoa true", "apple 4"}}),
    [](const ::testing::TestParamInfo<UsbRow> &info) { return std::string(info.param.name); });

TEST(UsbSettingReads, FourSettingsReadWithTheirDefaultsAndAnEmptyGroup)
{
    qputenv("XDG_CONFIG_HOME", testsupport::scratchDir("usbreads").toUtf8());
    SysConfig config;
    const quint64 mark = platform::Journal::instance().lastSeq();
    config.exeUsbSetting();

    QStringList reads;
    for (const platform::JournalEntry &e : platform::Journal::instance().since(mark)) {
        if (e.text.startsWith(QLatin1String("DataSaveControl::readSettingData(")))
            reads << e.text;
    }
    ASSERT_EQ(reads.size(), 4) << reads.join('\n').toStdString();
    const QString keys[] = {SetupStrIdConst::setupAndroidDevice, SetupStrIdConst::setupAppleDevice,
                            SetupStrIdConst::setupCarlifeDevice, SetupStrIdConst::setupWebLinkDevice};
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(reads.at(i).startsWith("DataSaveControl::readSettingData(\"" + keys[i] + "\""))
            << reads.at(i).toStdString();
        EXPECT_TRUE(reads.at(i).endsWith(QLatin1String(", \"\")"))) << reads.at(i).toStdString();
    }
    // Nothing stored: the mode strings come from the defaults table and are
    // applied as such, and the control is started last.
    const QStringList calls = usbCalls(mark);
    ASSERT_FALSE(calls.isEmpty());
    EXPECT_EQ(calls.last(), QStringLiteral("startup()"));
    EXPECT_EQ(calls.filter(QStringLiteral("startup")).size(), 1);
}

} // namespace
