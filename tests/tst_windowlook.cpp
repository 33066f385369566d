#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "Columns.h"
#include "DesktopScaling.h"
#include "MainWindow.h"

// Contrast of a widget's text as rendered, after WCAG 2 with luminance from grey levels: its
// lightest colour against its darkest (the widgets draw no borders; the edge pixels may be
// blended).
double contrast(QWidget *widget)
{
    const QImage shot = widget->window()
                                ->grab(QRect(widget->mapTo(widget->window(), QPoint(1, 1)),
                                             widget->size() - QSize(2, 2)))
                                .toImage();
    int light = 0, dark = 255;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const int grey = qGray(shot.pixel(x, y));
            light = qMax(light, grey), dark = qMin(dark, grey);
        }
    return (std::pow(light / 255.0, 2.2) + 0.05) / (std::pow(dark / 255.0, 2.2) + 0.05);
}

// The window's texts at the desktop scales users have, under the desktop's own palette and a dark
// one: each text of each state fits its widget and reads clearly.
class tst_WindowLook : public QObject
{
    Q_OBJECT

private slots:
    void look()
    {
        QStringList faults;
        for (const QPalette &palette : { QApplication::palette(), QPalette(Qt::black) }) {
            QApplication::setPalette(palette);
            MainWindow window;
            auto *label = window.findChild<QLabel *>("label_message");
            auto *start = window.findChild<QPushButton *>("button_start");
            auto *exportButton = window.findChild<QPushButton *>("button_export");
            const auto fit = [&](QWidget *widget, const QString &text) {
                const QSize size = widget->contentsRect().size();
                if (size.expandedTo(widget->fontMetrics().size(0, text)) != size)
                    faults << text + " cut off";
            };
            for (const char *text :
                 { "Start to Test your internet speed", "Checking download...", "Checking ping...",
                   "Checking tracert...", "Finished Test. Export Report to us",
                   "Report could not be written in full", "Start to test your internet speed" })
                fit(label, text);
            fit(start, "Cancel"), fit(start, "Start Test"), fit(exportButton, exportButton->text());
            // Readable, Export enabled and disabled.
            for (double least : { 3.0, 4.5 }) {
                for (QWidget *widget : QList<QWidget *>{ label, start, exportButton })
                    if (contrast(widget) < least)
                        faults << widget->objectName() + ' ' + QString::number(contrast(widget));
                exportButton->setEnabled(true);
            }
        }
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(", ")));
    }

    // The desktop's scale is read once, when the application starts: each runs the look in a
    // child of its own, at its DPI as X11's Xft.dpi gives it.
    void scaled_data()
    {
        columns<QByteArray>("dpi"); // 100 % to 200 %
        for (const char *dpi : { "96", "120", "144", "168", "192" })
            QTest::newRow(dpi) << QByteArray(dpi);
    }
    void scaled()
    {
        QFETCH(QByteArray, dpi);
        qputenv("QT_FONT_DPI", dpi);
        QCOMPARE(QProcess::execute(QCoreApplication::applicationFilePath(), { "look" }), 0);
    }
};

int main(int argc, char **argv)
{
    prepareDesktopScaling();
    QApplication app(argc, argv);
    tst_WindowLook test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_windowlook.moc"
