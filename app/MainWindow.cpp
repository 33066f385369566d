#include "MainWindow.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QIcon>

#include "FormStyles.h"
#include "MainWindowForm.h"
#include "ReportExport.h"
#include "ReportLog.h"
#include "ShellStage.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      idle(true),
      downloadMgr(nullptr),
      pingProcess(nullptr),
      traceProcess(nullptr),
      testSpeed(nullptr)
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

    setWindowTitle(tr("Orvana Speed Test"));
    setWindowFlags(Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(320, 182);
    setMaximumSize(320, 182);
    setWindowIcon(QIcon(QString::fromLatin1(FormStyles::IconFile)));

    idle = true;
    ui->bar_prpgress->setValue(0);
    ui->bar_prpgress->setMinimum(0);
    ui->bar_prpgress->setMaximum(0);
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
    delete ui;
    // A child that is still running is left to finish: the stage's process
    // belongs to the platform once started, and deleting the QProcess would
    // kill it.
    for (ShellProcess *process : {pingProcess, traceProcess}) {
        if (process->state() == QProcess::NotRunning)
            delete process;
    }
}

void MainWindow::appendLog(const QString &text)
{
    ReportLog::appendLog(logPath, text);
}

void MainWindow::startPing()
{
}

void MainWindow::downloadFinish()
{
    qDebug() << "download finish";
}

void MainWindow::testSpeedFinish()
{
}

void MainWindow::GetSpeedTestResult()
{
}

void MainWindow::GetPingResult(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitCode);
    Q_UNUSED(exitStatus);
}

void MainWindow::GetTraceResult(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitCode);
    Q_UNUSED(exitStatus);
}

void MainWindow::ExportResult()
{
    const QFileInfo report(logPath);
    qDebug().noquote() << "file path: " + report.absoluteDir().absolutePath();
    ReportExport::reveal(report.absoluteFilePath(), this);
}
