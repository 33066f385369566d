#include <QApplication>
#include <QtGlobal>

#include <cstdio>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

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
#if defined(__GLIBC__)
    // glibc raises its threshold for giving a block a mapping of its own to
    // the size of each such block freed, for good; blocks below it are then
    // carved from the heaps instead. Qt's network thread hands a download's
    // body over in blocks of up to the reply's read buffer, so after the
    // first run those blocks, and everything smaller, fragment the heaps and
    // the process grows with every run. Keeping the default threshold fixed
    // keeps repeated runs at the same size; nothing of the tool's own
    // allocates such blocks per read.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    QApplication app(argc, argv);
    int code = 0;
    {
        MainWindow window;
        window.show();
        code = app.exec();
    }
    return code;
}
