#pragma once

#include <QString>

namespace Ipv4Text {

// Strict dotted-quad text ("127.0.0.2": no host names, no leading zeros,
// nothing around it) to an address in network byte order, without making
// a copy of the text. False for anything else.
bool parse(const QString &text, quint32 *address);

} // namespace Ipv4Text
