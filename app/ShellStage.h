#ifndef SHELLSTAGE_H
#define SHELLSTAGE_H

#include <QProcess>
#include <QString>
#include <QStringList>

// The ping and tracert stages run a shell loop over the host list
// "ipconfig.txt" that appends each command's output to the report.
// The command texts are built for a platform given as a parameter; each
// build's tests run its own platform's commands for real (cmd under Wine).
namespace ShellStage {

enum class Platform { Windows, Unix };

struct Command
{
    QString program;
    QStringList arguments;
};

Platform hostPlatform();

Command pingCommand(Platform platform);
Command traceCommand(Platform platform);

} // namespace ShellStage

// A QProcess whose child leads a process group of its own on Unix, or runs
// in a job object of its own on Windows, so that ending the stage also ends
// the ping or traceroute the shell is running (ending the shell alone would
// leave it writing to the report).
class ShellProcess : public QProcess
{
    Q_OBJECT

public:
    explicit ShellProcess(QObject *parent = nullptr);
    ~ShellProcess() override;

    void start(const ShellStage::Command &command);

    // Ask the whole group to end (SIGTERM); a process that is not running
    // is not affected. Windows has no such request that a console program
    // heeds, so there the whole job ends at once.
    void terminateGroup();
    // End the whole group at once (SIGKILL; the whole job on Windows).
    void killGroup();
    // Ends everything the stage started and returns once the shell is gone:
    // a request to end first, a kill after graceMsecs. The one place that
    // ends a stage's tree.
    void endTree(int graceMsecs);

protected:
#ifdef Q_OS_UNIX
    void setupChildProcess() override;
#endif

private:
    void signalGroup(int signalNumber);
#ifdef Q_OS_UNIX
    qint64 toolPid = 0;
#endif
#ifdef Q_OS_WIN
    void enterJob();
    void endJob();

    void *job = nullptr; // a HANDLE
#endif
};

#endif // SHELLSTAGE_H
