#include "ShellStage.h"

#ifdef Q_OS_UNIX
#  include <signal.h>
#  include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#  include <sys/prctl.h>
#endif
#ifdef Q_OS_WIN
#  include <QDebug>
#  include <qt_windows.h>
#  include <tlhelp32.h>
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
        return { QStringLiteral("cmd"),
                 { QStringLiteral("/c"),
                   QStringLiteral(
                           "for /f %d in (ipconfig.txt) do (ping -n 4 %d >> Linkometer.log)") } };
    return { QStringLiteral("/bin/sh"),
             { QStringLiteral("-c"), unixLoop(QStringLiteral("ping -c 4")) } };
}

Command traceCommand(Platform platform)
{
    if (platform == Platform::Windows)
        return { QStringLiteral("cmd"),
                 { QStringLiteral("/c"),
                   QStringLiteral(
                           "for /f %d in (ipconfig.txt) do (tracert %d >> Linkometer.log)") } };
    return { QStringLiteral("/bin/sh"),
             { QStringLiteral("-c"), unixLoop(QStringLiteral("traceroute")) } };
}

} // namespace ShellStage

ShellProcess::ShellProcess(QObject *parent) : QProcess(parent)
{
#ifdef Q_OS_WIN
    // Whatever the shell starts is in the job too, and the job ends with its
    // last handle, so the tool ending, however it ends, ends the commands.
    job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job
        && !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                    sizeof limits)) {
        CloseHandle(job);
        job = nullptr;
    }
    // The shell starts suspended and runs only once it is in the job, so
    // nothing it starts can escape.
    setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *arguments) {
        arguments->flags |= CREATE_SUSPENDED;
    });
#endif
}

ShellProcess::~ShellProcess()
{
#ifdef Q_OS_WIN
    if (job)
        CloseHandle(job);
#endif
}

void ShellProcess::start(const ShellStage::Command &command)
{
    setProgram(command.program);
    setArguments(command.arguments);
#ifdef Q_OS_UNIX
    toolPid = ::getpid();
#endif
    QProcess::start(QIODevice::ReadWrite);
#ifdef Q_OS_WIN
    if (state() != QProcess::NotRunning)
        enterJob();
#endif
}

void ShellProcess::terminateGroup()
{
#ifdef Q_OS_UNIX
    signalGroup(SIGTERM);
#elif defined(Q_OS_WIN)
    endJob();
#else
    terminate();
#endif
}

void ShellProcess::killGroup()
{
#ifdef Q_OS_UNIX
    signalGroup(SIGKILL);
#elif defined(Q_OS_WIN)
    endJob();
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

#ifdef Q_OS_WIN
void ShellProcess::enterJob()
{
    const DWORD id = DWORD(processId());
    HANDLE process = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, id);
    if (!job || !process || !AssignProcessToJobObject(job, process))
        qWarning().noquote() << "shell outside the job: only the shell itself can be ended:"
                             << qt_error_string(int(GetLastError()));
    if (process)
        CloseHandle(process);
    // QProcess keeps the handle of the shell's one thread to itself; the
    // thread list of the system gives it.
    bool resumed = false;
    HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(threads, &entry); more; more = Thread32Next(threads, &entry)) {
        if (entry.th32OwnerProcessID != id)
            continue;
        if (HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)) {
            resumed = ResumeThread(thread) != DWORD(-1) || resumed;
            CloseHandle(thread);
        }
    }
    if (threads != INVALID_HANDLE_VALUE)
        CloseHandle(threads);
    // A shell that cannot run ends, so that its stage ends too.
    if (!resumed) {
        qWarning().noquote() << "shell could not be resumed:"
                             << qt_error_string(int(GetLastError()));
        kill();
    }
}

void ShellProcess::endJob()
{
    if (state() == QProcess::NotRunning)
        return;
    // With QProcess's own exit code of kill(), so the shell's end reads as a
    // crash exit; the shell itself also directly, in case it is outside the job.
    const UINT killedExitCode = 0xf291;
    if (job)
        TerminateJobObject(job, killedExitCode);
    kill();
}
#endif

#ifdef Q_OS_UNIX
void ShellProcess::setupChildProcess()
{
    ::setpgid(0, 0);
#  ifdef Q_OS_LINUX
    // However the tool ends (a crash, a kill, a lost display), the kernel
    // then asks the shell to end, and its trap ends the command it runs:
    // nothing the tool started writes into the report after it. A tool gone
    // before this line had its shell handed to another parent.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != toolPid)
        ::_exit(1);
#  endif
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
