// Throughput of the TCP downloader against a plain blocking recv loop, both
// reading from the same loopback sender (BlockingSender, a child process that
// ignores the requested count and sends each connection its share of the
// run, then closes it).
//
// Build (optimised; the benchmark is not part of the test suite):
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSP_BUILD_TESTS=OFF
//   ninja -C build/bench bench_downloader
// Run:
//   build/bench/bench/bench_downloader [-c connections] [-r rounds] [GiB ...]
//   (defaults: 4 connections, 3 rounds, runs of 1 and 10 GiB)
//
// For each size it runs the Downloader and the recv loop in turn, rounds
// times each, and prints the medians of: the rate the Downloader measured
// (its own byte count over its own download time), the rate of the recv loop
// (one thread per connection, blocking recv() into a 256 KiB buffer, timed
// from the connections to the last byte), their ratio, and the CPU seconds
// per GiB of each (getrusage, this process only: the sender runs apart).
// Then the peak RSS of this process so far (ru_maxrss). Sizes run from small
// to large, so a peak RSS that stays put from the first size to the last
// shows that memory does not grow with the amount received.

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BlockingSender.h"
#include "SenderDownload.h"

namespace {

const qint64 GiB = qint64(1) << 30;

struct Usage
{
    double cpuSeconds;
    double peakRssMiB;
};

Usage usage()
{
    rusage r;
    std::memset(&r, 0, sizeof(r));
    getrusage(RUSAGE_SELF, &r);
    const double cpu = double(r.ru_utime.tv_sec + r.ru_stime.tv_sec)
            + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    return { cpu, double(r.ru_maxrss) / 1024.0 };
}

struct Result
{
    qint64 bytes = 0;
    double milliseconds = 0;
    double cpuSeconds = 0;
    double mibPerSecond() const
    {
        return milliseconds > 0 ? double(bytes) / double(1 << 20) / (milliseconds / 1000.0) : 0.0;
    }
    double cpuPerGiB() const
    {
        return bytes > 0 ? cpuSeconds / (double(bytes) / double(GiB)) : 0.0;
    }
};

Result runDownloader(quint16 port, int connections)
{
    Downloader downloader(nullptr);
    const Usage before = usage();
    downloadFromSender(downloader, port, connections);
    const Usage after = usage();
    Result result;
    result.bytes = downloader.downloadBytes64();
    result.milliseconds = downloader.downloadTime();
    result.cpuSeconds = after.cpuSeconds - before.cpuSeconds;
    if (!downloader.error().isEmpty()
        && downloader.error() != QLatin1String("The remote host closed the connection"))
        std::fprintf(stderr, "downloader error: %s\n", qPrintable(downloader.error()));
    return result;
}

Result runRecvLoop(quint16 port, int connections)
{
    using Clock = std::chrono::steady_clock;
    const Usage before = usage();
    std::vector<int> fds;
    for (int i = 0; i < connections; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address;
        std::memset(&address, 0, sizeof(address));
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
            std::perror("connect");
            std::exit(1);
        }
        fds.push_back(fd);
    }
    const Clock::time_point first = Clock::now();
    std::vector<qint64> bytes(fds.size(), 0);
    std::vector<Clock::time_point> last(fds.size(), first);
    std::vector<std::thread> readers;
    for (size_t i = 0; i < fds.size(); ++i) {
        readers.emplace_back([&, i] {
            std::vector<char> buffer(256 * 1024);
            static const char command[] = "DOWNLOAD 1000000000\n";
            if (::send(fds[i], command, sizeof(command) - 1, MSG_NOSIGNAL)
                != ssize_t(sizeof(command) - 1))
                return;
            ssize_t n;
            while ((n = ::recv(fds[i], buffer.data(), buffer.size(), 0)) > 0) {
                bytes[i] += n;
                last[i] = Clock::now();
            }
            ::close(fds[i]);
        });
    }
    for (std::thread &reader : readers)
        reader.join();
    const Usage after = usage();
    Result result;
    Clock::time_point end = first;
    for (size_t i = 0; i < fds.size(); ++i) {
        result.bytes += bytes[i];
        end = std::max(end, last[i]);
    }
    result.milliseconds = std::chrono::duration<double, std::milli>(end - first).count();
    result.cpuSeconds = after.cpuSeconds - before.cpuSeconds;
    return result;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0.0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

} // namespace

int main(int argc, char **argv)
{
    int connections = 4;
    int rounds = 3;
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "-c" || arg == "-r") && i + 1 < argc)
            (arg == "-c" ? connections : rounds) = std::atoi(argv[++i]);
        else
            sizes.push_back(std::atoi(arg.c_str()));
    }
    if (sizes.empty())
        sizes = { 1, 10 };
    if (connections < 1 || rounds < 1 || *std::min_element(sizes.begin(), sizes.end()) < 1) {
        std::fprintf(stderr, "usage: %s [-c connections] [-r rounds] [GiB ...]\n", argv[0]);
        return 2;
    }

    // Forked before any thread or Qt object exists.
    BlockingSender sender(connections);
    if (!sender.isValid()) {
        std::fprintf(stderr, "sender did not start\n");
        return 1;
    }
    QCoreApplication app(argc, argv);

    std::printf("connections: %d, rounds per size: %d (medians; the two receivers alternate)\n",
                connections, rounds);
    std::printf("%5s %14s %14s %6s %16s %16s %10s\n", "GiB", "downloader", "recv loop", "ratio",
                "downloader CPU", "recv loop CPU", "peak RSS");
    std::printf("%5s %14s %14s %6s %16s %16s %10s\n", "", "MiB/s", "MiB/s", "", "s/GiB", "s/GiB",
                "MiB");
    double firstRss = -1;
    bool complete = true;
    for (const int size : sizes) {
        const qint64 perConnection = qint64(size) * GiB / connections;
        std::vector<double> downloaderRate, recvRate, downloaderCpu, recvCpu;
        for (int round = 0; round < rounds; ++round) {
            for (int turn = 0; turn < 2; ++turn) {
                sender.prepare(perConnection);
                const bool downloaderTurn = (turn == 0) == (round % 2 == 0);
                const Result r = downloaderTurn ? runDownloader(sender.port(), connections)
                                                : runRecvLoop(sender.port(), connections);
                (downloaderTurn ? downloaderRate : recvRate).push_back(r.mibPerSecond());
                (downloaderTurn ? downloaderCpu : recvCpu).push_back(r.cpuPerGiB());
                if (r.bytes != perConnection * connections) {
                    std::fprintf(stderr, "%s received %lld bytes, expected %lld\n",
                                 downloaderTurn ? "downloader" : "recv loop",
                                 static_cast<long long>(r.bytes),
                                 static_cast<long long>(perConnection * connections));
                    complete = false;
                }
            }
        }
        const double rss = usage().peakRssMiB;
        if (firstRss < 0)
            firstRss = rss;
        const double d = median(downloaderRate);
        const double b = median(recvRate);
        std::printf("%5d %14.1f %14.1f %6.3f %16.3f %16.3f %10.1f\n", size, d, b,
                    b > 0 ? d / b : 0.0, median(downloaderCpu), median(recvCpu), rss);
        std::fflush(stdout);
    }
    std::printf("peak RSS growth from the first size to the last: %.1f MiB\n",
                usage().peakRssMiB - firstRss);
    return complete ? 0 : 1;
}
