#include "EventLog.h"

#include "NetworkText.h"

#include <QFileDevice>
#include <QIODevice>

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

void EventLog::setReopener(std::function<std::unique_ptr<QIODevice>()> opener)
{
    m_reopener = std::move(opener);
}

void EventLog::reopen()
{
    if (!isOpen() || !m_reopener)
        return;
    if (std::unique_ptr<QIODevice> device = m_reopener())
        open(std::move(device));
}

void EventLog::WriteLog(const QString &text)
{
    if (!isOpen())
        return;
    QByteArray bytes = NetworkText::oneLine(text).toUtf8();
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
