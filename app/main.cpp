#include <QApplication>
#include <QtGlobal>

#include <cstdio>

#if defined(__GLIBC__)
#  include <malloc.h>
#endif

#include "DesktopScaling.h"
#include "MainWindow.h"
#include "QuitSignals.h"

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
#if defined(__GLIBC__)
    // Every network access manager runs its HTTP in a thread of its own, and
    // a run makes a new one for its file downloads. glibc would give such
    // threads arenas of their own, up to eight per core, each keeping the
    // free memory at its top; the window would grow with every run. One
    // arena for all keeps what the window hands back at the end of a run in
    // one place (see MainWindow).
    mallopt(M_ARENA_MAX, 1);
#endif
    prepareDesktopScaling();
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // The window draws nothing with OpenGL, yet Qt's X11 plugin would load
    // the GPU driver stack at start: tens of MiB, and one more thing that can
    // crash a tool started when the machine misbehaves. A choice in the
    // user's environment stands.
    const bool skipGl = !qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION");
#endif
    QApplication app(argc, argv);
    // Lets a Wayland desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.orvana.SpeedTest"));
    int code = 0;
    {
        MainWindow window;
        closeOnQuitSignals(&window);
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
        // The plugin reads it once, for its first window, and only then:
        // set around show() alone, it reaches no other program. Building the
        // window may already have started a session bus (the accessibility
        // bridge asks for one), and the file manager Export opens is later.
        if (skipGl)
            qputenv("QT_XCB_GL_INTEGRATION", "none");
#endif
        window.show();
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
        if (skipGl)
            qunsetenv("QT_XCB_GL_INTEGRATION");
#endif
        code = app.exec();
    }
    return code;
}
