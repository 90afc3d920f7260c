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
    // Now on the clock that stamps received datagrams (the kernel's
    // real-time clock), in nanoseconds; 0 when unknown. Only its distance to
    // those stamps means anything.
    virtual qint64 arrivalClockNowNs() const { return 0; }
    // The monotonic and the wall clock in milliseconds, for the sky's
    // timeouts and logon times; whole seconds where a clock has no finer.
    virtual qint64 monotonicMs() const { return monotonicSeconds() * 1000; }
    virtual qint64 wallMs() const { return wallSeconds() * 1000; }
};

class Sender
{
public:
    // What a send does when the socket's send buffer is full: wait for room
    // (a short while), or give the record up at once; or give it up as soon
    // as the buffer is half full, so that it never takes the room the
    // others need (answers to refused logons, which a flood multiplies).
    enum class WhenFull { WaitForRoom, Drop, DropFirst };

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
