#include "BlockingSender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

bool readAll(int fd, void *data, size_t size)
{
    auto *p = static_cast<char *>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

// Reads and drops the request: up to its first line feed, or for HTTP up
// to the blank line after its headers (a bounded amount either way).
void readRequest(int fd, bool http)
{
    char previous[4] = {};
    for (int seen = 0; seen < 8192; ++seen) {
        char c;
        if (::recv(fd, &c, 1, 0) <= 0)
            return;
        if (c == '\n' && (!http || (previous[3] == '\r' && previous[2] == '\n')))
            return;
        std::memmove(previous, previous + 1, 3);
        previous[3] = c;
    }
}

void sendCount(int fd, qint64 count, BlockingSender::Protocol protocol)
{
    // The request is dropped: a count in it plays no part.
    readRequest(fd, protocol == BlockingSender::Protocol::Http);
    if (protocol == BlockingSender::Protocol::Http) {
        char head[160];
        const int length =
                std::snprintf(head, sizeof(head),
                              "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                              "Content-Length: %lld\r\nConnection: close\r\n\r\n",
                              static_cast<long long>(count));
        if (::send(fd, head, size_t(length), MSG_NOSIGNAL) != length)
            count = 0;
    }
    static const std::vector<char> block(1 << 20, 'x');
    while (count > 0) {
        const size_t chunk = size_t(qMin<qint64>(count, qint64(block.size())));
        const ssize_t n = ::send(fd, block.data(), chunk, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        count -= n;
    }
    ::shutdown(fd, SHUT_WR);
    // Wait for the receiver's close, so that no byte is lost to a reset.
    char rest[4096];
    while (::recv(fd, rest, sizeof(rest), 0) > 0) { }
    ::close(fd);
}

} // namespace

BlockingSender::BlockingSender(int connections, Protocol protocol)
    : m_connections(connections), m_control(-1), m_port(0), m_child(-1)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        return;
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0
        || ::listen(listener, 64) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(listener);
        return;
    }
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        ::close(listener);
        return;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[1]);
        serve(listener, pipeFds[0], connections, protocol);
        ::_exit(0);
    }
    ::close(listener);
    ::close(pipeFds[0]);
    if (child < 0) {
        ::close(pipeFds[1]);
        return;
    }
    m_child = child;
    m_control = pipeFds[1];
    m_port = ntohs(address.sin_port);
}

BlockingSender::~BlockingSender()
{
    if (m_control >= 0)
        ::close(m_control);
    if (m_child > 0) {
        ::kill(pid_t(m_child), SIGTERM);
        ::waitpid(pid_t(m_child), nullptr, 0);
    }
}

bool BlockingSender::isValid() const
{
    return m_child > 0;
}

quint16 BlockingSender::port() const
{
    return m_port;
}

bool BlockingSender::prepare(qint64 bytesPerConnection)
{
    return m_control >= 0
            && ::write(m_control, &bytesPerConnection, sizeof(bytesPerConnection))
            == ssize_t(sizeof(bytesPerConnection));
}

void BlockingSender::serve(int listener, int control, int connections, Protocol protocol)
{
    qint64 count = 0;
    while (readAll(control, &count, sizeof(count))) {
        std::vector<std::thread> senders;
        for (int i = 0; i < connections; ++i) {
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd < 0)
                break;
            senders.emplace_back(sendCount, fd, count, protocol);
        }
        for (std::thread &sender : senders)
            sender.join();
    }
}
