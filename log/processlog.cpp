#include "processlog.h"

#include "logwriter.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <pthread.h>
#include <unistd.h>

namespace processlog {

namespace {

// A fatal message's wait for the lines before it.
constexpr int kFatalFlushMs = 250;

Writer *s_writer = nullptr;

void forkPrepare() { s_writer->forkPrepare(); }
void forkParent() { s_writer->forkParent(); }
void forkChild() { s_writer->forkChild(); }

Writer &processWriter()
{
    // Never destroyed: the writer thread may be held by a stalled reader when
    // the process exits.
    static Writer *writer = [] {
        s_writer = new Writer(STDOUT_FILENO, STDERR_FILENO, std::getenv("JOURNAL_STREAM"));
        ::pthread_atfork(&forkPrepare, &forkParent, &forkChild);
        return s_writer;
    }();
    return *writer;
}

Priority priorityOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return Priority::Debug;
    case QtInfoMsg:
        return Priority::Info;
    case QtWarningMsg:
        return Priority::Warning;
    case QtCriticalMsg:
        return Priority::Error;
    case QtFatalMsg:
        return Priority::Critical;
    }
    return Priority::Info;
}

// Qt's own output, with the line queued instead of written on the spot.
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QString formatted = qFormatLogMessage(type, context, message);
    if (formatted.isNull()) // the pattern leaves nothing to write
        return;
    QByteArray line = formatted.toLocal8Bit();
    line.append('\n');
    // The components' trace is bulk; the launcher's own messages are not.
    const bool trace = type == QtDebugMsg && context.category && std::strcmp(context.category, "default") != 0;
    processWriter().write(Stream::Err, priorityOf(type), line.constData(), size_t(line.size()), trace);
    if (type == QtFatalMsg) {
        processWriter().finish(kFatalFlushMs);
        std::abort();
    }
}

} // namespace

void out(Priority priority, const char *text, size_t len)
{
    // The link's debug lines are its per-record lines.
    processWriter().write(Stream::Out, priority, text, len, priority == Priority::Debug);
}

void outMade(LineMaker make, const void *context)
{
    processWriter().writeMade(Stream::Out, Priority::Debug, make, context);
}

void err(Priority priority, const char *text, size_t len)
{
    processWriter().write(Stream::Err, priority, text, len);
}

void outf(Priority priority, const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n <= 0)
        return;
    size_t len = size_t(n);
    if (len >= sizeof line) {
        len = sizeof line - 1;
        line[len - 1] = '\n';
    }
    out(priority, line, len);
}

bool recordLines()
{
    static const bool on = [] {
        const char *v = std::getenv("LAUNCHER_MCU_RECORD_LINES");
        return !v || std::strcmp(v, "off") != 0;
    }();
    return on;
}

bool flush(int timeoutMs)
{
    return processWriter().flush(timeoutMs);
}

Session::Session(int finishTimeoutMs) : m_finishTimeoutMs(finishTimeoutMs)
{
    processWriter(); // the descriptors are looked at now, before anything is written
    qInstallMessageHandler(&messageHandler);
}

Session::~Session()
{
    processWriter().finish(m_finishTimeoutMs);
}

} // namespace processlog
