// The beep request filter: which key presses pass the 120 ms window and raise
// the beep signal, and when the beep slot really plays.

#include "eventclock.h"
#include "meventfilter.h"

#include "appdata.h"
#include "datasavecontrol.h"
#include "journal.h"
#include "setupstridconst.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDataStream>
#include <QFile>
#include <QKeyEvent>
#include <QMetaMethod>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPointer>
#include <QSignalSpy>
#include <QSound>
#include <QSoundEffect>

namespace {

// The filter's clock, driven by the tests. Every case starts far past the last
// window of the case before it: the filter's window start lives for the whole
// process, and a case must not inherit an open window.
qint64 g_now = 0;
int g_clockReads = 0;
qint64 g_nextBase = 2'000'000'000'000; // 2033, ahead of any wall clock in use

qint64 fakeNow()
{
    ++g_clockReads;
    return g_now;
}

QKeyEvent keyPress(int key, const QString &text)
{
    return QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier, text);
}

class BeepWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_previousClock = eventclock::setNowFunction(&fakeNow);
        g_nextBase += 10'000'000;
        m_base = g_nextBase;
        g_now = m_base;
        g_clockReads = 0;
    }
    void TearDown() override { eventclock::setNowFunction(m_previousClock); }

    // Offers a key press at base + offset; true when it raised the beep signal.
    bool pressAt(qint64 offset, int key = Qt::Key_Meta, const QString &text = QStringLiteral("beep"))
    {
        g_now = m_base + offset;
        QKeyEvent event = keyPress(key, text);
        event.ignore();
        QSignalSpy spy(&m_filter, &MEventFilter::mcuPlayBeepSig);
        EXPECT_FALSE(m_filter.eventFilter(&m_target, &event));
        EXPECT_EQ(event.isAccepted(), spy.count() == 1) << "accepted exactly when let through";
        return spy.count() == 1;
    }

    MEventFilter m_filter;
    QObject m_target;
    qint64 m_base = 0;

private:
    eventclock::NowFunction m_previousClock = nullptr;
};

TEST_F(BeepWindowTest, WindowCountsFromThePressThatOpenedIt)
{
    EXPECT_TRUE(pressAt(0));
    EXPECT_FALSE(pressAt(100));
    EXPECT_FALSE(pressAt(120));
    // 121 ms after the opener; the dropped presses at 100 and 120 did not move it.
    EXPECT_TRUE(pressAt(121));
    EXPECT_FALSE(pressAt(241));
    EXPECT_TRUE(pressAt(242));
}

TEST_F(BeepWindowTest, OrdinaryKeyPressOpensAWindowButRaisesNothing)
{
    EXPECT_FALSE(pressAt(0, Qt::Key_A, QStringLiteral("a")));
    EXPECT_FALSE(pressAt(50));
    // The window still runs from the ordinary press at 0, not from the beep at 50.
    EXPECT_TRUE(pressAt(121));

    // "beep" on another key is no request either, yet it opens a window.
    EXPECT_FALSE(pressAt(1000, Qt::Key_B, QStringLiteral("beep")));
    EXPECT_FALSE(pressAt(1100));
    EXPECT_TRUE(pressAt(1121));
}

TEST_F(BeepWindowTest, WallClockSetBackCountsAsAPassedWindow)
{
    EXPECT_TRUE(pressAt(0));
    EXPECT_TRUE(pressAt(-60'000));
    EXPECT_FALSE(pressAt(-59'900));
}

TEST_F(BeepWindowTest, FirstPressOfTheProcessAlwaysPasses)
{
    // Run alone (as CTest runs every case), this is the process's first key
    // press: 121 ms past a window start of 0. After other cases it is far behind
    // their window and passes as a clock set back.
    g_now = 121;
    QKeyEvent event = keyPress(Qt::Key_Meta, QStringLiteral("beep"));
    event.ignore();
    QSignalSpy spy(&m_filter, &MEventFilter::mcuPlayBeepSig);
    EXPECT_FALSE(m_filter.eventFilter(&m_target, &event));
    EXPECT_EQ(spy.count(), 1);
    EXPECT_TRUE(event.isAccepted());
}

struct TextRow {
    const char *name;
    const char *text;
};

void PrintTo(const TextRow &row, std::ostream *os) { *os << '"' << row.text << '"'; }

class BeepTextTest : public BeepWindowTest, public ::testing::WithParamInterface<TextRow>
{
};

TEST_P(BeepTextTest, OnlyTheExactTextIsARequestButEveryTextMovesTheWindow)
{
    EXPECT_FALSE(pressAt(0, Qt::Key_Meta, QString::fromUtf8(GetParam().text)));
    EXPECT_FALSE(pressAt(60));
    EXPECT_TRUE(pressAt(200));
}

INSTANTIATE_TEST_SUITE_P(NearMisses, BeepTextTest,
                         ::testing::Values(TextRow{"Capitalised", "Beep"}, TextRow{"Upper", "BEEP"},
                                           TextRow{"TrailingSpace", "beep "},
                                           TextRow{"LeadingSpace", " beep"}, TextRow{"Shorter", "bee"},
                                           TextRow{"Longer", "beeps"}, TextRow{"Empty", ""}),
                         [](const ::testing::TestParamInfo<TextRow> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(BeepWindowTest, NonKeyPressEventsAreTurnedAwayWithoutReadingTheClock)
{
    EXPECT_TRUE(pressAt(0));
    const int readsBefore = g_clockReads;

    g_now = m_base + 200;
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Meta, Qt::NoModifier, QStringLiteral("beep"));
    release.ignore();
    QMouseEvent mouse(QEvent::MouseButtonPress, QPointF(1, 1), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QPaintEvent paint(QRect(0, 0, 4, 4));
    QKeyEvent shortcut(QEvent::ShortcutOverride, Qt::Key_Meta, Qt::NoModifier, QStringLiteral("beep"));
    QSignalSpy spy(&m_filter, &MEventFilter::mcuPlayBeepSig);
    for (QEvent *e : std::initializer_list<QEvent *>{&release, &mouse, &paint, &shortcut})
        EXPECT_FALSE(m_filter.eventFilter(&m_target, e)) << e->type();
    EXPECT_EQ(spy.count(), 0);
    EXPECT_FALSE(release.isAccepted());
    EXPECT_EQ(g_clockReads, readsBefore);

    // Had any of them moved the window to 200, this press would be 50 ms into it.
    EXPECT_TRUE(pressAt(250));
}

// Sees whether the beep signal had already been raised when its event arrives.
class Receiver : public QObject
{
public:
    bool sawSignalFirst = false;
    int keyPresses = 0;
    const QSignalSpy *spy = nullptr;

    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::KeyPress) {
            ++keyPresses;
            sawSignalFirst = spy && spy->count() == 1;
        }
        return QObject::event(e);
    }
};

TEST_F(BeepWindowTest, InstalledOnTheApplicationItRaisesBeforeDeliveryAndConsumesNothing)
{
    g_now = m_base;
    qApp->installEventFilter(&m_filter);
    Receiver receiver;
    QSignalSpy spy(&m_filter, &MEventFilter::mcuPlayBeepSig);
    receiver.spy = &spy;

    QKeyEvent event = keyPress(Qt::Key_Meta, QStringLiteral("beep"));
    QCoreApplication::sendEvent(&receiver, &event);
    qApp->removeEventFilter(&m_filter);

    EXPECT_EQ(receiver.keyPresses, 1);
    EXPECT_TRUE(receiver.sawSignalFirst);
    EXPECT_EQ(spy.count(), 1);
}

TEST(MEventFilterMeta, MetaObjectHasTheSignalThenTheSlot)
{
    const QMetaObject &mo = MEventFilter::staticMetaObject;
    EXPECT_STREQ(mo.className(), "MEventFilter");
    ASSERT_EQ(mo.methodCount() - mo.methodOffset(), 2);
    const QMetaMethod signal = mo.method(mo.methodOffset());
    const QMetaMethod slot = mo.method(mo.methodOffset() + 1);
    EXPECT_EQ(signal.methodSignature(), QByteArray("mcuPlayBeepSig()"));
    EXPECT_EQ(signal.methodType(), QMetaMethod::Signal);
    EXPECT_EQ(signal.access(), QMetaMethod::Public);
    EXPECT_EQ(slot.methodSignature(), QByteArray("playSound()"));
    EXPECT_EQ(slot.methodType(), QMetaMethod::Slot);
    EXPECT_EQ(slot.access(), QMetaMethod::Public);
    EXPECT_EQ(signal.returnType(), int(QMetaType::Void));
    EXPECT_EQ(slot.returnType(), int(QMetaType::Void));
    EXPECT_EQ(mo.propertyCount() - mo.propertyOffset(), 0);
    EXPECT_EQ(mo.enumeratorCount() - mo.enumeratorOffset(), 0);
    EXPECT_EQ(mo.classInfoCount() - mo.classInfoOffset(), 0);
    EXPECT_EQ(mo.superClass(), &QObject::staticMetaObject);
}

TEST(MEventFilterInstance, OneFilterUntilDeletedThenAFreshOne)
{
    MEventFilter *first = MEventFilter::GetInstance();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(MEventFilter::GetInstance(), first);
    EXPECT_EQ(first->parent(), nullptr);
    EXPECT_EQ(first->m_sound, nullptr);

    QPointer<MEventFilter> watch(first);
    MEventFilter::DeleteInstance();
    EXPECT_TRUE(watch.isNull());
    MEventFilter::DeleteInstance(); // nothing left to delete

    MEventFilter *second = MEventFilter::GetInstance();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->m_sound, nullptr);
    QPointer<MEventFilter> watchSecond(second);
    MEventFilter::DeleteInstance();
    EXPECT_TRUE(watchSecond.isNull());
}

TEST(MEventFilterInstance, DestructorLeavesTheSoundAlone)
{
    QSound sound{QString()};
    QPointer<QSound> watch(&sound);
    {
        MEventFilter filter;
        filter.m_sound = &sound;
    }
    EXPECT_FALSE(watch.isNull());
}

// A short mono 16-bit PCM wav file.
QString writeBeepWav()
{
    const QString path = testsupport::scratchDir("beep") + QStringLiteral("/beep.wav");
    const quint32 samples = 800;
    QByteArray bytes;
    QDataStream s(&bytes, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s.writeRawData("RIFF", 4);
    s << quint32(36 + samples * 2);
    s.writeRawData("WAVEfmt ", 8);
    s << quint32(16) << quint16(1) << quint16(1) << quint32(8000) << quint32(16000) << quint16(2)
      << quint16(16);
    s.writeRawData("data", 4);
    s << quint32(samples * 2);
    for (quint32 i = 0; i < samples; ++i)
        s << qint16((i % 20) * 800 - 8000);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return QString();
    return path;
}

TEST(PlaySoundWithoutSound, NothingIsReadAndNothingHappens)
{
    MEventFilter filter;
    const quint64 mark = platform::Journal::instance().lastSeq();
    filter.playSound();
    const QVector<platform::JournalEntry> calls = platform::Journal::instance().since(mark);
    EXPECT_TRUE(calls.isEmpty()) << calls.first().text.toStdString();
}

class PlaySoundTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        qputenv("XDG_CONFIG_HOME", testsupport::scratchDir("beepconfig").toUtf8());
        DataSaveControl::initQSettingPath();
    }

    void SetUp() override
    {
#if defined(__SANITIZE_THREAD__)
        // A loaded QSound brings Qt Multimedia's sample-cache loader, network
        // and D-Bus threads, which Qt (not built with ThreadSanitizer) orders
        // with mutexes the sanitizer cannot see. playSound() itself runs on
        // one thread; these cases run in the other builds.
        GTEST_SKIP() << "Qt Multimedia's own threads are not visible to ThreadSanitizer";
#endif
        m_wav = writeBeepWav();
        ASSERT_FALSE(m_wav.isEmpty());
        m_sound = std::make_unique<QSound>(m_wav);
        m_effect = m_sound->findChild<QSoundEffect *>();
        ASSERT_NE(m_effect, nullptr);
        m_plays = std::make_unique<QSignalSpy>(m_effect, &QSoundEffect::playingChanged);
        AppData::setAvailable(true);
        AppData::GetInstance()->setAudioInitOK(true);
        setBeep(true);
        m_filter.m_sound = m_sound.get();
    }

    void TearDown() override
    {
        m_filter.m_sound = nullptr;
        AppData::setAvailable(true);
        if (m_sound)
            m_sound->stop();
    }

    static void setBeep(bool on)
    {
        ASSERT_TRUE(DataSaveControl::writeSettingData(SetupStrIdConst::setupSysBeep, QVariant(on)));
    }

    // Calls the slot and returns the journal lines it caused.
    QStringList callPlaySound()
    {
        const quint64 mark = platform::Journal::instance().lastSeq();
        m_filter.playSound();
        QStringList lines;
        for (const platform::JournalEntry &e : platform::Journal::instance().since(mark))
            lines << e.text;
        return lines;
    }

    // play() reached the sound: its effect went to playing.
    bool played() const { return m_plays->count() > 0; }

    static int count(const QStringList &lines, const char *needle)
    {
        int n = 0;
        for (const QString &l : lines)
            n += l.contains(QLatin1String(needle)) ? 1 : 0;
        return n;
    }

    MEventFilter m_filter;
    QString m_wav;
    std::unique_ptr<QSound> m_sound;
    QSoundEffect *m_effect = nullptr;
    std::unique_ptr<QSignalSpy> m_plays;
};

TEST_F(PlaySoundTest, PlaysWhenTheSettingIsOnAndAudioIsReady)
{
    const QStringList calls = callPlaySound();
    EXPECT_TRUE(played());
    ASSERT_EQ(count(calls, "readSettingData"), 1) << calls.join('\n').toStdString();
    EXPECT_EQ(count(calls, "getDefault"), 1);
    const QString read = calls.filter(QStringLiteral("readSettingData")).first();
    EXPECT_TRUE(read.contains(SetupStrIdConst::setupSysBeep)) << read.toStdString();
    EXPECT_EQ(count(calls, "AudioInitOK"), 1);
}

TEST_F(PlaySoundTest, ABeepInProgressIsNeitherInterruptedNorRead)
{
    m_sound->setLoops(QSound::Infinite);
    m_sound->play();
    if (m_sound->isFinished())
        GTEST_SKIP() << "this machine's audio back end never reports a sound as playing";
    m_plays->clear();
    const QStringList calls = callPlaySound();
    EXPECT_TRUE(calls.isEmpty()) << calls.join('\n').toStdString();
    EXPECT_EQ(m_plays->count(), 0);
    EXPECT_FALSE(m_sound->isFinished());
}

TEST_F(PlaySoundTest, SettingOffOrAudioNotReadyDropsTheRequestAndEachCallReadsAnew)
{
    setBeep(false);
    QStringList calls = callPlaySound();
    EXPECT_FALSE(played());
    EXPECT_EQ(count(calls, "readSettingData"), 1);
    EXPECT_EQ(count(calls, "AudioInitOK"), 0);

    setBeep(true);
    AppData::GetInstance()->setAudioInitOK(false);
    calls = callPlaySound();
    EXPECT_FALSE(played());
    EXPECT_EQ(count(calls, "readSettingData"), 1);
    EXPECT_EQ(count(calls, "AudioInitOK"), 1);

    // Nothing was kept from the refused calls, and nothing cached: the next
    // call sees the new audio state and plays.
    AppData::GetInstance()->setAudioInitOK(true);
    callPlaySound();
    EXPECT_TRUE(played());
    EXPECT_EQ(m_plays->count(), 1);
}

TEST_F(PlaySoundTest, MissingSharedDataMeansNoBeepRatherThanACrash)
{
    AppData::setAvailable(false);
    ASSERT_EQ(AppData::GetInstance(), nullptr);
    callPlaySound();
    EXPECT_FALSE(played());
}

} // namespace
