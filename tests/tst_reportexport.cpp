#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include "MainWindow.h"
#include "ReportExport.h"
#include "LocalService.h"
#include "WorkDir.h"

#ifdef Q_OS_WIN
// Export starts Explorer: the stand-in program (StandIn.cpp), found in the
// working folder before Windows' own, prints the arguments it was given.
class tst_ReportExport : public QObject
{
    Q_OBJECT

private slots:
    void exportButton_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("plain") << QString();
        QTest::newRow("blanks") << "Jo Doe";
    }

    void exportButton()
    {
        QFETCH(QString, folder);
        WorkDir dir;
        QVERIFY(folder.isEmpty() || (QDir().mkdir(folder) && QDir::setCurrent(folder)));
        QVERIFY(QFile::copy(QCoreApplication::applicationDirPath() + "/osp_standin.exe",
                            "explorer.exe"));
        MainWindow window;
        window.show();
        auto *button = window.findChild<QPushButton *>("button_export");
        button->setEnabled(true);
        // The report need not exist yet.
        QTest::mouseClick(button, Qt::LeftButton);
        auto *explorer = window.findChild<QProcess *>(QString(), Qt::FindDirectChildrenOnly);
        QVERIFY(explorer && explorer->waitForFinished(10000));
        QCOMPARE(QString::fromLocal8Bit(explorer->readAllStandardOutput()),
                 "explorer [/select,]["
                         + QDir::toNativeSeparators(
                                 QDir::current().absoluteFilePath("Linkometer.log"))
                         + "]\n");
    }
};

QTEST_MAIN(tst_ReportExport)
#else
#  include <QDBusConnection>
#  include <QDBusConnectionInterface>
#  include <QDesktopServices>

#  include <signal.h>

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
    WorkDir m_dir;
    QProcess m_bus;
    UrlRecorder m_recorder;

private slots:
    void initTestCase()
    {
        QVERIFY(QDir(m_dir.path()).mkdir("services"));
        QVERIFY(m_dir.write(
                "bus.conf",
                QStringLiteral(
                        "<busconfig><type>session</type><listen>unix:tmpdir=%1</"
                        "listen><servicedir>%1/"
                        "services</servicedir><policy context=\"default\"><allow "
                        "send_destination=\"*\"/>"
                        "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>")
                        .arg(m_dir.path())
                        .toUtf8()));
        m_bus.start(
                "dbus-daemon",
                { "--config-file=" + m_dir.filePath("bus.conf"), "--nofork", "--print-address=1" });
        QVERIFY2(m_bus.waitForStarted(), "dbus-daemon is needed (package dbus)");
        QTRY_VERIFY_WITH_TIMEOUT(m_bus.canReadLine(), scaled(10000));
        // Before the first use of the session bus: never a desktop's bus.
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        QDesktopServices::setUrlHandler("file", &m_recorder, "open");
    }
    void cleanupTestCase()
    {
        QDesktopServices::unsetUrlHandler("file");
        m_bus.terminate();
        m_bus.waitForFinished();
    }

    void exportButton_data()
    {
        // Whether the bus can start a file manager; what it was asked to show, and what the desktop
        // opened
        // (<report>: the report's path, <folder>: its folder's; the report need not exist yet).
        QTest::addColumn<bool>("fileManager");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("opened");
        QTest::newRow("no file manager: its folder opens") << false << ""
                                                           << "<folder>";
        QTest::newRow("file manager started on demand") << true << "<report>\n"
                                                        << "";
    }
    void exportButton()
    {
        QFETCH(bool, fileManager);
        QFETCH(QString, shown);
        QFETCH(QString, opened);
        WorkDir dir;
        const QString record = dir.filePath("shown"),
                      service = m_dir.filePath("services/fm.service");
        QVERIFY(!fileManager
                || dir.write(
                        service,
                        QStringLiteral(
                                "[D-BUS Service]\nName=%1\nExec=\"%2\" --file-manager \"%3\"\n")
                                .arg(ReportExport::FileManagerService,
                                     QCoreApplication::applicationFilePath(), record)
                                .toUtf8()));
        MainWindow window;
        window.show();
        auto *button = window.findChild<QPushButton *>("button_export");
        button->setEnabled(true);
        m_recorder.opened.clear();
        QTest::mouseClick(button, Qt::LeftButton);
        const auto fill = [&dir](QString text) {
            return text
                    .replace("<report>",
                             QUrl::fromLocalFile(dir.filePath("Linkometer.log")).toEncoded())
                    .replace("<folder>", QUrl::fromLocalFile(dir.path()).toEncoded());
        };
        QTRY_COMPARE_WITH_TIMEOUT(QString(dir.read(record))
                                          + (m_recorder.opened.isEmpty()
                                                     ? ""
                                                     : m_recorder.opened.first().toEncoded()),
                                  fill(shown) + fill(opened), scaled(10000));
        QTest::qWait(100); // nothing more comes
        QCOMPARE(m_recorder.opened.size(), int(!opened.isEmpty()));
        if (!fileManager)
            return;
        QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
        const pid_t pid = pid_t(bus->servicePid(ReportExport::FileManagerService).value());
        QVERIFY2(pid > 0, "the file manager's process is not known"); // never kill(0): that is this
                                                                      // process group
        ::kill(pid, SIGTERM);
        QTRY_VERIFY(!bus->isServiceRegistered(ReportExport::FileManagerService).value());
        QVERIFY(QFile::remove(service));
    }
};

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--file-manager") == 0) {
        QCoreApplication app(argc, argv);
        FileManager manager;
        manager.record = QString::fromLocal8Bit(argv[2]);
        QDBusConnection bus =
                QDBusConnection::connectToBus(QDBusConnection::ActivationBus, "starter");
        if (!bus.registerObject(ReportExport::FileManagerPath, &manager,
                                QDBusConnection::ExportScriptableSlots)
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
#endif
#include "tst_reportexport.moc"
