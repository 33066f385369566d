#ifndef MAINWINDOWFORM_H
#define MAINWINDOWFORM_H

#include <QCoreApplication>
#include <QColor>
#include <QFont>
#include <QLabel>
#include <QList>
#include <QMainWindow>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

#include "FormStyles.h"

QT_BEGIN_NAMESPACE

namespace Ui {

// The window's form, built in code the way a designer form would build it:
// the object names, geometry, fonts and style sheets are the product's look.
class MainWindow
{
public:
    QWidget *centralWidget = nullptr;
    QWidget *widget = nullptr;
    QPushButton *button_start = nullptr;
    QProgressBar *bar_prpgress = nullptr;
    QPushButton *button_export = nullptr;
    QLabel *label_message = nullptr;

    void setupUi(QMainWindow *window)
    {
        if (window->objectName().isEmpty())
            window->setObjectName(QStringLiteral("MainWindow"));
        window->resize(320, 182);
        QSizePolicy policy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        policy.setHorizontalStretch(0);
        policy.setVerticalStretch(0);
        policy.setHeightForWidth(window->sizePolicy().hasHeightForWidth());
        window->setSizePolicy(policy);
        window->setMinimumSize(QSize(320, 182));
        window->setMaximumSize(QSize(320, 182));
        window->setStyleSheet(QString::fromLatin1(FormStyles::Window));

        centralWidget = new QWidget(window);
        centralWidget->setObjectName(QStringLiteral("centralWidget"));

        widget = new QWidget(centralWidget);
        widget->setObjectName(QStringLiteral("widget"));
        widget->setGeometry(QRect(0, 25, 320, 156));

        button_start = new QPushButton(widget);
        button_start->setObjectName(QStringLiteral("button_start"));
        button_start->setGeometry(QRect(188, 110, 120, 32));
        button_start->setStyleSheet(QString::fromLatin1(FormStyles::StartButton));

        bar_prpgress = new QProgressBar(widget);
        bar_prpgress->setObjectName(QStringLiteral("bar_prpgress"));
        bar_prpgress->setGeometry(QRect(30, 40, 288, 16));

        button_export = new QPushButton(widget);
        button_export->setObjectName(QStringLiteral("button_export"));
        button_export->setGeometry(QRect(56, 110, 120, 32));
        button_export->setStyleSheet(QString::fromLatin1(FormStyles::ExportButton));

        label_message = new QLabel(widget);
        label_message->setObjectName(QStringLiteral("label_message"));
        label_message->setGeometry(QRect(30, 0, 288, 20));
        QFont font;
        font.setFamily(QStringLiteral("Segoe UI"));
        font.setPointSize(11);
        font.setBold(false);
        font.setItalic(false);
        font.setWeight(50);
        label_message->setFont(font);
        label_message->setStyleSheet(QString::fromLatin1(FormStyles::MessageLabel));

        // The style sheets fix light surfaces but leave the text colours to
        // the desktop's palette, which a dark scheme makes light: keep the
        // plain scheme's dark texts and grey disabled texts, the grey still
        // readable (3.6 : 1) on the disabled button's darker grey. Widgets with
        // a style sheet do not inherit their parent's palette, so each gets it.
        QPalette texts;
        for (QPalette::ColorRole role :
             { QPalette::WindowText, QPalette::ButtonText, QPalette::Text }) {
            texts.setColor(role, QColor(0, 0, 0));
            texts.setColor(QPalette::Disabled, role, QColor(96, 96, 96));
        }
        for (QWidget *textWidget : QList<QWidget *>{ button_start, button_export, label_message })
            textWidget->setPalette(texts);

        window->setCentralWidget(centralWidget);

        retranslateUi(window);
    }

    void retranslateUi(QMainWindow *window)
    {
        Q_UNUSED(window);
        button_start->setText(QCoreApplication::translate("MainWindow", "Start Test"));
        button_export->setText(QCoreApplication::translate("MainWindow", "Export Report"));
        label_message->setText(
                QCoreApplication::translate("MainWindow", "Start to Test your internet speed"));
    }
};

} // namespace Ui

QT_END_NAMESPACE

#endif // MAINWINDOWFORM_H
