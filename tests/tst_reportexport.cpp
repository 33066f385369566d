#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDesktopServices>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <signal.h>

#include "MainWindow.h"
#include "ReportExport.h"
#include "WorkDir.h"

// The file manager: this very program, started by a private session bus on
// demand as a desktop's is; it notes every ShowItems call in a file.
class FileManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QString record;

public slots:
    Q_SCRIPTABLE void ShowItems(const QStringList &uris, const QString &)
    {
        QFile file(record);
        if (file.open(QIODevice::Append))
            file.write(uris.join(' ').toUtf8() + '\n');
    }
};

// The desktop's default handler of file URLs.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened << url; }
};

class tst_ReportExport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void exportButton_data();
    void exportButton();

private:
    QTemporaryDir m_dir;
    QProcess m_bus;
    UrlRecorder m_recorder;
};

void tst_ReportExport::initTestCase()
{
    QVERIFY(QDir(m_dir.path()).mkdir("services"));
    QFile config(m_dir.filePath("bus.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral("<busconfig><type>session</type><listen>unix:tmpdir=%1</listen>"
                                "<servicedir>%1/services</servicedir><policy context=\"default\">"
                                "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
                                "</policy></busconfig>")
                     .arg(m_dir.path()).toUtf8());
    config.close();
    m_bus.start("dbus-daemon", {"--config-file=" + config.fileName(), "--nofork", "--print-address=1"});
    QVERIFY2(m_bus.waitForStarted(), "dbus-daemon is needed (package dbus)");
    QTRY_VERIFY_WITH_TIMEOUT(m_bus.canReadLine(), 10000);
    // Before the first use of the session bus: never a desktop's bus.
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    QDesktopServices::setUrlHandler("file", &m_recorder, "open");
}

void tst_ReportExport::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler("file");
    m_bus.terminate();
    m_bus.waitForFinished();
}

void tst_ReportExport::exportButton_data()
{
    QTest::addColumn<bool>("fileManager");
    QTest::newRow("no file manager: its folder opens") << false;
    QTest::newRow("file manager started on demand") << true;
}

void tst_ReportExport::exportButton()
{
    QFETCH(bool, fileManager);
    const QString record = m_dir.filePath("shown");
    QFile service(m_dir.filePath("services/fm.service"));
    if (fileManager) {
        QVERIFY(service.open(QIODevice::WriteOnly));
        service.write(QStringLiteral("[D-BUS Service]\nName=%1\nExec=\"%2\" --file-manager \"%3\"\n")
                          .arg(ReportExport::FileManagerService, QCoreApplication::applicationFilePath(), record)
                          .toUtf8());
        service.close();
    }
    WorkDir dir;
    MainWindow window;
    window.show();
    auto *button = window.findChild<QPushButton *>("button_export");
    button->setEnabled(true);
    m_recorder.opened.clear();
    // The report need not exist yet.
    QTest::mouseClick(button, Qt::LeftButton);
    const QString report = QDir::current().absoluteFilePath("Linkometer.log");
    auto shown = [&record] {
        QFile file(record);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    if (!fileManager) {
        QTRY_COMPARE(m_recorder.opened, QList<QUrl>{QUrl::fromLocalFile(QDir::currentPath())});
        QCOMPARE(shown(), QByteArray());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(shown(), QUrl::fromLocalFile(report).toEncoded() + '\n', 10000);
    QCOMPARE(m_recorder.opened, QList<QUrl>());
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    const pid_t pid = pid_t(bus->servicePid(ReportExport::FileManagerService).value());
    QVERIFY2(pid > 0, "the file manager's process is not known"); // never kill(0): that is this process group
    ::kill(pid, SIGTERM);
    QTRY_VERIFY(!bus->isServiceRegistered(ReportExport::FileManagerService).value());
    QVERIFY(service.remove());
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--file-manager") == 0) {
        QCoreApplication app(argc, argv);
        FileManager manager;
        manager.record = QString::fromLocal8Bit(argv[2]);
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::ActivationBus, "starter");
        if (!bus.registerObject(ReportExport::FileManagerPath, &manager, QDBusConnection::ExportScriptableSlots)
            || !bus.registerService(ReportExport::FileManagerService))
            return 1;
        // Never outlives a test run that failed to stop it.
        QTimer::singleShot(60000, &app, &QCoreApplication::quit);
        return app.exec();
    }
    QApplication app(argc, argv);
    tst_ReportExport test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_reportexport.moc"
