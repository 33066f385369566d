#ifndef SHELLSTAGE_H
#define SHELLSTAGE_H

#include <QProcess>
#include <QString>
#include <QStringList>

// The ping and tracert stages run a shell loop over the host list
// "ipconfig.txt" that appends each command's output to the report.
// The command texts are built for a platform given as a parameter, so the
// Windows texts are checked on every build host.
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

// A QProcess whose child leads a process group of its own on Unix, so that
// ending the stage also ends the ping or traceroute the shell is running
// (a signal to the shell alone would leave it writing to the report).
class ShellProcess : public QProcess
{
    Q_OBJECT

public:
    explicit ShellProcess(QObject *parent = nullptr);
    ~ShellProcess() override;

    void start(const ShellStage::Command &command);

    // Ask the whole group to end (SIGTERM); a process that is not running
    // is not affected.
    void terminateGroup();
    // End the whole group at once (SIGKILL).
    void killGroup();
    // Ends everything the stage started and returns once the shell is gone:
    // a request to end first, a kill after graceMsecs. The one place that
    // ends a stage's tree; on Windows it ends the shell alone so far.
    void endTree(int graceMsecs);

protected:
#ifdef Q_OS_UNIX
    void setupChildProcess() override;
#endif

private:
    void signalGroup(int signalNumber);
};

#endif // SHELLSTAGE_H
