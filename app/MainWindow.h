#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QProcess>
#include <QString>
#include <QVector>

#include "RunSetup.h"
#include "ShellStage.h"

namespace Ui {
class MainWindow;
}
class DownloadMgr;
class TestSpeed;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void appendLog(const QString &text);
    void startPing();

    // Only tests point a run at local services; the tool keeps
    // RunSetup::production().
    void setRunSetup(const RunSetup &setup);

private slots:
    void GetSpeedTestResult();
    void GetPingResult(int exitCode, QProcess::ExitStatus exitStatus);
    void GetTraceResult(int exitCode, QProcess::ExitStatus exitStatus);
    void ExportResult();

public slots:
    void downloadFinish();
    void testSpeedFinish();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void startRun();
    void cancelRun();
    void endStaleProcesses();
    ShellStage::Command stageCommand(bool trace) const;
    void stageNotStarted(ShellProcess *process);
    void readDownloadList();
    void runDownloadStage();
    // True while the run numbered run is the active one: not cancelled, not
    // replaced by a newer run and the window not closing.
    bool isRunActive(quint64 run) const;

    Ui::MainWindow *ui;
    bool idle;
    DownloadMgr *downloadMgr;
    ShellProcess *pingProcess;
    ShellProcess *traceProcess;
    TestSpeed *testSpeed;
    QVector<QString> downloadList;
    QString logPath;
    QString downloadConfigPath;

    RunSetup runSetup;
    // Every Start numbers a new run; a stage that waits remembers the number
    // of the run that started it and goes on only while that run is active.
    quint64 currentRun = 0;
    quint64 pingRun = 0;
    quint64 traceRun = 0;
    int reportFailuresAtStart = 0;
    bool closing = false;
};

#endif // MAINWINDOW_H
