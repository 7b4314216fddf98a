// Process entry of the launcher: the head unit's main user-interface process.

#include "commandline.h"
#include "fontconfigloader.h"
#include "processclock.h"
#include "processlog.h"
#include "mainappprotocolcomm.h"
#include "mainstart.h"
#include "meventfilter.h"
#include "quitsignals.h"
#include "servicenotifier.h"
#include "startupreport.h"

#include <QApplication>
#include <QDebug>
#include <QTextCodec>

#include <csignal>

int main(int argc, char *argv[])
{
    // The start-up's checkpoints count from the process's start, which this
    // fixes while nothing has yet slept.
    processclock::msSinceStart();
    // --help and --version are answered before anything starts, so that they
    // work without a display.
    if (const int rc = commandline::answerInformational(argc, argv); rc >= 0)
        return rc;

    // Every line goes through the process log, Qt's messages too, so that no
    // thread but its writer waits for a reader; the last lines get 250 ms.
    const processlog::Session log(250);
    // A reader of standard output that goes away, or an MCU service that dies
    // mid-write, costs lines or a record (EPIPE), never the process.
    std::signal(SIGPIPE, SIG_IGN);

    // The home screen's fonts need the system's font configuration: it is
    // read on a second processor while the application is made.
    FontConfigLoader fontConfig;
    QApplication app(argc, argv);
    // One line of checkpoints when the first frame is on screen.
    StartupReport startupReport;
    // SIGTERM and SIGINT end the event loop, so the teardown below runs.
    installQuitSignals();
    // Readiness, watchdog and status for the service manager, when it asks.
    ServiceNotifier notifier;

    qDebug() << "\n\n\n ";
    qDebug() << "\t             QT new Launcher start !!";
    qDebug() << "\n";
    qDebug() << "\t app build: " << commandline::buildDate() << "  " << commandline::buildTime();
    qDebug() << "\n\n\n ";
    qDebug() << "\t app version:" << commandline::version();

    app.installEventFilter(MEventFilter::GetInstance());

    MainStart mainStart;
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    mainStart.start();
    startupReport.mark(StartupReport::OwnStepsDone);
    QObject::connect(&startupReport, &StartupReport::firstFrameOnScreen, &notifier,
                     &ServiceNotifier::firstFrameOnScreen);
    notifier.watchLink(tamoappframework::MainAppProtocolComm::GetInstance());
    // Before the event loop shows the home screen, its first font.
    fontConfig.waitLoaded(std::chrono::seconds(10));

    const int ret = app.exec();

    notifier.unwatchLink();
    // No MCU record is dispatched into components that are being torn down: the
    // receive thread ends here, before anything it calls into is destroyed.
    tamoappframework::MainAppProtocolComm::GetInstance()->Stop();
    // The filter goes first; the driver, the application and at last the log's
    // bounded flush as the scope ends.
    MEventFilter::DeleteInstance();
    return ret;
}
