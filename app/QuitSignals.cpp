#include "QuitSignals.h"

#include <QWidget>

#ifdef Q_OS_UNIX
#  include <QSocketNotifier>

#  include <csignal>
#  include <sys/socket.h>
#  include <unistd.h>

namespace {

int signalSockets[2] = { -1, -1 };

// Only what is safe inside a signal handler: the event loop does the rest.
void onQuitSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalSockets[1], &byte, 1);
}

} // namespace

void closeOnQuitSignals(QWidget *window)
{
    if (signalSockets[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM, 0, signalSockets) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalSockets[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char byte;
        [[maybe_unused]] const auto read = ::read(signalSockets[0], &byte, 1);
        window->close();
    });
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : { SIGINT, SIGHUP, SIGTERM })
        ::sigaction(signalNumber, &action, nullptr);
}
#else
void closeOnQuitSignals(QWidget *) { }
#endif
