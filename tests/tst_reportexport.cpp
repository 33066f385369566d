#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <signal.h>

#include "MainWindow.h"
#include "ReportExport.h"
#include "WorkDir.h"

// A file manager of the test's own on a private session bus.
class FileManagerService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QList<QStringList> calls;
    QStringList startupIds;
    QString recordFile; // where the stand-in started by the bus notes its calls

public slots:
    Q_SCRIPTABLE void ShowItems(const QStringList &uris, const QString &startupId)
    {
        calls << uris;
        startupIds << startupId;
        QFile record(recordFile);
        if (!recordFile.isEmpty() && record.open(QIODevice::Append))
            record.write(uris.join(' ').toUtf8() + '\n');
    }
};

// Stands in for the desktop's default handler of file URLs through Qt's own
// handler registry.
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
    void init();
    void explorerCommand_data();
    void explorerCommand();
    void revealThroughFileManager();
    void exportButtonRevealsReport();
    void fallbackWithoutFileManager();
    void revealStartsFileManagerOnDemand();

private:
    bool registerService();
    void unregisterService();

    QTemporaryDir m_dir;
    QProcess m_bus;
    QString m_address;
    FileManagerService m_service;
    UrlRecorder m_recorder;
    bool m_registered = false;
};

void tst_ReportExport::initTestCase()
{
    // A session bus of the test's own that starts what its services folder
    // names on demand, and nothing a desktop has installed.
    QVERIFY(QDir(m_dir.path()).mkdir("services"));
    QFile config(m_dir.filePath("bus.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral("<busconfig><type>session</type><listen>unix:tmpdir=%1</listen>"
                                "<servicedir>%1/services</servicedir><policy context=\"default\">"
                                "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
                                "</policy></busconfig>")
                     .arg(m_dir.path())
                     .toUtf8());
    config.close();
    m_bus.start("dbus-daemon", {"--config-file=" + config.fileName(), "--nofork", "--print-address=1"});
    QVERIFY2(m_bus.waitForStarted(), "dbus-daemon is needed (package dbus)");
    QTRY_VERIFY_WITH_TIMEOUT(m_bus.canReadLine(), 10000);
    m_address = QString::fromLatin1(m_bus.readLine().trimmed());
    QVERIFY(!m_address.isEmpty());
    // Before the first use of the session bus, so the product's code and the
    // service below meet on the private bus, never on a desktop's.
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toLatin1());
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    QDesktopServices::setUrlHandler("file", &m_recorder, "open");
}

void tst_ReportExport::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler("file");
    unregisterService();
    QDBusConnection::disconnectFromBus("filemanager");
    m_bus.terminate();
    m_bus.waitForFinished();
}

void tst_ReportExport::init()
{
    m_service.calls.clear();
    m_service.startupIds.clear();
    m_recorder.opened.clear();
}

bool tst_ReportExport::registerService()
{
    QDBusConnection connection = QDBusConnection::connectToBus(m_address, "filemanager");
    if (!connection.isConnected())
        return false;
    m_registered = connection.registerObject(ReportExport::FileManagerPath, &m_service,
                                             QDBusConnection::ExportScriptableSlots)
        && connection.registerService(ReportExport::FileManagerService);
    return m_registered;
}

void tst_ReportExport::unregisterService()
{
    if (!m_registered)
        return;
    QDBusConnection connection(QStringLiteral("filemanager"));
    connection.unregisterService(ReportExport::FileManagerService);
    connection.unregisterObject(ReportExport::FileManagerPath);
    m_registered = false;
}

void tst_ReportExport::explorerCommand_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("split");
    QTest::newRow("plain") << "C:/Tools/Linkometer.log"
                           << "explorer.exe /select, C:\\Tools\\Linkometer.log"
                           << QStringList{"explorer.exe", "/select,", "C:\\Tools\\Linkometer.log"};
    QTest::newRow("blanks") << "C:/Users/Jo Doe/My Tools/Linkometer.log"
                            << "explorer.exe /select, \"C:\\Users\\Jo Doe\\My Tools\\Linkometer.log\""
                            << QStringList{"explorer.exe", "/select,",
                                           "C:\\Users\\Jo Doe\\My Tools\\Linkometer.log"};
    QTest::newRow("backslashes kept") << "D:\\data/run/Linkometer.log"
                                      << "explorer.exe /select, D:\\data\\run\\Linkometer.log"
                                      << QStringList{"explorer.exe", "/select,",
                                                     "D:\\data\\run\\Linkometer.log"};
}

void tst_ReportExport::explorerCommand()
{
    QFETCH(QString, path);
    QFETCH(QString, command);
    QFETCH(QStringList, split);
    QCOMPARE(ReportExport::explorerCommand(path), command);
    // The command is started as one string, which QProcess splits at blanks
    // honouring quotes: the path must come out as one argument.
    QCOMPARE(QProcess::splitCommand(ReportExport::explorerCommand(path)), split);
}

void tst_ReportExport::revealThroughFileManager()
{
    QVERIFY(registerService());
    QObject owner;
    QElapsedTimer timer;
    timer.start();
    ReportExport::reveal("/srv/reports/Linkometer.log", &owner);
    // The service answers from this thread's event loop, so a blocking call
    // could not have been answered yet.
    QVERIFY(m_service.calls.isEmpty());
    QVERIFY(timer.elapsed() < 1000);
    QTRY_COMPARE(m_service.calls.size(), 1);
    QCOMPARE(m_service.calls.first(), QStringList{"file:///srv/reports/Linkometer.log"});
    QCOMPARE(m_service.startupIds.first(), QString());
    QTest::qWait(200);
    QVERIFY(m_recorder.opened.isEmpty());
    unregisterService();
}

void tst_ReportExport::exportButtonRevealsReport()
{
    QVERIFY(registerService());
    WorkDir dir;
    QVERIFY(dir.isValid());
    MainWindow window;
    window.show();
    auto *button = window.findChild<QPushButton *>("button_export");
    QVERIFY(button);
    button->setEnabled(true);
    // The report need not exist yet.
    QVERIFY(!QFileInfo::exists("Linkometer.log"));
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE(m_service.calls.size(), 1);
    QCOMPARE(m_service.calls.first(),
             QStringList{QUrl::fromLocalFile(QDir::current().absoluteFilePath("Linkometer.log"))
                             .toString()});
    unregisterService();
}

void tst_ReportExport::fallbackWithoutFileManager()
{
    QObject owner;
    ReportExport::reveal("/srv/reports/Linkometer.log", &owner);
    QTRY_COMPARE(m_recorder.opened.size(), 1);
    QCOMPARE(m_recorder.opened.first(), QUrl::fromLocalFile("/srv/reports"));
    QVERIFY(m_service.calls.isEmpty());
    // The pending call's watcher is released once it has answered.
    QTRY_VERIFY(owner.children().isEmpty());
}

void tst_ReportExport::revealStartsFileManagerOnDemand()
{
    // The stand-in is this program, started by the bus as GNOME's is.
    const QString record = m_dir.filePath("shown");
    QFile service(m_dir.filePath("services/fm.service"));
    QVERIFY(service.open(QIODevice::WriteOnly));
    service.write(QStringLiteral("[D-BUS Service]\nName=%1\nExec=\"%2\" --file-manager \"%3\"\n")
                      .arg(ReportExport::FileManagerService, QCoreApplication::applicationFilePath(), record)
                      .toUtf8());
    service.close();
    auto shown = [&record] {
        QFile file(record);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QObject owner;
    ReportExport::reveal("/srv/reports/Linkometer.log", &owner);
    QTRY_COMPARE_WITH_TIMEOUT(shown(), QByteArray("file:///srv/reports/Linkometer.log\n"), 10000);
    QTRY_VERIFY(owner.children().isEmpty());
    QVERIFY(m_recorder.opened.isEmpty());

    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    const pid_t standIn = pid_t(bus->servicePid(ReportExport::FileManagerService).value());
    QVERIFY(standIn > 0);
    ::kill(standIn, SIGTERM);
    QTRY_VERIFY(!bus->isServiceRegistered(ReportExport::FileManagerService).value());
    QVERIFY(service.remove());
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--file-manager") == 0) {
        QCoreApplication app(argc, argv);
        FileManagerService service;
        service.recordFile = QString::fromLocal8Bit(argv[2]);
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::ActivationBus, "starter");
        if (!bus.registerObject(ReportExport::FileManagerPath, &service, QDBusConnection::ExportScriptableSlots)
            || !bus.registerService(ReportExport::FileManagerService))
            return 1;
        // Never outlives a test run that failed to stop it.
        QTimer::singleShot(60000, &app, &QCoreApplication::quit);
        return app.exec();
    }
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    tst_ReportExport test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_reportexport.moc"
