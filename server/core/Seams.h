#pragma once

#include "Endpoint.h"
#include "Packet.h"

#include <QByteArray>
#include <QString>
#include <QTime>

// The server core reaches the outside world only through these interfaces.
// The program plugs in the system clock, the UDP socket and the event loop;
// tests plug in fakes that record and script what happens.

class Clock
{
public:
    virtual ~Clock() = default;
    // Local wall time, for log lines.
    virtual QTime timeOfDay() const = 0;
    // Whole seconds of a clock that never jumps, for heartbeat ages: a change
    // of the wall clock neither drops every player nor makes them immortal.
    virtual qint64 monotonicSeconds() const = 0;
    // Whole seconds since 1970 UTC, for what outlives a run (when a ban
    // ends); it may jump when the system's clock is set.
    virtual qint64 wallSeconds() const = 0;
};

class Sender
{
public:
    // What a send does when the socket's send buffer is full: wait for room
    // (a short while), or give the record up at once.
    enum class WhenFull { WaitForRoom, Drop };

    virtual ~Sender() = default;
    // Sends one 128-byte record to `to`, address and port as the core chose
    // them, or holds it back to go out, in order, before anything else a
    // yield may run. Returns false when it was refused at once; a record
    // accepted and then refused by the system is counted by the sender
    // itself in the run's sendFailuresByType.
    virtual bool send(const Endpoint &to, const Packet &record, WhenFull whenFull) = 0;
};

class Yield
{
public:
    virtual ~Yield() = default;
    // Lets pending events run: a timer tick, a close notification or (outside
    // a receive burst) a data arrival may be handled before this returns.
    virtual void yield() = 0;
};

// Where received datagrams wait, whole, with their senders.
class DatagramSource
{
public:
    virtual ~DatagramSource() = default;
    virtual bool hasPendingDatagrams() const = 0;
    // Takes the next datagram and the endpoint it came from; false with an
    // error number and text when it cannot be read.
    virtual bool read(QByteArray *bytes, Endpoint *sender, int *errorNumber, QString *errorText) = 0;
    // Raises the data-arrival notification again from the event loop, for
    // arrivals that came while a burst was being handled.
    virtual void raiseArrivalLater(qint64 size) = 0;
    // When the datagram read last reached the socket, and now, on the clock
    // of those arrival times (the kernel's): nanoseconds, 0 when unknown.
    // Now is never before the newest arrival taken in. Only their
    // difference means anything; the process's own clock may run elsewhere.
    virtual qint64 lastReadArrivalNs() const { return 0; }
    virtual qint64 arrivalClockNowNs() const { return 0; }
    // Takes in what has reached the system's socket since the last read,
    // without announcing it yet: the newest arrival then tells how long the
    // datagrams still to be handled have waited.
    virtual void takeInWaiting() {}
};
