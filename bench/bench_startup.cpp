// Start-up time and idle memory of the real tool on a virtual X server, with
// Qt's OpenGL integration as the tool chooses it (none) and forced on
// (QT_XCB_GL_INTEGRATION=xcb_glx, what Qt does by itself), side by side.
//
// Build (optimised; the benchmark is not part of the test suite):
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSP_BUILD_TESTS=OFF
//   ninja -C build/bench bench_startup
// Run:
//   build/bench/bench/bench_startup [-r runs] [-i idle-ms] [-d display] [-t tool]
//   (defaults: 10 runs of each; 2000 ms at idle before measuring; an Xvfb of
//   its own on a free display; the tool built beside the benchmark)
// The window is "shown" when the X server maps it: the benchmark listens on
// the root window for the MapNotify of a top-level window whose _NET_WM_PID
// is the tool's, and takes the time since it started the tool's process.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <xcb/xcb.h>

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

const int MapTimeoutMsecs = 30000;

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

struct Memory
{
    double rssMiB = -1;
    double privateMiB = -1;
    double dirtyMiB = -1;
};

// Rss, Private_Clean + Private_Dirty and Private_Dirty alone of a process.
// smaps_rollup has one line of each; older kernels only have smaps, one per
// mapping: summing reads both. A page of a library counts as private clean
// while no other process maps it, so that part depends on what else runs;
// the dirty part is the process's own.
Memory memoryOf(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        file.setFileName(QStringLiteral("/proc/%1/smaps").arg(pid));
        if (!file.open(QIODevice::ReadOnly))
            return {};
    }
    qint64 rss = 0, privateKiB = 0, dirty = 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qint64 kib =
                line.mid(line.indexOf(':') + 1).trimmed().split(' ').value(0).toLongLong();
        if (line.startsWith("Rss:"))
            rss += kib;
        else if (line.startsWith("Private_Clean:"))
            privateKiB += kib;
        else if (line.startsWith("Private_Dirty:")) {
            privateKiB += kib;
            dirty += kib;
        }
    }
    return { double(rss) / 1024.0, double(privateKiB) / 1024.0, double(dirty) / 1024.0 };
}

// Whether a GL driver of the X server's vendor is mapped into the process:
// Qt's own libraries bring the dispatch library libGL along in any case,
// the vendor library and the DRI driver only come with the GL integration.
bool glDriverLoaded(qint64 pid)
{
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    const QByteArray all = maps.readAll();
    return all.contains("_dri.so") || all.contains("libGLX_mesa") || all.contains("libGLX_nvidia");
}

struct Display
{
    xcb_connection_t *connection = nullptr;
    xcb_window_t root = 0;
    xcb_atom_t pidAtom = 0;

    ~Display()
    {
        if (connection)
            xcb_disconnect(connection);
    }

    bool connect(const QByteArray &name)
    {
        connection = xcb_connect(name.constData(), nullptr);
        if (xcb_connection_has_error(connection)) {
            xcb_disconnect(connection);
            connection = nullptr;
            return false;
        }
        root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
        const char atomName[] = "_NET_WM_PID";
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
                xcb_intern_atom_reply(connection,
                                      xcb_intern_atom(connection, 0, sizeof atomName - 1, atomName),
                                      nullptr),
                &std::free);
        pidAtom = atom ? atom->atom : 0;
        return pidAtom != 0;
    }

    void drain()
    {
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection))
            std::free(event);
    }

    qint64 windowPid(xcb_window_t window)
    {
        std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
                xcb_get_property_reply(
                        connection,
                        xcb_get_property(connection, 0, window, pidAtom, XCB_ATOM_CARDINAL, 0, 1),
                        nullptr),
                &std::free);
        if (!reply || xcb_get_property_value_length(reply.get()) != 4)
            return -1;
        return *static_cast<const uint32_t *>(xcb_get_property_value(reply.get()));
    }

    // Milliseconds from the start of timer to the map of a top-level window
    // of pid, -1 when none is mapped within the time-out.
    double waitForMap(const QElapsedTimer &timer, qint64 pid)
    {
        const int fd = xcb_get_file_descriptor(connection);
        while (timer.elapsed() < MapTimeoutMsecs) {
            while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
                const double msecs = double(timer.nsecsElapsed()) / 1e6;
                const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
                const xcb_window_t window =
                        mapped ? reinterpret_cast<xcb_map_notify_event_t *>(event)->window : 0;
                std::free(event);
                if (mapped && windowPid(window) == pid)
                    return msecs;
            }
            if (xcb_connection_has_error(connection))
                return -1;
            pollfd readable{ fd, POLLIN, 0 };
            poll(&readable, 1, 100);
        }
        return -1;
    }
};

// An Xvfb of our own on the first display number nobody holds.
bool startServer(QProcess &server, QByteArray *name, Display &display)
{
    for (int number = 90; number < 200; ++number) {
        if (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number))
            || QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            continue;
        *name = ":" + QByteArray::number(number);
        server.setStandardOutputFile(QProcess::nullDevice());
        server.setStandardErrorFile(QProcess::nullDevice());
        server.start(QStringLiteral("Xvfb"),
                     { QString::fromLatin1(*name), QStringLiteral("-screen"), QStringLiteral("0"),
                       QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                       QStringLiteral("tcp"), QStringLiteral("-noreset") });
        if (!server.waitForStarted(5000))
            return false;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 10000 && server.state() == QProcess::Running) {
            if (display.connect(*name))
                return true;
            server.waitForFinished(50);
        }
        // Taken by a server started at the same moment: the next number.
        server.kill();
        server.waitForFinished();
    }
    return false;
}

struct Sample
{
    double mapMsecs = -1;
    Memory memory;
    bool glLoaded = false;
};

struct Mode
{
    const char *title;
    const char *integration; // nullptr: the variable is not set
    std::vector<double> msecs, rss, privateMiB, dirty;
    int glLoaded = 0;
};

} // namespace

int main(int argc, char **argv)
{
    int runs = 10;
    int idleMsecs = 2000;
    QByteArray displayName;
    QString tool = QStringLiteral(OSP_TOOL_PATH);
    bool usage = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            usage = true;
        else if (arg == "-r")
            runs = std::atoi(argv[++i]);
        else if (arg == "-i")
            idleMsecs = std::atoi(argv[++i]);
        else if (arg == "-d")
            displayName = argv[++i];
        else if (arg == "-t")
            tool = QString::fromLocal8Bit(argv[++i]);
        else
            usage = true;
    }
    if (usage || runs < 1 || idleMsecs < 0) {
        std::fprintf(stderr, "usage: %s [-r runs] [-i idle-ms] [-d display] [-t tool]\n", argv[0]);
        return 2;
    }
    QCoreApplication app(argc, argv);
    if (!QFileInfo(tool).isExecutable()) {
        std::fprintf(stderr, "no tool at %s\n", qPrintable(tool));
        return 1;
    }

    QProcess server;
    Display display;
    if (displayName.isEmpty() ? !startServer(server, &displayName, display)
                              : !display.connect(displayName)) {
        std::fprintf(stderr, "no X server: install xvfb, or name a running one with -d\n");
        return 1;
    }

    // The tool runs in a folder of its own, with its icon, as the launcher
    // starts it; at idle it writes nothing there.
    QTemporaryDir work;
    if (!work.isValid()) {
        std::fprintf(stderr, "no scratch directory\n");
        return 1;
    }
    QFile::copy(QFileInfo(tool).dir().filePath(QStringLiteral("OrvanaLogo.ico")),
                QDir(work.path()).filePath(QStringLiteral("OrvanaLogo.ico")));
    const QString errors = QDir(work.path()).filePath(QStringLiteral("stderr.txt"));

    const auto sample = [&](const Mode &mode) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(displayName));
        for (const char *name : { "QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "QT_XCB_GL_INTEGRATION" })
            environment.remove(QString::fromLatin1(name));
        if (mode.integration)
            environment.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"),
                               QString::fromLatin1(mode.integration));
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(work.path());
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(errors);
        display.drain();

        Sample result;
        QElapsedTimer timer;
        timer.start();
        process.start(tool, QStringList());
        if (process.waitForStarted(MapTimeoutMsecs)) {
            result.mapMsecs = display.waitForMap(timer, process.processId());
            if (result.mapMsecs >= 0) {
                QThread::msleep(static_cast<unsigned long>(idleMsecs));
                result.memory = memoryOf(process.processId());
                result.glLoaded = glDriverLoaded(process.processId());
            }
        }
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished();
        }
        return result;
    };

    Mode modes[] = { { "default", nullptr, {}, {}, {}, {}, 0 },
                     { "GL forced on", "xcb_glx", {}, {}, {}, {}, 0 } };
    std::printf(
            "tool: %s\ndisplay %s; %d runs of each, alternating, after one untimed run of each; "
            "memory after %d ms at idle\n",
            qPrintable(tool), displayName.constData(), runs, idleMsecs);
    std::printf("%5s %-14s %10s %10s %12s %10s %10s\n", "run", "mode", "map ms", "RSS MiB",
                "private MiB", "dirty MiB", "GL driver");
    for (int run = 0; run <= runs; ++run) {
        for (int turn = 0; turn < 2; ++turn) {
            Mode &mode = modes[(turn == 0) == (run % 2 == 0) ? 0 : 1];
            const Sample s = sample(mode);
            if (s.mapMsecs < 0 || s.memory.rssMiB < 0) {
                QFile log(errors);
                log.open(QIODevice::ReadOnly);
                std::fprintf(stderr, "%s: no window within %d ms; the tool said:\n%s\n", mode.title,
                             MapTimeoutMsecs, log.readAll().right(2000).constData());
                return 1;
            }
            std::printf("%5s %-14s %10.1f %10.1f %12.1f %10.1f %10s\n",
                        run == 0 ? "warm" : qPrintable(QString::number(run)), mode.title,
                        s.mapMsecs, s.memory.rssMiB, s.memory.privateMiB, s.memory.dirtyMiB,
                        s.glLoaded ? "loaded" : "-");
            std::fflush(stdout);
            if (run == 0)
                continue;
            mode.msecs.push_back(s.mapMsecs);
            mode.rss.push_back(s.memory.rssMiB);
            mode.privateMiB.push_back(s.memory.privateMiB);
            mode.dirty.push_back(s.memory.dirtyMiB);
            mode.glLoaded += s.glLoaded ? 1 : 0;
        }
    }

    std::printf("\nmedians over %d runs %18s %18s\n", runs, modes[0].title, modes[1].title);
    std::printf("%-30s %18.1f %18.1f\n", "start to window mapped, ms", median(modes[0].msecs),
                median(modes[1].msecs));
    std::printf("%-30s %18.1f %18.1f\n", "resident (Rss) at idle, MiB", median(modes[0].rss),
                median(modes[1].rss));
    std::printf("%-30s %18.1f %18.1f\n", "private at idle, MiB", median(modes[0].privateMiB),
                median(modes[1].privateMiB));
    std::printf("%-30s %18.1f %18.1f\n", "  of it dirty, MiB", median(modes[0].dirty),
                median(modes[1].dirty));
    std::printf("%-30s %15d/%-2d %15d/%-2d\n", "GL driver loaded, runs", modes[0].glLoaded, runs,
                modes[1].glLoaded, runs);
    if (modes[1].glLoaded == 0)
        std::printf("no GL driver came with GL forced on: install libgl1-mesa-dri for the "
                    "comparison to mean "
                    "anything\n");

    if (server.state() != QProcess::NotRunning) {
        server.terminate();
        server.waitForFinished(5000);
    }
    return 0;
}
