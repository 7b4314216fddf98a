#include "mcuhandlers.h"

#include "mcurouting.h"

#include "processlog.h"

#include "activitymanager.h"
#include "appdata.h"
#include "basecontrol.h"
#include "datadefault.h"
#include "datasavecontrol.h"
#include "platformcontrol.h"
#include "setupstridconst.h"
#include "systemclock.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QDebug>
#include <QString>
#include <QTime>
#include <QVariant>

#include <cstdio>
#include <cstring>

namespace tamoappframework {

namespace {

// An MCU clock at or below this (180 days less one second after the epoch), or
// negative, has not been set since the MCU lost power.
constexpr qint64 kLatestUnsetMcuClock = 15551999;

// Version report text buffers: the customer and SDK texts hold at most 39 bytes,
// of the date text the report carries 13.
constexpr int kVersionTextLimit = 39;
constexpr int kDateVersionBytes = 13;
constexpr unsigned char kCarriageReturn = 0x0D;

// A 32-bit word read as a two's-complement signed number, without relying on
// implementation-defined narrowing.
qint64 asSigned32(uint32_t v)
{
    return v > 0x7FFFFFFFu ? qint64(v) - (qint64(1) << 32) : qint64(v);
}

// "00" "01" ... "99": two digits per division.
struct DigitPairs {
    char text[200];
    constexpr DigitPairs() : text()
    {
        for (int i = 0; i < 100; ++i) {
            text[2 * i] = char('0' + i / 10);
            text[2 * i + 1] = char('0' + i % 10);
        }
    }
};
constexpr DigitPairs kDigitPairs;

int decimalDigits(uint32_t v)
{
    int n = 1;
    for (uint32_t limit = 10; n < 10 && v >= limit; limit *= 10)
        ++n;
    return n;
}

// Writes v in decimal at p, from its last digit back; returns the end.
char *appendDecimal(char *p, uint32_t v)
{
    char *const end = p + decimalDigits(v);
    char *d = end;
    while (v >= 100) {
        const char *pair = kDigitPairs.text + 2 * (v % 100);
        v /= 100;
        *--d = pair[1];
        *--d = pair[0];
    }
    if (v >= 10) {
        *--d = kDigitPairs.text[2 * v + 1];
        *--d = kDigitPairs.text[2 * v];
    } else {
        *--d = char('0' + v);
    }
    return end;
}

char *appendText(char *p, const char *text, size_t len)
{
    std::memcpy(p, text, len);
    return p + len;
}

// "Main app normal msg:%u, p1:%u, p2:%u.\n" on C standard output. Every short
// record writes it, so it is put together by hand (printf's format parsing was
// most of the cost of a short record), and only when the log has room for it:
// under a flood, a dropped line costs its count only.
size_t makeNormalMsgLine(char *buf, size_t size, const void *context)
{
    static constexpr char kHead[] = "Main app normal msg:";
    static constexpr char kP1[] = ", p1:";
    static constexpr char kP2[] = ", p2:";
    static constexpr char kTail[] = ".\n";
    constexpr size_t kLongest = sizeof kHead + sizeof kP1 + sizeof kP2 + sizeof kTail + 3 * 10;
    if (size < kLongest)
        return 0;
    const auto *msg = static_cast<const McuShortMsg *>(context);
    char *p = appendText(buf, kHead, sizeof kHead - 1);
    p = appendDecimal(p, msg->msg);
    p = appendText(p, kP1, sizeof kP1 - 1);
    p = appendDecimal(p, msg->p1);
    p = appendText(p, kP2, sizeof kP2 - 1);
    p = appendDecimal(p, msg->p2);
    p = appendText(p, kTail, sizeof kTail - 1);
    return size_t(p - buf);
}

short asSigned16(uint32_t v)
{
    const int low = int(v & 0xFFFFu);
    return static_cast<short>(low > 0x7FFF ? low - 0x10000 : low);
}

// Copies text up to its first zero byte and at most limit bytes; returns the
// number of bytes copied, so a count and the bytes it describes always agree.
int copyText(unsigned char *dst, const QByteArray &text, int limit)
{
    const int n = int(qstrnlen(text.constData(), uint(qMin(text.size(), limit))));
    std::memcpy(dst, text.constData(), size_t(n));
    return n;
}

MCU_STEER_KEY_STUDY_DATA keyStudyData(const unsigned char *payload)
{
    MCU_STEER_KEY_STUDY_DATA data;
    std::memset(&data, 0, sizeof data);
    data.keyStatus = payload[0];
    data.keyIndex = payload[1];
    data.keyCount = payload[2];
    data.studyState = payload[3];
    data.adcChannel = payload[4];
    data.reserved = payload[5];
    data.adcValue = mcu::loadBe16(payload + 6);
    data.adcMin = mcu::loadBe16(payload + 8);
    data.adcMax = mcu::loadBe16(payload + 10);
    data.adcValue2 = mcu::loadBe16(payload + 12);
    data.adcMin2 = mcu::loadBe16(payload + 14);
    data.adcMax2 = mcu::loadBe16(payload + 16);
    return data;
}

} // namespace

void MainAppProtocolComm::Handlers::handle(const unsigned char *record)
{
    const McuRoute route = routeOf(record);
    if (mcu::loadLe32(record) == mcu::kKindShort) {
        // Only 16 bytes are valid behind a short record.
        McuShortMsg msg;
        std::memcpy(&msg, record, sizeof msg);
        if (processlog::recordLines())
            processlog::outMade(&makeNormalMsgLine, &msg);
        handleShort(route, msg);
        return;
    }
    if (route == McuRoute::Ignore)
        return;
    tag_MCUSRV_TO_MAIN_APP_T rec;
    std::memcpy(&rec, record, sizeof rec);
    handleLong(route, rec);
}

void MainAppProtocolComm::Handlers::handleShort(McuRoute route, const McuShortMsg &msg)
{
    switch (route) {
    case McuRoute::ParamValue:
        // The MCU expects the acknowledgement before the framework acts on the value.
        m_link.SendDataToMcu(MSG_A2M_SHORT, MSG_A2M_PARAM_ACK, 0);
        if (const auto activities = ActivityManager::self())
            activities->receiveParamFromMcu(msg.p2);
        break;
    case McuRoute::ParamEject:
        BaseControl::getInstance()->ejectSlot();
        break;
    case McuRoute::KeyPressed:
        BaseControl::getInstance()->sendMcuKeyPressedSignal(static_cast<int>(uint32_t(msg.p1)),
                                                            static_cast<int>(uint32_t(msg.p2)));
        break;
    case McuRoute::VersionQuery:
        onVersionQuery();
        break;
    case McuRoute::McuType:
        onMcuType(msg);
        break;
    case McuRoute::ShortToActivity:
        if (const auto activities = ActivityManager::self())
            activities->receiveShortMsgFromMcu(msg);
        break;
    default:
        break;
    }
}

void MainAppProtocolComm::Handlers::handleLong(McuRoute route, const tag_MCUSRV_TO_MAIN_APP_T &rec)
{
    switch (route) {
    case McuRoute::LongToBaseControl:
        BaseControl::getInstance()->RecevieMsgFromMcu(rec);
        break;
    case McuRoute::McuTime:
        onMcuTime(rec);
        break;
    case McuRoute::McuVersion:
        onMcuVersion(rec);
        break;
    case McuRoute::KeyStudy:
        BaseControl::getInstance()->ReceiveKeyStudyMsgFromMcu(keyStudyData(rec.payload));
        break;
    case McuRoute::RdsTime:
        onRdsTime(rec);
        break;
    case McuRoute::Sim:
        BaseControl::getInstance()->RecevieSIMMsgFromMcu(rec);
        break;
    case McuRoute::Mcm:
        BaseControl::getInstance()->RecevieMCMMsgFromMcu(rec);
        break;
    case McuRoute::Uuid:
        onUuid(rec);
        break;
    case McuRoute::CanToActivity:
        if (const auto activities = ActivityManager::self())
            activities->receiveCanMsgFromMcu(rec);
        break;
    default:
        break;
    }
}

void MainAppProtocolComm::Handlers::noteCurrentSource(int id)
{
    if (processlog::recordLines())
        processlog::outf(processlog::Priority::Debug, "current src id:%d\n", id);

    AppData *data = AppData::GetInstance();
    if (!data)
        return;
    data->setLastSource(data->curSource());
    data->setCurSource(id);
    const auto source = static_cast<tag_SOURCE_ID_T>(id);
    if (data->isAudioSource(source)) {
        data->setIsFirstRun(true);
        if (data->isDirectSwitchAudioSrc(source)) {
            BaseControl::getInstance()->changeMediaSrcSlot(data->curAudioSource(), id);
            data->setCurAudioSource(id);
        }
    }
}

void MainAppProtocolComm::Handlers::onMcuTime(const tag_MCUSRV_TO_MAIN_APP_T &rec)
{
    const qint64 mcuTime = asSigned32(mcu::loadBe32(rec.payload + 1));
    if (mcuTime > kLatestUnsetMcuClock) {
        platform::systemClock()->setTime(mcuTime);
    } else {
        // The MCU has no clock yet: start both sides from 2021-01-01 at the
        // current time of day, and tell the MCU.
        QDateTime fallback = QDateTime::currentDateTime();
        fallback.setDate(QDate(2021, 1, 1));
        const qint64 fallbackTime = fallback.toSecsSinceEpoch();
        platform::systemClock()->setTime(fallbackTime);
        m_link.SendTimeClockToMcu(MSG_A2M_TIME_CLOCK, static_cast<unsigned int>(fallbackTime));
    }
    BaseControl::getInstance()->killTimeResumeTimer();
}

void MainAppProtocolComm::Handlers::onRdsTime(const tag_MCUSRV_TO_MAIN_APP_T &rec)
{
    const QString &key = SetupStrIdConst::setupSyncRdsTime;
    const bool byDefault = DataDefault::getDefault(key).toBool();
    if (!DataSaveControl::readSettingData(key, QVariant(byDefault), QString()).toBool())
        return;

    const int hour = rec.payload[1];
    const int minute = rec.payload[2];
    if (hour > 23 || minute > 59) {
        qDebug("==========>MSG_M2A_RDS_TIME: no such time of day %d:%d, clock left unchanged",
               hour, minute);
        return;
    }

    QDateTime when = QDateTime::currentDateTime();
    when.setTime(QTime(hour, minute, 0, 0));
    if (!when.isValid()) {
        // A local time skipped by a daylight-saving change.
        qDebug("==========>MSG_M2A_RDS_TIME: %02d:%02d does not exist today, clock left unchanged",
               hour, minute);
        return;
    }
    const qint64 t = when.toSecsSinceEpoch();
    platform::systemClock()->setTime(t);
    m_link.SendTimeClockToMcu(MSG_A2M_TIME_CLOCK, static_cast<unsigned int>(t));
}

void MainAppProtocolComm::Handlers::onMcuVersion(const tag_MCUSRV_TO_MAIN_APP_T &rec)
{
    PlatformControl *platformControl = PlatformControl::getInstance();
    if (!platformControl)
        return;
    // The text starts at payload byte 1 and never reaches past the payload's end.
    const char *text = reinterpret_cast<const char *>(rec.payload + 1);
    const int length = int(qstrnlen(text, uint(mcu::kPayloadSize - 1)));
    platformControl->setMcuVersion(QString::fromUtf8(text, length));
}

void MainAppProtocolComm::Handlers::onUuid(const tag_MCUSRV_TO_MAIN_APP_T &rec)
{
    char prefix[16] = {};
    prefix[0] = static_cast<char>(rec.payload[1]);
    prefix[1] = static_cast<char>(rec.payload[2]);
    char digits[16] = {};
    std::snprintf(digits, sizeof digits, "%014u",
                  static_cast<unsigned int>(mcu::loadBe32(rec.payload + 5)));

    const QString uuid = QString::fromUtf8(prefix) + QLatin1String(digits);
    qDebug() << "==========>uuid:" << uuid << "len=" << uuid.length();
    if (AppData *data = AppData::GetInstance())
        data->setUUID(uuid);
}

void MainAppProtocolComm::Handlers::onMcuType(const McuShortMsg &msg)
{
    const uint32_t type = msg.p1;
    qDebug("==========>MSG_M2A_MCU_TYPE: %u", type);
    if (AppData *data = AppData::GetInstance())
        data->setMcuType(asSigned16(type));
}

void MainAppProtocolComm::Handlers::onVersionQuery()
{
    PlatformControl *platformControl = PlatformControl::getInstance();
    if (!platformControl) {
        qDebug("==========>MSG_M2A_VERSION_QUERY: no platform information, no version report");
        return;
    }
    const QByteArray customer = platformControl->getCustomerVer().toLocal8Bit();
    const QByteArray sdk = platformControl->getSDKVer().toLocal8Bit();
    const QByteArray date = BaseControl::getInstance()->getDateVersion().toLocal8Bit();

    McuLongMsg report;
    std::memset(&report, 0, sizeof report);
    report.kind = mcu::kKindMcu;
    report.id = MSG_A2M_VERSION_INFO;

    unsigned char *p = report.payload + 1;
    unsigned char *customerCount = p++;
    const int n = copyText(p, customer, kVersionTextLimit);
    *customerCount = static_cast<unsigned char>(n);
    p += n;
    unsigned char *sdkCount = p++;
    const int m = copyText(p, sdk, kVersionTextLimit);
    *sdkCount = static_cast<unsigned char>(m);
    p += m;
    *p++ = kCarriageReturn;
    copyText(p, date, kDateVersionBytes); // the rest of the 13 bytes stays zero
    report.payload[0] = static_cast<unsigned char>(n + m + 3 + kDateVersionBytes);

    m_link.SendData(&report, int(sizeof report));
}

} // namespace tamoappframework
