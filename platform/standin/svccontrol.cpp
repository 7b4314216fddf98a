#include "svccontrol.h"

#include "appdata.h"
#include "soundserver.h"
#include "tracefmt.h"

#include <QMetaType>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <pthread.h>

namespace {

// The services each stage brings up, in start order.
const char *const kDirectStageServices[] = {"audio", "display", "media"};
const char *const kNormalStageServices[] = {"bluetooth", "radio", "navigation", "projection", "update"};

const int s_exeStageMetaType = qRegisterMetaType<SvcControl::ExeStage>("SvcControl::ExeStage");

} // namespace

// The controller's worker: one thread, started on first use, that runs the
// controller's jobs in the order they were given and emits the controller's
// signals for the jobs that asked for them.
class SvcControl::Private
{
public:
    explicit Private(SvcControl *q) : q(q) {}

    ~Private()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
            m_jobs.clear();
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    enum class Kind { Stage, Stop };

    // Queues a job. sync: returns once the job has run, and it emits nothing.
    void run(Kind kind, int stage, bool sync)
    {
        if (sync && m_thread.joinable() && std::this_thread::get_id() == m_thread.get_id()) {
            // Called from a slot running on the worker itself: waiting would never end.
            perform(kind, stage);
            return;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { loop(); });
        const quint64 id = ++m_posted;
        m_jobs.push_back({kind, stage, !sync, id});
        m_wake.notify_all();
        if (sync)
            m_done.wait(lock, [&] { return m_finished >= id || m_quit; });
    }

private:
    struct Job {
        Kind kind;
        int stage;
        bool emitSignal;
        quint64 id;
    };

    void loop()
    {
        pthread_setname_np(pthread_self(), "svc-worker");
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return m_quit || !m_jobs.empty(); });
            if (m_quit)
                return;
            const Job job = m_jobs.front();
            m_jobs.pop_front();
            lock.unlock();
            perform(job.kind, job.stage);
            if (job.emitSignal) {
                if (job.kind == Kind::Stage)
                    emit q->stageReady(SvcControl::ExeStage(job.stage));
                else
                    emit q->finished();
            }
            lock.lock();
            m_finished = job.id;
            m_done.notify_all();
        }
    }

    static void perform(Kind kind, int stage)
    {
        if (kind == Kind::Stop) {
            PLATFORM_TRACE_CALL("SvcControl::worker.finish");
            return;
        }
        auto start = [](const char *service) {
            PLATFORM_TRACE_CALL("SvcControl::worker.startService", QString::fromLatin1(service));
        };
        switch (stage) {
        case SvcControl::DirectStage:
            for (const char *s : kDirectStageServices)
                start(s);
            // The audio service is up: sounds can be played from now on, if
            // it reached the sound server.
            if (AppData *appData = AppData::GetInstance())
                appData->setAudioInitOK(platform::soundServerReached());
            break;
        case SvcControl::NormalStage:
            for (const char *s : kNormalStageServices)
                start(s);
            break;
        default:
            qCWarning(lcPlatform, "SvcControl: stage %d has no services", stage);
            break;
        }
    }

    SvcControl *const q;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::deque<Job> m_jobs;
    quint64 m_posted = 0;
    quint64 m_finished = 0;
    bool m_quit = false;
    std::thread m_thread;
};

SvcControl::SvcControl(QObject *parent) : QObject(parent), d(new Private(this))
{
    Q_UNUSED(s_exeStageMetaType);
    qRegisterMetaType<SvcControl::ExeStage>("SvcControl::ExeStage");
    PLATFORM_TRACE_CALL("SvcControl::SvcControl", static_cast<const void *>(parent));
}

SvcControl::~SvcControl()
{
    // Joins the worker before the signals go: nothing is emitted from a dead controller.
    delete d;
    d = nullptr;
    PLATFORM_TRACE_CALL("SvcControl::~SvcControl");
}

void SvcControl::exeStage(SvcControl::ExeStage stage, bool sync)
{
    PLATFORM_TRACE_CALL("SvcControl::exeStage", int(stage), sync);
    d->run(Private::Kind::Stage, int(stage), sync);
}

void SvcControl::stop(bool sync)
{
    PLATFORM_TRACE_CALL("SvcControl::stop", sync);
    d->run(Private::Kind::Stop, 0, sync);
}
