#include "EventLog.h"

#include <QFileDevice>
#include <QIODevice>

namespace {

bool breaksLines(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

} // namespace

EventLog::EventLog() = default;
EventLog::~EventLog() = default;

void EventLog::open(std::unique_ptr<QIODevice> device)
{
    m_device = std::move(device);
    m_failureReported = false;
}

bool EventLog::isOpen() const
{
    return m_device && m_device->isOpen();
}

void EventLog::setWriteFailureHandler(std::function<void(const QString &)> handler)
{
    m_onWriteFailure = std::move(handler);
}

QString EventLog::oneLine(const QString &text)
{
    QString line = text;
    for (QChar &c : line) {
        if (breaksLines(c.unicode()))
            c = u'?';
    }
    return line;
}

void EventLog::WriteLog(const QString &text)
{
    if (!isOpen())
        return;
    QByteArray bytes = oneLine(text).toUtf8();
    bytes += "\r\n";
    bool written = m_device->write(bytes) == bytes.size();
    if (auto *file = qobject_cast<QFileDevice *>(m_device.get()))
        written = file->flush() && written;
    if (!written && !m_failureReported) {
        m_failureReported = true;
        if (m_onWriteFailure)
            m_onWriteFailure(m_device->errorString());
    }
}
