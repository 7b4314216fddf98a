#include "fuzzentry.h"

#include "chunkplan.h"
#include "mainappprotocolcomm.h"
#include "mcuframer.h"
#include "systemclock.h"

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QTemporaryDir>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace fuzzentry {

namespace {

[[noreturn]] void fault(const char *what, unsigned long long detail = 0)
{
    std::fprintf(stderr, "fuzzentry: %s (%llu)\n", what, detail);
    std::fflush(stderr);
    std::abort();
}

// The clock layer for the whole process: records, never sets.
class RecordingClock : public platform::SystemClock
{
public:
    int setTime(qint64) override
    {
        m_sets.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    std::atomic<unsigned long long> m_sets{0};
};

RecordingClock &recorder()
{
    static RecordingClock clock;
    return clock;
}

bool s_dispatchReady = false;

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

void initDispatch(int *argc, char ***argv)
{
    if (s_dispatchReady)
        return;
    s_dispatchReady = true;

    // Settings the handlers read must not come from the user's own folders.
    static QTemporaryDir home(QDir::tempPath() + QStringLiteral("/launcher-fuzz-XXXXXX"));
    if (home.isValid()) {
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
        qputenv("HOME", home.path().toLocal8Bit());
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    if (!QCoreApplication::instance()) {
        static int s_argc = 1;
        static char s_name[] = "launcher-fuzz";
        static char *s_argv[] = {s_name, nullptr};
        int *useArgc = argc ? argc : &s_argc;
        char **useArgv = argv && *argv ? *argv : s_argv;
        // Lives for the process: destroying it at exit, after Qt's own globals,
        // is not safe, and the process ends right after the last input anyway.
        new QApplication(*useArgc, useArgv);
    }

    platform::setSystemClock(&recorder());
    // Created once and never started: no socket, so every send fails at once.
    tamoappframework::MainAppProtocolComm::GetInstance();
}

int dispatchOneInput(const uint8_t *data, size_t size)
{
    initDispatch(nullptr, nullptr);
    if (platform::systemClock() != &recorder())
        fault("the clock recorder is no longer installed");
    tamoappframework::MainAppProtocolComm *link = tamoappframework::MainAppProtocolComm::GetInstance();

    auto framer = std::make_unique<McuFramer>();
    ChunkPlan plan(data, size);
    const uint8_t *chunk;
    size_t length;
    while (plan.next(&chunk, &length)) {
        while (length > 0) {
            const int took = framer->append(chunk, int(std::min<size_t>(length, size_t(1) << 20)));
            if (took <= 0)
                fault("append took nothing", length);
            chunk += took;
            length -= size_t(took);
            McuFramer::Record rec;
            for (McuFramer::Step s; (s = framer->next(rec)) != McuFramer::Step::NeedMore;) {
                if (s != McuFramer::Step::Record)
                    continue;
                // Exactly the record's own size: 16 bytes of a short record
                // are all the dispatcher may read.
                std::unique_ptr<unsigned char[]> copy(new unsigned char[size_t(rec.size)]);
                std::memcpy(copy.get(), rec.data, size_t(rec.size));
                link->resolvePacket(copy.get());
            }
        }
    }
    // Whatever the stand-ins posted to the event loop is delivered now, so
    // nothing piles up from one input to the next.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    return 0;
}

void quietQtLogs()
{
    qInstallMessageHandler(dropMessage);
}

unsigned long long recordedClockSets()
{
    return recorder().m_sets.load(std::memory_order_relaxed);
}

} // namespace fuzzentry
