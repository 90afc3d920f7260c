#include "EventLog.h"

#include <QFileDevice>
#include <QIODevice>

EventLog::EventLog() = default;
EventLog::~EventLog() = default;

void EventLog::open(std::unique_ptr<QIODevice> device)
{
    m_device = std::move(device);
}

bool EventLog::isOpen() const
{
    return m_device && m_device->isOpen();
}

void EventLog::WriteLog(const QString &text)
{
    if (!isOpen())
        return;
    QString line = text;
    for (QChar &c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = u'?';
    }
    QByteArray bytes = line.toUtf8();
    bytes += "\r\n";
    m_device->write(bytes);
    if (auto *file = qobject_cast<QFileDevice *>(m_device.get()))
        file->flush();
}
