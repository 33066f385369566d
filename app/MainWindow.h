#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QProcess>
#include <QString>
#include <QVector>

namespace Ui {
class MainWindow;
}
class DownloadMgr;
class ShellProcess;
class TestSpeed;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void appendLog(const QString &text);
    void startPing();

private slots:
    void GetSpeedTestResult();
    void GetPingResult(int exitCode, QProcess::ExitStatus exitStatus);
    void GetTraceResult(int exitCode, QProcess::ExitStatus exitStatus);
    void ExportResult();

public slots:
    void downloadFinish();
    void testSpeedFinish();

private:
    Ui::MainWindow *ui;
    bool idle;
    DownloadMgr *downloadMgr;
    ShellProcess *pingProcess;
    ShellProcess *traceProcess;
    TestSpeed *testSpeed;
    QVector<QString> downloadList;
    QString logPath;
    QString downloadConfigPath;
};

#endif // MAINWINDOW_H
