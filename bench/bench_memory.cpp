// Resident memory over repeated runs: each round runs the speed test's TCP
// download (a Downloader with several connections) and then the file
// downloads of the download stage (a DownloadMgr fetching files over HTTP
// one after another), both against loopback senders in child processes
// (BlockingSender), and prints the process's resident size afterwards.
//
// Build (optimised; the benchmark is not part of the test suite):
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSP_BUILD_TESTS=OFF
//   ninja -C build/bench bench_memory
// Run:
//   build/bench/bench/bench_memory [-r rounds] [-c connections] [-g MiB] [-n files] [-f MiB] [-d]
//   (defaults: 10 rounds; 4 connections receiving 1024 MiB in all; 3 files
//   of 32 MiB each; -g 0 or -n 0 leaves that part out)
// Like the tool, it keeps glibc to one arena (the tool's main()) and hands
// the memory freed in a round back to the system (malloc_trim, as the window
// does at the end of a run) before measuring; -d leaves both out.

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#  include <malloc.h>
#endif

#include "BlockingSender.h"
#include "DownloadMgr.h"
#include "SenderDownload.h"

namespace {

const qint64 MiB = qint64(1) << 20;

// VmRSS of /proc/self/status in KiB, -1 where there is none.
qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

double toMiB(qint64 kib)
{
    return double(kib) / 1024.0;
}

struct Transfer
{
    qint64 bytes = 0;
    qint64 msecs = 0;
    double mibPerSecond() const
    {
        return msecs > 0 ? double(bytes) / double(MiB) / (double(msecs) / 1000.0) : 0.0;
    }
};

// The rate the Downloader measured itself.
Transfer runDownloader(quint16 port, int connections)
{
    Downloader downloader(nullptr);
    downloadFromSender(downloader, port, connections);
    return { downloader.downloadBytes64(), downloader.downloadTime() };
}

// One download stage's worth of files through one manager, as a run does;
// the bytes and milliseconds the manager measured, summed over the files.
Transfer runFiles(BlockingSender &sender, int files, qint64 bytes, bool *complete)
{
    auto *manager = new DownloadMgr;
    QEventLoop loop;
    QObject::connect(manager, &DownloadMgr::replyFinished, &loop, &QEventLoop::quit,
                     Qt::QueuedConnection);
    Transfer sum;
    for (int i = 0; i < files; ++i) {
        sender.prepare(bytes);
        manager->download(
                QStringLiteral("http://127.0.0.1:%1/file%2.bin").arg(sender.port()).arg(i));
        loop.exec();
        const qint64 size = QFileInfo(manager->scratchFile()).size();
        if (size != bytes) {
            std::fprintf(stderr, "file download wrote %lld bytes, expected %lld\n",
                         static_cast<long long>(size), static_cast<long long>(bytes));
            *complete = false;
        }
        sum.bytes += size;
        sum.msecs += manager->elapsedMsecs();
        QFile::remove(manager->scratchFile());
    }
    manager->deleteLater();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return sum;
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = 10;
    int connections = 4;
    qint64 speedMiB = 1024;
    int files = 3;
    qint64 fileMiB = 32;
    bool release = true;
    int arguments = argc;
    if (argc > 1 && std::string(argv[argc - 1]) == "-d") {
        release = false;
        --arguments;
    }
    for (int i = 1; i + 1 < arguments; i += 2) {
        const std::string arg = argv[i];
        const long long value = std::atoll(argv[i + 1]);
        if (arg == "-r")
            rounds = int(value);
        else if (arg == "-c")
            connections = int(value);
        else if (arg == "-g")
            speedMiB = value;
        else if (arg == "-n")
            files = int(value);
        else if (arg == "-f")
            fileMiB = value;
        else
            rounds = -1;
    }
    if (rounds < 2 || connections < 1 || speedMiB < 0 || files < 0 || fileMiB < 1
        || arguments % 2 == 0) {
        std::fprintf(
                stderr,
                "usage: %s [-r rounds >= 2] [-c connections] [-g MiB] [-n files] [-f MiB] [-d]\n",
                argv[0]);
        return 2;
    }

#if defined(__GLIBC__)
    if (release)
        mallopt(M_ARENA_MAX, 1);
#endif
    // Forked before any thread or Qt object exists.
    BlockingSender speedSender(connections);
    BlockingSender fileSender(1, BlockingSender::Protocol::Http);
    if (!speedSender.isValid() || !fileSender.isValid()) {
        std::fprintf(stderr, "sender did not start\n");
        return 1;
    }
    QCoreApplication app(argc, argv);
    // The manager's progress lines would drown the figures.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QTemporaryDir work;
    if (!work.isValid() || !QDir::setCurrent(work.path())
        || !QDir().mkpath(QStringLiteral("temp"))) {
        std::fprintf(stderr, "no scratch directory\n");
        return 1;
    }

    const qint64 perConnection = speedMiB * MiB / connections;
    std::printf("rounds: %d; speed test: %d connections, %lld MiB; files: %d of %lld MiB; "
                "allocator: %s\n",
                rounds, connections, static_cast<long long>(perConnection * connections / MiB),
                files, static_cast<long long>(fileMiB),
                release ? "one arena, freed memory handed back after each round"
                        : "glibc's defaults");
    std::printf("%5s %10s %12s %12s", "round", "RSS MiB", "speed MiB/s", "files MiB/s");
#if defined(__GLIBC__)
    std::printf(" %10s %10s %12s", "heap MiB", "free MiB", "mmapped MiB");
#endif
    std::printf("\n");
    std::printf("%5s %10.1f\n", "start", toMiB(residentKiB()));
    bool complete = true;
    qint64 second = 0;
    qint64 last = 0;
    for (int round = 1; round <= rounds; ++round) {
        Transfer speed;
        if (perConnection > 0) {
            speedSender.prepare(perConnection);
            speed = runDownloader(speedSender.port(), connections);
            if (speed.bytes != perConnection * connections) {
                std::fprintf(stderr, "downloader received %lld bytes, expected %lld\n",
                             static_cast<long long>(speed.bytes),
                             static_cast<long long>(perConnection * connections));
                complete = false;
            }
        }
        const Transfer file =
                files > 0 ? runFiles(fileSender, files, fileMiB * MiB, &complete) : Transfer();
#if defined(__GLIBC__)
        if (release)
            malloc_trim(0);
#endif
        last = residentKiB();
        if (round == 2)
            second = last;
        std::printf("%5d %10.1f %12.1f %12.1f", round, toMiB(last), speed.mibPerSecond(),
                    file.mibPerSecond());
#if defined(__GLIBC__)
        // Every arena: bytes taken from the system for the heaps, free bytes
        // inside them, and blocks mapped on their own.
        const struct mallinfo2 info = mallinfo2();
        std::printf(" %10.1f %10.1f %12.1f", double(info.arena) / double(MiB),
                    double(info.fordblks) / double(MiB), double(info.hblkhd) / double(MiB));
#endif
        std::printf("\n");
        std::fflush(stdout);
    }
    std::printf("RSS after the last round minus after the second: %+.1f MiB\n",
                toMiB(last - second));
    return complete ? 0 : 1;
}
