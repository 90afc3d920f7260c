#pragma once

#include <QString>

#include <functional>
#include <memory>

class QIODevice;

// The writer of "log.txt": one line per call, ended by CR LF and flushed at
// once, so the lines of a server ended from outside are not lost. Lines are
// written in UTF-8. Characters that could break a line or fake one, which
// only text from the network can bring, are written as "?"
// (NetworkText::oneLine).
//
// A failed write (a full disk, a file size limit) never stops the server:
// the line is lost, and the failure handler, when one is set, is told once
// per opened device, so the operator learns that the log is incomplete.
class EventLog
{
public:
    EventLog();
    ~EventLog();

    // Takes over an open device; any previous one is closed. Opening another
    // device (a log moved away and reopened) reports its failures afresh.
    void open(std::unique_ptr<QIODevice> device);
    bool isOpen() const;

    void setWriteFailureHandler(std::function<void(const QString &reason)> handler);

    // How reopen() gets a fresh device: the log's file opened again, or null
    // when it cannot be opened.
    void setReopener(std::function<std::unique_ptr<QIODevice>()> opener);
    // The file was moved away (or is to be): every line written so far went
    // to the old device; from here on they go to a fresh one. When none can
    // be had, the old device stays in use. A closed log stays closed.
    void reopen();

    void WriteLog(const QString &text);

private:
    std::unique_ptr<QIODevice> m_device;
    std::function<void(const QString &)> m_onWriteFailure;
    std::function<std::unique_ptr<QIODevice>()> m_reopener;
    bool m_failureReported = false;
};
