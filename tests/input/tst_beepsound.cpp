// The framework hands the launcher's beep filter its sound: the filter is
// found among the program's exported symbols, gets the framework's sound once,
// and its beep signal reaches its own slot, so an MCU key press plays.

#include "meventfilter.h"

#include "appdata.h"
#include "basecontrol.h"
#include "beepsound.h"
#include "datasavecontrol.h"
#include "journal.h"
#include "modulemanager.h"
#include "setupstridconst.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QKeyEvent>
#include <QPointer>
#include <QSignalSpy>
#include <QSound>
#include <QSoundEffect>

#include <thread>

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>

using tamoappframework::ModuleManager;

namespace {

QStringList callsSince(quint64 mark)
{
    QStringList lines;
    for (const platform::JournalEntry &e : platform::Journal::instance().since(mark))
        lines << e.text;
    return lines;
}

int countOf(const QStringList &lines, const QString &prefix)
{
    int n = 0;
    for (const QString &l : lines)
        n += l.startsWith(prefix) ? 1 : 0;
    return n;
}

// How many times playSound() ran: each run asks for the beep setting's default
// first (the filter has a sound from the framework in these cases).
int playSoundRuns(const QStringList &lines)
{
    return countOf(lines, QStringLiteral("DataDefault::getDefault(\"") + SetupStrIdConst::setupSysBeep);
}

class BeepHandOverTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        const QString scratch = testsupport::scratchDir("beephandover");
        qputenv("XDG_CONFIG_HOME", scratch.toUtf8());
        DataSaveControl::initQSettingPath();
        // The framework makes its sound only where a sound server answers:
        // a socket that takes connections stands for one (the sound library
        // gets no answer from it and plays into nothing).
        const QByteArray path = QFile::encodeName(scratch + QStringLiteral("/pulse-native"));
        ::unlink(path.constData());
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        qstrncpy(addr.sun_path, path.constData(), sizeof addr.sun_path);
        s_server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::bind(s_server, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ASSERT_EQ(::listen(s_server, 16), 0);
        qputenv("PULSE_SERVER", "unix:" + path);
    }

    void SetUp() override
    {
        m_filter = MEventFilter::GetInstance();
        m_filter->m_sound = nullptr;
    }

    void TearDown() override
    {
        // The framework's sound is never destroyed; its sample's load, which
        // Qt Multimedia finishes through the event loop, is let end.
        EXPECT_TRUE(platform::waitForBeepSoundLoad(10000));
        MEventFilter::DeleteInstance();
    }

    MEventFilter *m_filter = nullptr;
    static inline int s_server = -1; // open for the process
};

TEST_F(BeepHandOverTest, TheAccessorIsFoundAtRunTime)
{
    void *filter = ::dlsym(RTLD_DEFAULT, platform::kBeepFilterAccessor);
    void *slot = ::dlsym(RTLD_DEFAULT, platform::kBeepSoundSlotAccessor);
    ASSERT_NE(filter, nullptr) << "the executable must export the filter's accessor";
    ASSERT_NE(slot, nullptr) << "the executable must export the sound's accessor";
    EXPECT_EQ(reinterpret_cast<QObject *(*)()>(filter)(), m_filter);
    EXPECT_EQ(reinterpret_cast<QSound **(*)()>(slot)(), &m_filter->m_sound);
}

TEST_F(BeepHandOverTest, FilterGetsTheSoundOnceAndEachSignalRunsTheSlotOnce)
{
    const quint64 mark = platform::Journal::instance().lastSeq();
    ModuleManager::initModule(nullptr);
    ASSERT_NE(m_filter->m_sound, nullptr) << callsSince(mark).join('\n').toStdString();
    QSound *sound = m_filter->m_sound;
    EXPECT_EQ(sound->fileName(), platform::beepSoundPath());
    QFile file(sound->fileName());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), platform::beepWav());
    const QStringList handed = callsSince(mark);
    EXPECT_EQ(countOf(handed, "Framework::handBeepSound(filter found)"), 1) << handed.join('\n').toStdString();
    EXPECT_EQ(countOf(handed, "Framework::handBeepSound(mcuPlayBeepSig() connected to playSound())"), 1);

    // Handed over again: the same sound, and still one connection.
    ModuleManager::initModule(nullptr);
    EXPECT_EQ(m_filter->m_sound, sound);

    const quint64 beforeSignal = platform::Journal::instance().lastSeq();
    emit m_filter->mcuPlayBeepSig();
    EXPECT_EQ(playSoundRuns(callsSince(beforeSignal)), 1) << callsSince(beforeSignal).join('\n').toStdString();

    // A filter made anew (DeleteInstance, GetInstance) is handed the same sound.
    MEventFilter::DeleteInstance();
    m_filter = MEventFilter::GetInstance();
    ASSERT_EQ(m_filter->m_sound, nullptr);
    ModuleManager::initModule(nullptr);
    EXPECT_EQ(m_filter->m_sound, sound);
}

TEST_F(BeepHandOverTest, ASoundOfTheFiltersOwnIsKeptAndAGoneSoundIsNotLeftBehind)
{
    QSound own{QString()};
    m_filter->m_sound = &own;
    ModuleManager::initModule(nullptr);
    EXPECT_EQ(m_filter->m_sound, &own);
    m_filter->m_sound = nullptr;

    // The framework's sound goes (with the application, or earlier): the
    // filter no longer points at it.
    ModuleManager::initModule(nullptr);
    QPointer<QSound> framework(m_filter->m_sound);
    ASSERT_FALSE(framework.isNull());
    // Qt Multimedia cannot destroy a sound whose sample is still loading
    // without the event loop: let the load end first.
    ASSERT_TRUE(platform::waitForBeepSoundLoad(10000));
    delete framework.data();
    EXPECT_EQ(m_filter->m_sound, nullptr);

    // A new one is made at the next hand-over.
    ModuleManager::initModule(nullptr);
    EXPECT_NE(m_filter->m_sound, nullptr);
}

TEST_F(BeepHandOverTest, ABeepKeyPressPlaysThroughTheFilter)
{
#if defined(__SANITIZE_THREAD__)
    // Playing brings Qt Multimedia's own threads, whose Qt-internal ordering
    // ThreadSanitizer cannot see. The hand-over itself is checked above.
    GTEST_SKIP() << "Qt Multimedia's own threads are not visible to ThreadSanitizer";
#endif
    ModuleManager::initModule(nullptr);
    ASSERT_NE(m_filter->m_sound, nullptr);
    auto *effect = m_filter->m_sound->findChild<QSoundEffect *>();
    ASSERT_NE(effect, nullptr);
    QSignalSpy playing(effect, &QSoundEffect::playingChanged);
    AppData::GetInstance()->setAudioInitOK(true);
    ASSERT_TRUE(DataSaveControl::writeSettingData(SetupStrIdConst::setupSysBeep, QVariant(true)));

    qApp->installEventFilter(m_filter);
    const quint64 mark = platform::Journal::instance().lastSeq();
    // The control layer hears of the key on the MCU link's receive thread;
    // the framework's key click reaches the filter on the main thread.
    std::thread([] { BaseControl::getInstance()->sendMcuKeyPressedSignal(3, 1); }).join();
    const bool ran = testsupport::waitFor([&] { return countOf(callsSince(mark), "AppData::AudioInitOK") > 0; });
    qApp->removeEventFilter(m_filter);
    ASSERT_TRUE(ran) << callsSince(mark).join('\n').toStdString();
    const QStringList calls = callsSince(mark);
    EXPECT_EQ(playSoundRuns(calls), 1) << calls.join('\n').toStdString();
    EXPECT_EQ(countOf(calls, "DataSaveControl::readSettingData(\"" + SetupStrIdConst::setupSysBeep), 1);
    // play() reached the sound (a machine without audio plays into nothing).
    EXPECT_TRUE(testsupport::waitFor([&] { return playing.count() > 0; }));
    m_filter->m_sound->stop();
}

} // namespace
