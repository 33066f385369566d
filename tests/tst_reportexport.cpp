#include <QPushButton>
#include <QtTest>

#include "Columns.h"
#include "MainWindow.h"
#include "ReportExport.h"
#include "WorkDir.h"

#ifdef Q_OS_WIN
// Export starts Explorer with a command line it reads itself, commas separating arguments.
class tst_ReportExport : public QObject
{
    Q_OBJECT

private slots:
    void explorerCommand()
    {
        QCOMPARE(ReportExport::explorerArguments("C:/Users/a,b/Linkometer.log"),
                 "/select, \"C:\\Users\\a,b\\Linkometer.log\"");
    }
};
#else
#  include <QDBusConnection>
#  include <QDBusPendingCallWatcher>
#  include <QDesktopServices>

// The desktop's file manager and its default handler of file URLs: they note what they are asked
// to show.
class FileManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QStringList shown;

public slots:
    Q_SCRIPTABLE void ShowItems(const QStringList &uris, const QString &) { shown += uris; }
    void open(const QUrl &url) { shown << url.toString(); }
};

// Export on a private session bus: the file manager shows the report, or, where the bus has none,
// the desktop opens its folder (the report need not exist yet).
class tst_ReportExport : public QObject
{
    Q_OBJECT
    WorkDir m_dir;
    QProcess m_bus;
    FileManager m_manager;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.write("bus.conf",
                            "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                            "<policy context=\"default\"><allow send_destination=\"*\"/>"
                            "<allow receive_sender=\"*\"/>"
                            "<allow own=\"*\"/></policy></busconfig>"));
        m_bus.start("dbus-daemon", { "--config-file=bus.conf", "--nofork", "--print-address=1" });
        QTRY_VERIFY(m_bus.canReadLine());
        // Before the first use of the session bus: never a desktop's bus.
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());
        QDesktopServices::setUrlHandler("file", &m_manager, "open");
    }

    void exportButton_data()
    {
        columns<bool, QString>("fileManager", "shown");
        QTest::newRow("no file manager: its folder opens") << false << "";
        QTest::newRow("file manager") << true << "Linkometer.log";
    }
    void exportButton()
    {
        QFETCH(bool, fileManager);
        QFETCH(QString, shown);
        QVERIFY(!fileManager
                || (QDBusConnection::sessionBus().registerObject(
                            ReportExport::FileManagerPath, &m_manager,
                            QDBusConnection::ExportScriptableSlots)
                    && QDBusConnection::sessionBus().registerService(
                            ReportExport::FileManagerService)));
        m_manager.shown.clear();
        MainWindow window;
        auto *button = window.findChild<QPushButton *>("button_export");
        button->setEnabled(true);
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_COMPARE(
                m_manager.shown,
                QStringList(
                        QUrl::fromLocalFile(QDir::current().absoluteFilePath(shown)).toString()));
        QTRY_VERIFY(window.findChildren<QDBusPendingCallWatcher *>().isEmpty()); // released
    }
};
#endif

QTEST_MAIN(tst_ReportExport)
#include "tst_reportexport.moc"
