#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include "MainWindow.h"
#include "WorkDir.h"

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void widgetTree_data();
    void widgetTree();
    void styleSheets_data();
    void styleSheets();
    void initialState();
    void windowFlags();
    void fixedSize();
    void slotsInOrder();
    void tempFolderBesideExecutable();
    void iconFromWorkingDirectory();
};

void tst_MainWindow::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("widget") << "widget" << "QWidget" << "centralWidget" << QRect(0, 25, 320, 156);
    QTest::newRow("button_start") << "button_start" << "QPushButton" << "widget"
                                  << QRect(188, 110, 120, 32);
    QTest::newRow("bar_prpgress") << "bar_prpgress" << "QProgressBar" << "widget"
                                  << QRect(30, 40, 288, 16);
    QTest::newRow("button_export") << "button_export" << "QPushButton" << "widget"
                                   << QRect(56, 110, 120, 32);
    QTest::newRow("label_message") << "label_message" << "QLabel" << "widget"
                                   << QRect(30, 0, 288, 20);
}

void tst_MainWindow::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralWidget"));

    auto *child = window.findChild<QWidget *>(name);
    QVERIFY(child);
    QCOMPARE(QString::fromLatin1(child->metaObject()->className()), className);
    QCOMPARE(child->parent()->objectName(), parentName);
    QCOMPARE(child->geometry(), geometry);
}

void tst_MainWindow::styleSheets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("styleSheet");
    QTest::newRow("MainWindow") << "MainWindow" << "background-color: rgb(246, 246, 246);";
    QTest::newRow("button_start")
        << "button_start"
        << "border:none;\nbackground-color: rgba(0, 0, 0, 77);\nfont:14px;\nfont: 11pt \"Segoe UI\";";
    QTest::newRow("button_export")
        << "button_export"
        << "QPushButton\n{\nborder:none;\nbackground-color: rgba(0, 0, 0, 77);\nfont:14px;\n"
           "font: 11pt \"Segoe UI\";\n}\n\nQPushButton::disabled\n{\nborder:none;\n"
           "background-color: rgba(0, 0, 0, 51);\nfont:14px;\nfont: 11pt \"Segoe UI\";\n}";
    QTest::newRow("label_message") << "label_message"
                                   << "font-size:14px;\nfont: 11pt \"Segoe UI\";";
    QTest::newRow("bar_prpgress") << "bar_prpgress" << QString();
}

void tst_MainWindow::styleSheets()
{
    QFETCH(QString, name);
    QFETCH(QString, styleSheet);
    MainWindow window;
    QWidget *widget = name == "MainWindow" ? &window : window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->styleSheet(), styleSheet);
}

void tst_MainWindow::initialState()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *start = window.findChild<QPushButton *>("button_start");
    auto *exportButton = window.findChild<QPushButton *>("button_export");
    auto *bar = window.findChild<QProgressBar *>("bar_prpgress");
    auto *label = window.findChild<QLabel *>("label_message");
    QVERIFY(start && exportButton && bar && label);

    QCOMPARE(window.windowTitle(), QStringLiteral("Orvana Speed Test"));
    QCOMPARE(start->text(), QStringLiteral("Start Test"));
    QCOMPARE(exportButton->text(), QStringLiteral("Export Report"));
    QCOMPARE(label->text(), QStringLiteral("Start to Test your internet speed"));
    QVERIFY(start->isEnabled());

    // Export before any run is impossible: a click on the disabled button
    // starts nothing.
    QVERIFY(!exportButton->isEnabled());
    const int childrenBefore = window.children().size();
    QTest::mouseClick(exportButton, Qt::LeftButton);
    QCoreApplication::processEvents();
    QCOMPARE(window.children().size(), childrenBefore);

    QVERIFY(bar->isHidden());
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 0);
    QCOMPARE(bar->value(), 0);

    const QFont font = label->font();
    QCOMPARE(font.family(), QStringLiteral("Segoe UI"));
    QCOMPARE(font.pointSize(), 11);
    QCOMPARE(font.weight(), 50);
    QVERIFY(!font.italic());

    const QSizePolicy policy = window.sizePolicy();
    QCOMPARE(policy.horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(policy.verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(policy.horizontalStretch(), 0);
    QCOMPARE(policy.verticalStretch(), 0);
}

void tst_MainWindow::windowFlags()
{
    MainWindow window;
    const Qt::WindowFlags flags = window.windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    // Qt adds the bits a top-level window needs: Window, title and system menu.
    QCOMPARE(int(flags), 0x08007001);
}

void tst_MainWindow::fixedSize()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(320, 182));
    QCOMPARE(window.minimumSize(), QSize(320, 182));
    QCOMPARE(window.maximumSize(), QSize(320, 182));
    window.resize(640, 480);
    QCoreApplication::processEvents();
    QCOMPARE(window.size(), QSize(320, 182));
}

void tst_MainWindow::slotsInOrder()
{
    const QMetaObject *meta = &MainWindow::staticMetaObject;
    QStringList signatures;
    QList<QMetaMethod::Access> access;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        signatures << QString::fromLatin1(method.methodSignature());
        access << method.access();
    }
    QCOMPARE(signatures, QStringList({"GetSpeedTestResult()",
                                      "GetPingResult(int,QProcess::ExitStatus)",
                                      "GetTraceResult(int,QProcess::ExitStatus)",
                                      "ExportResult()", "downloadFinish()", "testSpeedFinish()"}));
    QCOMPARE(access, QList<QMetaMethod::Access>({QMetaMethod::Private, QMetaMethod::Private,
                                                  QMetaMethod::Private, QMetaMethod::Private,
                                                  QMetaMethod::Public, QMetaMethod::Public}));
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
}

void tst_MainWindow::tempFolderBesideExecutable()
{
    const QString besideExecutable = QCoreApplication::applicationDirPath() + "/temp";
    QDir(besideExecutable).removeRecursively();
    QVERIFY(!QFileInfo::exists(besideExecutable));

    WorkDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir::currentPath() != QDir(QCoreApplication::applicationDirPath()).canonicalPath());
    {
        MainWindow window;
        QVERIFY(QFileInfo(besideExecutable).isDir());
        QVERIFY(!QFileInfo::exists(dir.filePath("temp")));
    }
    // Constructing again with the folder present leaves it as it is.
    QVERIFY(QFile(besideExecutable + "/keep.tmp").open(QIODevice::WriteOnly));
    {
        MainWindow window;
        QVERIFY(QFileInfo::exists(besideExecutable + "/keep.tmp"));
    }
}

void tst_MainWindow::iconFromWorkingDirectory()
{
    WorkDir dir;
    QVERIFY(dir.isValid());
    {
        MainWindow window;
        QVERIFY(window.windowIcon().availableSizes().isEmpty());
    }
    QVERIFY(QFile::copy(QStringLiteral(OSP_ICON_FILE), dir.filePath("OrvanaLogo.ico")));
    MainWindow window;
    QVERIFY(!window.windowIcon().availableSizes().isEmpty());
    QVERIFY(window.windowIcon().availableSizes().contains(QSize(32, 32)));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
