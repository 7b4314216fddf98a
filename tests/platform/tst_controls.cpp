// The shared data and control components: classification of sources, the
// availability switches, the build's version texts and calls from two threads.

#include "appdata.h"
#include "basecontrol.h"
#include "journal.h"
#include "platformcontrol.h"
#include "usbcontrol.h"

#include "homestate.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <atomic>
#include <thread>

TEST(AppData, AudioAndDirectSwitchSources)
{
    AppData *d = AppData::GetInstance();
    ASSERT_NE(d, nullptr);
    struct Row {
        tag_SOURCE_ID_T id;
        bool audio;
        bool direct;
    };
    const Row rows[] = {
        {SOURCE_ID_NONE, false, false},      {SOURCE_ID_RADIO, true, true},
        {SOURCE_ID_USB_MUSIC, true, true},   {SOURCE_ID_BT_MUSIC, true, true},
        {SOURCE_ID_AUX, true, true},         {SOURCE_ID_USB_VIDEO, true, false},
        {SOURCE_ID_NAVI, false, false},      {SOURCE_ID_PHONE, false, false},
        {SOURCE_ID_SETTINGS, false, false},  {SOURCE_ID_PROJECTION, true, false},
        {SOURCE_ID_DAB, true, true},         {tag_SOURCE_ID_T(-1), false, false},
        {tag_SOURCE_ID_T(11), false, false}, {tag_SOURCE_ID_T(1000), false, false},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(d->isAudioSource(r.id), r.audio) << int(r.id);
        EXPECT_EQ(d->isDirectSwitchAudioSrc(r.id), r.direct) << int(r.id);
    }
}

TEST(AppData, UnavailableYieldsNullAndTheSameObjectAfterwards)
{
    AppData *before = AppData::GetInstance();
    before->setCurSource(SOURCE_ID_BT_MUSIC);
    AppData::setAvailable(false);
    EXPECT_EQ(AppData::GetInstance(), nullptr);
    AppData::setAvailable(true);
    ASSERT_EQ(AppData::GetInstance(), before);
    EXPECT_EQ(before->curSource(), SOURCE_ID_BT_MUSIC);

    PlatformControl *pc = PlatformControl::getInstance();
    PlatformControl::setAvailable(false);
    EXPECT_EQ(PlatformControl::getInstance(), nullptr);
    PlatformControl::setAvailable(true);
    EXPECT_EQ(PlatformControl::getInstance(), pc);
}

TEST(Versions, AreTheBuildsOwn)
{
    PlatformControl *pc = PlatformControl::getInstance();
    EXPECT_EQ(pc->getCustomerVer(), QStringLiteral(TEST_PROJECT_VERSION));
    EXPECT_EQ(pc->getSDKVer(), QStringLiteral("Qt ") + qVersion());
    const QString date = BaseControl::getInstance()->getDateVersion();
    EXPECT_TRUE(QRegularExpression("^20\\d{10}$").match(date).hasMatch()) << date.toStdString();

    pc->setVersions("C-1", "S-2");
    EXPECT_EQ(pc->getCustomerVer(), "C-1");
    EXPECT_EQ(pc->getSDKVer(), "S-2");
}

TEST(Controls, ValuesReachTheHomeState)
{
    platform::HomeState &home = platform::HomeState::instance();
    AppData::GetInstance()->setUUID("UNIT-0042");
    AppData::GetInstance()->setMcuType(-3);
    AppData::GetInstance()->setCurSource(SOURCE_ID_DAB);
    PlatformControl::getInstance()->setMcuVersion("MCU_V2.31");
    BaseControl::getInstance()->sendMcuKeyPressedSignal(13, 1);
    const platform::HomeSnapshot s = home.snapshot();
    EXPECT_EQ(s.uuid, "UNIT-0042");
    EXPECT_TRUE(s.mcuTypeKnown);
    EXPECT_EQ(s.mcuType, -3);
    EXPECT_EQ(s.currentSource, int(SOURCE_ID_DAB));
    EXPECT_EQ(s.mcuVersion, "MCU_V2.31");
    EXPECT_EQ(s.lastKey, 13);
    EXPECT_EQ(s.lastKeyState, 1);
}

TEST(Controls, RecordsAreJournalledByTheirHeaderAndFirstBytes)
{
    tag_MCUSRV_TO_MAIN_APP_T rec{};
    rec.kind = 2;
    rec.id = 83;
    rec.length = 14;
    rec.payload[0] = 0xab;
    rec.payload[1] = 0xcd;
    const quint64 mark = platform::Journal::instance().lastSeq();
    BaseControl::getInstance()->RecevieSIMMsgFromMcu(rec);
    const auto after = platform::Journal::instance().since(mark);
    ASSERT_EQ(after.size(), 1);
    EXPECT_EQ(after[0].text, "BaseControl::RecevieSIMMsgFromMcu(kind=2 id=83 len=14 [ab cd])");
}

TEST(UsbControl, OutOfRangeModesAreIgnored)
{
    UsbControl *usb = UsbControl::getInstance();
    usb->setAppleDeviceMode(UsbControl::AppleIpod);
    usb->setAndroidDeviceMode(UsbControl::AndroidWebLink);
    usb->setAppleDeviceMode(UsbControl::AppleDeviceMode(9));
    usb->setAndroidDeviceMode(UsbControl::AndroidDeviceMode(-1));
    EXPECT_EQ(usb->appleDeviceMode(), UsbControl::AppleIpod);
    EXPECT_EQ(usb->androidDeviceMode(), UsbControl::AndroidWebLink);
    EXPECT_FALSE(usb->isStarted());
    usb->startup();
    EXPECT_TRUE(usb->isStarted());
}

// The receive thread's calls while the main thread uses the same objects; run
// under ThreadSanitizer this is where a missing lock shows.
TEST(Controls, ReceiveThreadAndMainThreadAtOnce)
{
    constexpr int kRounds = 3000;
    std::atomic<bool> go{false};
    std::thread receiver([&] {
        while (!go.load()) {
        }
        for (int i = 0; i < kRounds; ++i) {
            AppData::GetInstance()->setUUID(QStringLiteral("U%1").arg(i));
            AppData::GetInstance()->setMcuType(short(i));
            PlatformControl::getInstance()->setMcuVersion(QStringLiteral("V%1").arg(i));
            (void)PlatformControl::getInstance()->getCustomerVer();
            BaseControl::getInstance()->sendMcuKeyPressedSignal(i, 0);
            BaseControl::getInstance()->killTimeResumeTimer();
        }
    });
    go = true;
    for (int i = 0; i < kRounds; ++i) {
        AppData *d = AppData::GetInstance();
        d->setLastSource(d->curSource());
        d->setCurSource(i % 11);
        if (d->isAudioSource(tag_SOURCE_ID_T(i % 11)) && d->isDirectSwitchAudioSrc(tag_SOURCE_ID_T(i % 11))) {
            BaseControl::getInstance()->changeMediaSrcSlot(d->curAudioSource(), i % 11);
            d->setCurAudioSource(i % 11);
        }
        (void)d->uuid();
        (void)PlatformControl::getInstance()->mcuVersion();
        (void)platform::HomeState::instance().snapshot();
    }
    receiver.join();
    EXPECT_EQ(AppData::GetInstance()->uuid(), QStringLiteral("U%1").arg(kRounds - 1));
    EXPECT_EQ(AppData::GetInstance()->curSource(), (kRounds - 1) % 11);
    EXPECT_EQ(PlatformControl::getInstance()->mcuVersion(), QStringLiteral("V%1").arg(kRounds - 1));
}
