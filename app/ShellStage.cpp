#include "ShellStage.h"

#ifdef Q_OS_UNIX
#include <signal.h>
#include <unistd.h>
#endif

namespace ShellStage {

namespace {

// POSIX sh loop with the reading rules of cmd's "for /f": the first word of
// each line (blanks or tabs separate words, a CR of a CRLF file counts as
// white space), empty lines and lines starting with ";" skipped. The host is
// only ever a quoted argument after "--", so a line is data, never code and
// never an option. A missing host list makes "exec" fail, which ends a
// non-interactive shell at once with a non-zero exit code. The commands' own
// errors (an unknown host, an unreachable network) go to the report too, in
// order with their output, as cmd's commands print them on Windows.
// The host command runs in the background of a "wait", which a signal ends
// at once: asked to end, the shell takes the command with it, so one that
// ignores the request cannot outlive the shell and write into a later run.
QString unixLoop(const QString &hostCommand)
{
    return QStringLiteral("trap 'kill -KILL $! 2>/dev/null; trap - TERM; kill -TERM $$' TERM; "
                          "exec <ipconfig.txt || exit 2; "
                          "while IFS=' \t\r' read -r h rest || [ -n \"$h\" ]; do "
                          "case $h in ''|';'*) continue;; esac; "
                          "%1 -- \"$h\" >>Linkometer.log 2>&1 & wait $!; "
                          "done")
        .arg(hostCommand);
}

} // namespace

Platform hostPlatform()
{
#ifdef Q_OS_WIN
    return Platform::Windows;
#else
    return Platform::Unix;
#endif
}

Command pingCommand(Platform platform)
{
    if (platform == Platform::Windows)
        return {QStringLiteral("cmd"),
                {QStringLiteral("/c"),
                 QStringLiteral("for /f %d in (ipconfig.txt) do (ping -n 4 %d >> Linkometer.log)")}};
    return {QStringLiteral("/bin/sh"), {QStringLiteral("-c"), unixLoop(QStringLiteral("ping -c 4"))}};
}

Command traceCommand(Platform platform)
{
    if (platform == Platform::Windows)
        return {QStringLiteral("cmd"),
                {QStringLiteral("/c"),
                 QStringLiteral("for /f %d in (ipconfig.txt) do (tracert %d >> Linkometer.log)")}};
    return {QStringLiteral("/bin/sh"), {QStringLiteral("-c"), unixLoop(QStringLiteral("traceroute"))}};
}

} // namespace ShellStage

ShellProcess::ShellProcess(QObject *parent)
    : QProcess(parent)
{
}

ShellProcess::~ShellProcess() = default;

void ShellProcess::start(const ShellStage::Command &command)
{
    setProgram(command.program);
    setArguments(command.arguments);
    QProcess::start(QIODevice::ReadWrite);
}

void ShellProcess::terminateGroup()
{
#ifdef Q_OS_UNIX
    signalGroup(SIGTERM);
#else
    terminate();
#endif
}

void ShellProcess::killGroup()
{
#ifdef Q_OS_UNIX
    signalGroup(SIGKILL);
#else
    kill();
#endif
}

void ShellProcess::endTree(int graceMsecs)
{
    if (state() == QProcess::NotRunning)
        return;
    terminateGroup();
    if (!waitForFinished(graceMsecs)) {
        killGroup();
        waitForFinished(graceMsecs);
    }
}

#ifdef Q_OS_UNIX
void ShellProcess::setupChildProcess()
{
    ::setpgid(0, 0);
}
#endif

void ShellProcess::signalGroup(int signalNumber)
{
#ifdef Q_OS_UNIX
    const qint64 pid = processId();
    if (state() == QProcess::NotRunning || pid <= 0)
        return;
    // The group may already be gone when the shell has just ended.
    if (::kill(-static_cast<pid_t>(pid), signalNumber) != 0)
        ::kill(static_cast<pid_t>(pid), signalNumber);
#else
    Q_UNUSED(signalNumber);
#endif
}
