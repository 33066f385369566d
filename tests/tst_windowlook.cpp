#include <QApplication>
#include <QHash>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

#include <algorithm>
#include <cmath>

#include "Columns.h"
#include "DesktopScaling.h"
#include "MainWindow.h"

namespace {

// WCAG 2 contrast ratio of two colours, from their relative luminance.
double contrast(QRgb a, QRgb b)
{
    const auto luminance = [](QRgb rgb) {
        double sum = 0;
        for (const auto &[channel, weight] :
             { std::pair(qRed(rgb), 0.2126), { qGreen(rgb), 0.7152 }, { qBlue(rgb), 0.0722 } }) {
            const double c = channel / 255.0;
            sum += weight * (c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
        }
        return sum;
    };
    return (qMax(luminance(a), luminance(b)) + 0.05) / (qMin(luminance(a), luminance(b)) + 0.05);
}

// Contrast of a widget's text as rendered: the most common colour inside the
// widget is what lies behind the text, the colour farthest from it is the
// text's own. The edge pixel rows may be blended with the neighbours.
double renderedContrast(const QImage &shot, const QWidget *widget)
{
    const qreal dpr = shot.devicePixelRatio();
    const QRect area = QRect(widget->mapTo(widget->window(), QPoint()) * dpr, widget->size() * dpr)
                               .adjusted(1, 1, -1, -1);
    QHash<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++counts[shot.pixel(x, y)];
    // A const QHash iterator yields the count, so this finds the commonest colour.
    const QRgb back = std::max_element(counts.cbegin(), counts.cend()).key();
    double most = 1.0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        most = qMax(most, contrast(it.key(), back));
    return most;
}

} // namespace

class tst_WindowLook : public QObject
{
    Q_OBJECT
    QHash<int, QByteArray> m_verdicts; // of each scale's child: what failed

    // The texts the window shows in each state of a run: label, Start button, Export enabled or
    // not.
    static QList<QPair<const char *, QStringList>> states()
    {
        return { { "idle", { "Start to Test your internet speed", "Start Test", "" } },
                 { "download", { "Checking download...", "Cancel", "" } },
                 { "ping", { "Checking ping...", "Cancel", "" } },
                 { "tracert", { "Checking tracert...", "Cancel", "" } },
                 { "finished", { "Finished Test. Export Report to us", "Start Test", "enabled" } },
                 { "report unwritten",
                   { "Report could not be written in full", "Start Test", "enabled" } },
                 { "cancelled", { "Start to test your internet speed", "Start Test", "" } } };
    }
    static QString tag(int percent, bool dark, const char *state)
    {
        return QStringLiteral("%1%/%2/%3").arg(percent).arg(dark ? "dark" : "default", state);
    }

private slots:
    void textsFitAndContrast_data()
    {
        // Each state at each scale, under both palettes.
        columns<int, bool, QStringList>("percent", "dark", "texts");
        for (int percent : { 100, 125, 150, 175, 200 })
            for (bool dark : { false, true })
                for (const auto &state : states())
                    QTest::newRow(qPrintable(tag(percent, dark, state.first)))
                            << percent << dark << state.second;
    }

    void textsFitAndContrast()
    {
        QFETCH(int, percent);
        QFETCH(bool, dark);
        QFETCH(QStringList, texts);
        const int dpi = 96 * percent / 100;
        if (!qEnvironmentVariableIsSet("OSP_LOOK_CHILD")) {
            // The desktop's DPI is read once, when the application starts, so the rows of each
            // scale run in a child of their own started at its DPI, as X11's Xft.dpi gives it; each
            // row gives its verdict.
            if (!m_verdicts.contains(percent)) {
                QStringList rows;
                for (bool d : { false, true })
                    for (const auto &state : states())
                        rows << "textsFitAndContrast:" + tag(percent, d, state.first);
                QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
                env.insert("OSP_LOOK_CHILD", "1"), env.insert("QT_FONT_DPI", QString::number(dpi)),
                        env.insert("QT_QPA_PLATFORM", "offscreen");
                env.insert("QT_FORCE_STDERR_LOGGING",
                           "1"); // Qt Test on Windows: else to the debugger, without a console
                QProcess child;
                child.setProcessEnvironment(env);
                child.setProcessChannelMode(QProcess::MergedChannels);
                child.start(QCoreApplication::applicationFilePath(), rows);
                const bool ended = child.waitForFinished(-1)
                        && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
                const QByteArray out = child.readAll();
                m_verdicts[percent] = ended
                                && out.contains("Totals: " + QByteArray::number(rows.size() + 2)
                                                + " passed, 0 failed")
                        ? QByteArray()
                        : out + ' ';
            }
            QVERIFY2(m_verdicts.value(percent).isEmpty(), m_verdicts.value(percent).constData());
            return;
        }
        const QScreen *screen = QGuiApplication::primaryScreen();
        QCOMPARE(qRound(screen->logicalDotsPerInch() * screen->devicePixelRatio()), dpi);
        static const QPalette initial = QApplication::palette();
        QApplication::setPalette(dark ? QPalette(QColor(53, 53, 53), QColor(42, 42, 42)) : initial);
        MainWindow window;
        auto *label = window.findChild<QLabel *>(QStringLiteral("label_message"));
        auto *startButton = window.findChild<QPushButton *>(QStringLiteral("button_start"));
        auto *exportButton = window.findChild<QPushButton *>(QStringLiteral("button_export"));
        QVERIFY(label && startButton && exportButton);
        label->setText(texts[0]);
        startButton->setText(texts[1]);
        exportButton->setEnabled(!texts[2].isEmpty());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QImage shot = window.grab().toImage().convertToFormat(QImage::Format_RGB32);

        QStringList faults;
        for (QWidget *widget : QList<QWidget *>{ label, startButton, exportButton }) {
            const QString text = widget->property("text").toString();
            const QFontMetrics metrics(widget->font());
            const QRect room = widget->contentsRect();
            // A single line is laid out centred vertically on the font's line box.
            const QRect ink = metrics.tightBoundingRect(text).translated(
                    0, room.top() + (room.height() - metrics.height()) / 2 + metrics.ascent());
            const int width = metrics.size(Qt::TextSingleLine, text).width();
            if (width > room.width() || ink.top() < room.top() || ink.bottom() > room.bottom())
                faults << QStringLiteral("\"%1\" needs %2 px, ink rows %3..%4, has %5x%6")
                                  .arg(text)
                                  .arg(width)
                                  .arg(ink.top())
                                  .arg(ink.bottom())
                                  .arg(room.width())
                                  .arg(room.height());
            const double ratio = renderedContrast(shot, widget);
            if (widget->isEnabled() && ratio < 4.5)
                faults << QStringLiteral("\"%1\" contrast %2:1").arg(text).arg(ratio, 0, 'f', 2);
        }
        const double dimmed = renderedContrast(shot, exportButton),
                     enabled = renderedContrast(shot, startButton);
        // Readable, yet plainly dimmer than the enabled texts.
        if (!exportButton->isEnabled() && !(dimmed >= 3.0 && dimmed <= enabled / 2))
            faults << QStringLiteral("disabled %1:1, enabled %2:1").arg(dimmed).arg(enabled);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QStringLiteral("; "))));
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
