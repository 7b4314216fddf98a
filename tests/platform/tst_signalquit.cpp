// SIGINT and SIGTERM end a running event loop; exec() returns normally.

#include "journal.h"
#include "signalquit.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <thread>

#include <signal.h>

namespace {

// Runs the application's event loop, raising sig from inside it; returns
// exec()'s result, or -1 when the loop had to be ended by the guard timer.
int execRaising(int sig)
{
    QTimer::singleShot(0, [sig] { ::raise(sig); });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    guard.start(60000);
    return QCoreApplication::exec();
}

bool journalHas(const QString &text, quint64 since)
{
    for (const platform::JournalEntry &e : platform::Journal::instance().since(since))
        if (e.text == text && e.mainThread)
            return true;
    return false;
}

} // namespace

// Declared first: in a single run of the executable it must see no handler yet.
TEST(SignalQuit, NotInstalledOffTheMainThread)
{
    bool installed = true;
    std::thread([&] { installed = platform::installQuitOnSignals(); }).join();
    EXPECT_FALSE(installed);
    struct sigaction current {};
    ::sigaction(SIGTERM, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL);
}

TEST(SignalQuit, TermAndIntEndTheEventLoopEachTime)
{
    ASSERT_TRUE(platform::installQuitOnSignals());
    EXPECT_TRUE(platform::installQuitOnSignals()); // a second install changes nothing

    for (int sig : {SIGTERM, SIGINT, SIGTERM}) {
        const quint64 mark = platform::Journal::instance().lastSeq();
        EXPECT_EQ(execRaising(sig), 0) << "signal " << sig;
        EXPECT_TRUE(journalHas("SignalHandler::quit()", mark)) << "signal " << sig;
    }
}
