#include <QApplication>
#include <QtGlobal>

#include <cstdio>

#include "DesktopScaling.h"
#include "MainWindow.h"

int main(int argc, char **argv)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // Qt would abort in its platform plugin; say what is missing instead.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fputs("orvana-speedtest: no display found; start it in a desktop session, "
                   "or under a virtual one with: xvfb-run -a ./orvana-speedtest\n",
                   stderr);
        return 1;
    }
#endif
    prepareDesktopScaling();
    QApplication app(argc, argv);
    // Lets a Wayland desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.orvana.SpeedTest"));
    int code = 0;
    {
        MainWindow window;
        window.show();
        code = app.exec();
    }
    return code;
}
