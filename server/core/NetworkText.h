#pragma once

#include <QString>

// Text that came from the network (handles, messages of the day relayed
// back, anything a client wrote) made safe for where it goes. Each place
// that shows such text to a person or a program passes it through one of
// these; none of them trusts it as it arrived.
namespace NetworkText {

// For a line of the log or a terminal: every character that could end the
// line, start another or drive the terminal (C0 and C1 controls, escape
// included, DEL, the Unicode line and paragraph separators), and every
// bidirectional embedding, override or isolate (U+202A to U+202E, U+2066
// to U+2069), which would reorder the rest of the line, becomes "?".
QString oneLine(const QString &text);

// For JSON and any UTF-8 output: a UTF-16 surrogate without its partner
// becomes U+FFFD, so strict parsers accept the document.
QString wellFormed(const QString &text);

// For HTML text and attribute values: the one-line rule and the well-formed
// rule above, then "&", "<", ">", '"' and "'" as character references, so
// the text shows as the characters it holds and never as markup.
QString html(const QString &text);

} // namespace NetworkText
