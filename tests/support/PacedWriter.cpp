#include "PacedWriter.h"

#include <QTcpSocket>

#include <algorithm>

namespace {

// Keep the socket's own buffer short so that a fast reader is fed steadily
// and a slow one does not make us buffer gigabytes.
const qint64 HighWater = 1024 * 1024;
const qint64 ChunkSize = 64 * 1024;
const int RateTickMs = 10;

const QByteArray &fillerChunk()
{
    static const QByteArray chunk = [] {
        QByteArray bytes(int(ChunkSize), Qt::Uninitialized);
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char('a' + i % 26);
        return bytes;
    }();
    return chunk;
}

} // namespace

PacedWriter::PacedWriter(QTcpSocket *socket, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_filler(false)
    , m_busy(false)
    , m_headPending(false)
    , m_length(0)
    , m_position(0)
    , m_pieceEnd(0)
    , m_rateSent(0)
    , m_total(0)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &PacedWriter::pump);
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] {
        if (!m_timer.isActive())
            pump();
    });
}

void PacedWriter::send(const QByteArray &head, const QByteArray &body, const Pacing &pacing)
{
    m_body = body;
    m_filler = false;
    m_length = body.size();
    begin(head, pacing);
}

void PacedWriter::sendFiller(const QByteArray &head, qint64 length, const Pacing &pacing)
{
    m_body.clear();
    m_filler = true;
    m_length = length < 0 ? -1 : length;
    begin(head, pacing);
}

bool PacedWriter::isBusy() const
{
    return m_busy;
}

qint64 PacedWriter::bodyBytesWritten() const
{
    return m_total;
}

void PacedWriter::begin(const QByteArray &head, const Pacing &pacing)
{
    m_pacing = pacing;
    m_pacing.pieces = std::max(1, pacing.pieces);
    m_head = head;
    m_headPending = true;
    m_busy = true;
    m_position = 0;
    m_rateSent = 0;
    m_pieceEnd = m_filler ? -1 : (m_length + m_pacing.pieces - 1) / m_pacing.pieces;
    if (m_pacing.delayMs > 0)
        wait(m_pacing.delayMs);
    else
        pump();
}

void PacedWriter::wait(int ms)
{
    m_timer.start(std::max(0, ms));
}

qint64 PacedWriter::writeBody(qint64 n)
{
    const char *data = m_filler ? fillerChunk().constData()
                                : m_body.constData() + m_position;
    const qint64 written = m_socket->write(data, n);
    if (written <= 0)
        return 0;
    m_position += written;
    m_total += written;
    m_rateSent += written;
    emit bodyBytesSent(written);
    return written;
}

void PacedWriter::pump()
{
    if (!m_busy || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (m_headPending) {
        m_headPending = false;
        if (!m_head.isEmpty())
            m_socket->write(m_head);
        m_rateClock.start();
    }
    while (m_length < 0 || m_position < m_length) {
        if (m_socket->bytesToWrite() >= HighWater)
            return; // bytesWritten brings us back
        qint64 n = m_length < 0 ? ChunkSize : m_length - m_position;
        if (m_pacing.closeAfterBytes >= 0) {
            const qint64 budget = m_pacing.closeAfterBytes - m_total;
            if (budget <= 0) {
                m_busy = false;
                m_socket->disconnectFromHost();
                emit cutOff();
                return;
            }
            n = std::min(n, budget);
        }
        if (m_pieceEnd >= 0) {
            if (m_position >= m_pieceEnd) {
                m_pieceEnd = std::min(m_length, m_pieceEnd + (m_length + m_pacing.pieces - 1) / m_pacing.pieces);
                // The timer first: flushing emits bytesWritten at once.
                wait(m_pacing.pieceIntervalMs);
                m_socket->flush();
                return;
            }
            n = std::min(n, m_pieceEnd - m_position);
        }
        if (m_pacing.bytesPerSecond > 0) {
            const qint64 allowed = m_pacing.bytesPerSecond * m_rateClock.elapsed() / 1000 - m_rateSent;
            if (allowed <= 0) {
                wait(RateTickMs);
                return;
            }
            n = std::min(n, allowed);
        }
        if (m_filler)
            n = std::min(n, ChunkSize);
        if (writeBody(n) == 0)
            return;
    }
    // A budget that ends exactly with the body still closes the connection.
    if (m_pacing.closeAfterBytes >= 0 && m_total >= m_pacing.closeAfterBytes) {
        m_busy = false;
        m_socket->disconnectFromHost();
        emit cutOff();
        return;
    }
    m_busy = false;
    m_body.clear();
    emit done();
}
