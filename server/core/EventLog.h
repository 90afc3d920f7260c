#pragma once

#include <QString>

#include <memory>

class QIODevice;

// The writer of "log.txt": one line per call, ended by CR LF and flushed at
// once, so the lines of a server ended from outside are not lost. Lines are
// written in UTF-8. Control characters that came from the network (a pilot's
// handle) are written as "?", so no datagram can start a line of its own.
// A failed write (a full disk) is ignored: the server keeps running.
class EventLog
{
public:
    EventLog();
    ~EventLog();

    // Takes over an open device; any previous one is closed.
    void open(std::unique_ptr<QIODevice> device);
    bool isOpen() const;

    void WriteLog(const QString &text);

private:
    std::unique_ptr<QIODevice> m_device;
};
