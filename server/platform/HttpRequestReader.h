#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// One HTTP/1.x request as the status page needs it: what to answer and
// whether the connection may carry another request afterwards.
struct HttpRequest {
    // 0: a request to answer. Otherwise the status that refuses it (400,
    // 414, 431 or 505); the connection is closed once that is answered.
    int refusal = 0;
    QByteArray method;
    // The target's path, percent-decoded, without its query; the path of an
    // absolute-form target ("http://host/metrics") too.
    QByteArray path;
    // False when the client asked to close, speaks HTTP/1.0 without
    // "keep-alive", or sent a body: a body is never read, so nothing after
    // it could be told apart from it.
    bool keepAlive = true;
};

// Takes the requests of one connection out of the bytes it sends, one at a
// time, in order. It holds at most MaxHeadBytes: the caller reads no more
// from the socket than room() says, so a client can never make it grow.
//
// Parsing is strict where a lenient reading could be misread: whitespace
// before a field's colon, folded field lines, a bare CR, more than one Host
// or Content-Length values that differ refuse the request (400). A request
// with both Transfer-Encoding and Content-Length is refused (400). A body
// (any Content-Length above 0, or Transfer-Encoding) is not read: its
// request is answered and the connection closed. A line may end in LF alone;
// empty lines before a request line are skipped.
class HttpRequestReader
{
public:
    static constexpr qsizetype MaxHeadBytes = 8192; // request line, fields and the empty line
    static constexpr int MaxFields = 64;

    // How many more bytes append() may be given.
    qsizetype room() const { return MaxHeadBytes - m_buffer.size(); }
    // Whether part of a request is held.
    bool holdsBytes() const { return !m_buffer.isEmpty(); }
    // At most room() bytes.
    void append(QByteArrayView bytes);
    // The next request, removed from what is held; a refusal when the head
    // is over MaxHeadBytes; nothing while it is incomplete. After a refusal
    // or a request that does not keep the connection alive, what follows is
    // not to be read.
    std::optional<HttpRequest> take();

private:
    QByteArray m_buffer;
};
