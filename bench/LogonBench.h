#pragma once

#include <QString>
#include <QStringList>

// What a hostile or careless client gets out of the logon, against the
// real server on loopback (LoopbackBench::RelayProcess):
//
//   guesses   how many guesses find a 6-digit password when each address
//             (127.1.0.2 upwards) sends only a few of them, and how long it
//             takes (--addresses N, --per-address N, --seconds S,
//             --password-at N: the right password's place in the order);
//   guesses6  the same from one address in each of many /64s of
//             2001:db8:ab::/48, in a network namespace made for the run
//             (root only), where those addresses are local to loopback;
//   socket    how many players one socket holds under one account after
//             --handles N logons under as many handles (each record to
//             that address then goes once per player);
//   cost      the server's CPU time for --pilots N logons of pilots with
//             accounts of their own, --batch N (50) asked for at once, and
//             per logon as the 250th and the last batch join;
//   core      the same logons handed to the protocol core in-process, with
//             a sender that only counts: our code's own cost per logon,
//             without the system's sends (and so fit for callgrind), with
//             --accounts N in user.ini (20 take turns logging on).
//
// Sends only to loopback, is bounded in time, and ends the server it
// started.
namespace LogonBench {

int run(QStringList arguments, const QString &serverBinary);

} // namespace LogonBench
