// main() of every test executable: GoogleTest under a real QApplication, on the
// offscreen platform unless the environment chose one. The stand-ins' call
// trace ("platform" debug lines) and call journal, both off by default, are on:
// tests read them. QT_LOGGING_RULES, read after these rules, can still say no.

#include "testsupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLoggingCategory>

#if LAUNCHER_TEST_JOURNAL
#include "journal.h"
#endif

namespace {
bool s_journalWasOn = false;
}

bool testsupport::journalWasOnAtStart() { return s_journalWasOn; }

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QLoggingCategory::setFilterRules(QString::fromLatin1(testsupport::kPlatformTraceRule));
#if LAUNCHER_TEST_JOURNAL
    s_journalWasOn = platform::Journal::instance().isEnabled();
    platform::Journal::instance().setEnabled(true);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
