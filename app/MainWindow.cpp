#include "MainWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QTimer>

#if defined(__GLIBC__)
#  include <malloc.h>
#endif

#include "Client.h"
#include "DownloadList.h"
#include "DownloadMgr.h"
#include "DownloadStage.h"
#include "EndpointChecks.h"
#include "FormStyles.h"
#include "MainWindowForm.h"
#include "ReportExport.h"
#include "ReportLog.h"
#include "ServerList.h"
#include "ShellStage.h"
#include "TestSpeed.h"

namespace {

// How long a child of a cancelled run may take to honour the termination
// request before a new run kills it.
const int StaleProcessGraceMsecs = 1000;

// Hands the memory a run freed back to the system, once the run's objects
// are gone. glibc raises its threshold for mapping a block of its own to the
// largest such block freed, for good; the file downloads pass through
// blocks of up to twice the reply's read buffer, so after the first run
// those come from the heap, which keeps the freed memory, and a window left
// open would grow with every run. Smaller read buffers or copies, or a fixed
// threshold, make the file downloads several times slower.
void releaseFreedMemory(QObject *context)
{
#if defined(__GLIBC__)
    QTimer::singleShot(0, context, [] { malloc_trim(0); });
#else
    Q_UNUSED(context);
#endif
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      idle(true),
      downloadMgr(nullptr),
      pingProcess(nullptr),
      traceProcess(nullptr),
      testSpeed(nullptr),
      runSetup(RunSetup::production())
{
    ui->setupUi(this);

    pingProcess = new ShellProcess;
    traceProcess = new ShellProcess;

    connect(ui->button_start, &QPushButton::clicked, this, &MainWindow::GetSpeedTestResult);
    connect(ui->button_export, &QPushButton::clicked, this, &MainWindow::ExportResult);
    connect(pingProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &MainWindow::GetPingResult);
    connect(traceProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &MainWindow::GetTraceResult);
    for (ShellProcess *process : { pingProcess, traceProcess }) {
        connect(process, &QProcess::errorOccurred, this,
                [this, process](QProcess::ProcessError error) {
                    if (error == QProcess::FailedToStart)
                        stageNotStarted(process);
                });
    }

    setWindowTitle(tr("Orvana Speed Test"));
    setWindowFlags(Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(320, 182);
    setWindowIcon(QIcon(QString::fromLatin1(FormStyles::IconFile)));

    idle = true;
    ui->bar_prpgress->setRange(0, 0); // busy
    logPath = QString::fromLatin1(ReportLog::DefaultPath);
    ui->button_export->setEnabled(false);
    ui->bar_prpgress->hide();
    downloadConfigPath = QStringLiteral("./downloadConfig.txt");

    const QString tempDir = QCoreApplication::applicationDirPath() + QStringLiteral("/temp");
    if (!QDir(tempDir).exists())
        QDir().mkpath(tempDir);
}

MainWindow::~MainWindow()
{
    // Nothing of a run outlives the window to write into the report; what
    // the ending commands still deliver finds the run over.
    closing = true;
    for (ShellProcess *process : { pingProcess, traceProcess })
        process->endTree(StaleProcessGraceMsecs);
    if (downloadMgr)
        downloadMgr->deleteLater();
    // The event loop has ended when the window goes, so a deferred deletion
    // of the speed test would never be carried out.
    delete testSpeed;
    delete ui;
    delete pingProcess;
    delete traceProcess;
}

void MainWindow::setRunSetup(const RunSetup &setup)
{
    runSetup = setup;
}

void MainWindow::appendLog(const QString &text)
{
    ReportLog::appendLog(logPath, text);
}

bool MainWindow::isRunActive(quint64 run) const
{
    return !idle && !closing && run == currentRun;
}

void MainWindow::GetSpeedTestResult()
{
    if (idle)
        startRun();
    else
        cancelRun();
}

void MainWindow::startRun()
{
    idle = false;
    ++currentRun;
    reportFailuresAtStart = ReportLog::failedAppends();
    qDebug() << "start click";

    ui->button_start->setText(tr("Cancel"));
    ui->bar_prpgress->show();
    ui->label_message->setText(tr("Checking download..."));

    endStaleProcesses();

    // The previous run's manager has nothing in flight any more.
    if (downloadMgr)
        downloadMgr->deleteLater();
    downloadMgr = new DownloadMgr(this);

    // Every ending of a run (its end, Cancel, closing) has released and
    // cleared the previous speed test.
    Q_ASSERT(!testSpeed);
    testSpeed = new TestSpeed(nullptr);
    if (!runSetup.configsUrl.isEmpty())
        testSpeed->client()->setConfigsUrl(runSetup.configsUrl);
    if (!runSetup.serversUrl.isEmpty())
        testSpeed->serverList()->setServersUrl(runSetup.serversUrl);

    TestSpeed *speedTest = testSpeed;
    connect(speedTest, &TestSpeed::errorStringChanged, speedTest,
            [speedTest] { qDebug().noquote() << "Err:" << speedTest->errorString(); });
    connect(speedTest, &TestSpeed::statusStringChanged, speedTest,
            [speedTest] { qDebug().noquote() << "Stt:" << speedTest->statusString(); });
    speedTest->start();
    connect(speedTest, &TestSpeed::finished, this, &MainWindow::testSpeedFinish);
}

// A child of a cancelled run that ignored the termination request must not
// write into the new run's report, nor be taken for the new run's stage.
void MainWindow::endStaleProcesses()
{
    for (ShellProcess *process : { pingProcess, traceProcess })
        process->endTree(StaleProcessGraceMsecs);
}

void MainWindow::cancelRun()
{
    idle = true;
    if (downloadMgr) {
        downloadMgr->deleteLater();
        downloadMgr = nullptr;
    }
    pingProcess->terminateGroup();
    traceProcess->terminateGroup();
    if (testSpeed) {
        // The deferred deletion alone would leave it a moment to write into
        // the report past the cancel marker, or into the next run's part.
        testSpeed->cancel();
        testSpeed->deleteLater();
        testSpeed = nullptr;
    }
    ui->bar_prpgress->hide();
    downloadList.clear();
    ui->label_message->setText(tr("Start to test your internet speed"));
    ui->button_start->setText(tr("Start Test"));
    appendLog(QString::fromLatin1(ReportLog::CancelMarker));
    releaseFreedMemory(this);
}

void MainWindow::testSpeedFinish()
{
    // Only the current run's speed test hands over: Cancel, closing and the
    // end of a run release it, and it finishes once.
    if (sender() != testSpeed)
        return;
    appendLog(QString::fromLatin1(ReportLog::SeparatorLine));

    // The speed test announces finished from deep inside its own handlers;
    // the download stage waits in nested event loops, where a Cancel would
    // release the speed test under those frames. So it starts from the
    // event loop, once this delivery has returned.
    const quint64 run = currentRun;
    QTimer::singleShot(0, this, [this, run] {
        if (!isRunActive(run))
            return;
        readDownloadList();
        runDownloadStage();
    });
}

void MainWindow::readDownloadList()
{
    downloadList = DownloadList::read(downloadConfigPath);
}

void MainWindow::runDownloadStage()
{
    const quint64 run = currentRun;
    DownloadStage stage(downloadMgr, logPath, [this, run] { return isRunActive(run); });
    if (stage.run(downloadList)) // false once the run is no longer active
        startPing();
}

void MainWindow::startPing()
{
    ui->label_message->setText(tr("Checking ping..."));
    pingRun = currentRun;
    pingProcess->start(stageCommand(false));
}

ShellStage::Command MainWindow::stageCommand(bool trace) const
{
    const ShellStage::Platform platform = ShellStage::hostPlatform();
    ShellStage::Command command =
            trace ? ShellStage::traceCommand(platform) : ShellStage::pingCommand(platform);
    if (!runSetup.shell.isEmpty())
        command.program = runSetup.shell;
    return command;
}

// A shell that cannot start never finishes: its stage ends like a failed
// command, with a line that says so, and the run goes on.
void MainWindow::stageNotStarted(ShellProcess *process)
{
    const bool trace = process == traceProcess;
    const quint64 run = trace ? traceRun : pingRun;
    const QString line = QStringLiteral("%1 could not start: %2 \n")
                                 .arg(trace ? QStringLiteral("tracert") : QStringLiteral("ping"),
                                      process->errorString());
    // Some platforms report it from inside start(): the stage ends from the
    // event loop either way.
    QTimer::singleShot(0, this, [this, run, trace, line] {
        if (!isRunActive(run))
            return;
        appendLog(line);
        if (trace)
            GetTraceResult(-1, QProcess::CrashExit);
        else
            GetPingResult(-1, QProcess::CrashExit);
    });
}

void MainWindow::GetPingResult(int exitCode, QProcess::ExitStatus exitStatus)
{
    qDebug() << "ping finished";
    qDebug() << "ping exit code: " << exitCode;
    qDebug() << "ping exit status: " << int(exitStatus);
    if (!isRunActive(pingRun))
        return;

    traceRun = currentRun;
    // Before the command starts: neither cmd's >> nor our append is atomic,
    // so the tool and the shell never write at the same time.
    appendLog(QString::fromLatin1(ReportLog::SeparatorLine));
    traceProcess->start(stageCommand(true));
    ui->label_message->setText(tr("Checking tracert..."));
}

void MainWindow::GetTraceResult(int exitCode, QProcess::ExitStatus exitStatus)
{
    qDebug() << "trace finished";
    qDebug() << "trace exit code: " << exitCode;
    qDebug() << "trace exit status: " << int(exitStatus);
    const quint64 run = traceRun;
    if (!isRunActive(run))
        return;

    appendLog(QString::fromLatin1(ReportLog::FinishMarker));

    const bool completed = runSetup.endpointChecks.runEndpointChecks(
            logPath, [this, run] { return isRunActive(run); },
            [this, run] { return closing || currentRun != run; });
    if (!completed) // cancelled, replaced by a newer run or closing meanwhile
        return;

    idle = true;
    ui->button_start->setText(tr("Start Test"));
    ui->button_export->setEnabled(true);
    ui->bar_prpgress->hide();
    // The shell's own appends fail along with the window's, which always
    // writes in the ping and tracert stages.
    if (ReportLog::failedAppends() != reportFailuresAtStart)
        ui->label_message->setText(tr("Report could not be written in full"));
    else
        ui->label_message->setText(tr("Finished Test. Export Report to us"));
    if (testSpeed) {
        testSpeed->deleteLater();
        testSpeed = nullptr;
    }
    releaseFreedMemory(this);
}

void MainWindow::downloadFinish()
{
    qDebug() << "download finish";
}

void MainWindow::ExportResult()
{
    const QFileInfo report(logPath);
    qDebug().noquote() << "file path: " + report.absoluteDir().absolutePath();
    ReportExport::reveal(report.absoluteFilePath(), this);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // A stage waiting in a nested event loop must not go on once the window
    // is closing; the run's objects go with it, and so do the ping and
    // tracert commands, which would write into the report after the tool.
    closing = true;
    pingProcess->endTree(StaleProcessGraceMsecs);
    traceProcess->endTree(StaleProcessGraceMsecs);
    if (downloadMgr) {
        downloadMgr->deleteLater();
        downloadMgr = nullptr;
    }
    if (testSpeed) {
        testSpeed->cancel();
        testSpeed->deleteLater();
        testSpeed = nullptr;
    }
    QMainWindow::closeEvent(event);
}
