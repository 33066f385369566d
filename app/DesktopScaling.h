#ifndef DESKTOPSCALING_H
#define DESKTOPSCALING_H

#include <QCoreApplication>
#include <QGuiApplication>
#include <QtGlobal>

// The form's sizes are device-independent pixels: on a scaled desktop the
// whole window grows with its fonts, by the desktop's own factor (125 % stays
// 125 %, not rounded to 100 % or 200 %). Call before the application object
// is made.
inline void prepareDesktopScaling()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
            Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
#endif
}

#endif // DESKTOPSCALING_H
