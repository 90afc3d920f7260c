#include "HttpRequestReader.h"

#include <QList>

#include <algorithm>

namespace {

constexpr int BadRequest = 400;
constexpr int UriTooLong = 414;
constexpr int HeaderTooLarge = 431;
constexpr int VersionNotSupported = 505;

bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (!isTokenChar(c))
            return false;
    }
    return true;
}

// Visible ASCII, space, tab and bytes above 0x7F; no other control.
bool isFieldValue(QByteArrayView text)
{
    for (const char c : text) {
        const uchar u = uchar(c);
        if (u != '\t' && (u < 0x20 || u == 0x7F))
            return false;
    }
    return true;
}

// Just past the empty line that ends the head; -1 when none is held yet.
qsizetype headEnd(QByteArrayView buffer)
{
    qsizetype lineStart = 0;
    for (qsizetype end = buffer.indexOf('\n'); end >= 0; end = buffer.indexOf('\n', lineStart)) {
        const qsizetype length = end - lineStart - (end > lineStart && buffer[end - 1] == '\r' ? 1 : 0);
        if (length == 0)
            return end + 1;
        lineStart = end + 1;
    }
    return -1;
}

// The path of an origin-form ("/x?y") or absolute-form ("http://h/x")
// target; nothing when it is neither or holds a space or control.
std::optional<QByteArray> pathOf(QByteArrayView target)
{
    for (const char c : target) {
        if (uchar(c) <= 0x20 || uchar(c) >= 0x7F)
            return std::nullopt;
    }
    QByteArrayView path = target;
    const qsizetype scheme = target.indexOf("://");
    if (!target.startsWith('/')) {
        const QByteArrayView name = scheme > 0 ? target.first(scheme) : QByteArrayView();
        if (name.compare("http", Qt::CaseInsensitive) != 0 && name.compare("https", Qt::CaseInsensitive) != 0)
            return target == "*" ? std::optional<QByteArray>("*") : std::nullopt;
        path = target.sliced(scheme + 3);
        qsizetype start = 0;
        while (start < path.size() && !QByteArrayView("/?#").contains(path[start]))
            ++start;
        path = start < path.size() && path[start] == '/' ? path.sliced(start) : QByteArrayView("/");
    }
    qsizetype end = 0;
    while (end < path.size() && path[end] != '?' && path[end] != '#')
        ++end;
    return QByteArray::fromPercentEncoding(path.first(end).toByteArray());
}

// "METHOD SP target SP HTTP/d.d"; the minor version comes back in `minor`.
HttpRequest requestLine(QByteArrayView line, int *minor)
{
    HttpRequest request;
    const QList<QByteArray> parts = line.toByteArray().split(' ');
    const QByteArray version = parts.size() == 3 ? parts[2] : QByteArray();
    const bool versionShape = version.size() == 8 && version.startsWith("HTTP/") && version[6] == '.'
        && QByteArrayView("0123456789").contains(version[5]) && QByteArrayView("0123456789").contains(version[7]);
    const std::optional<QByteArray> path = parts.size() == 3 ? pathOf(parts[1]) : std::nullopt;
    if (!versionShape || !isToken(parts[0]) || !path) {
        request.refusal = BadRequest;
    } else if (version[5] != '1') {
        request.refusal = VersionNotSupported;
    } else {
        request.method = parts[0];
        request.path = *path;
        *minor = version[7] - '0';
    }
    return request;
}

// What the fields say about framing and the connection.
struct Framing {
    int hosts = 0;
    bool close = false;
    bool keepAlive = false;
    bool transferEncoding = false;
    QByteArray length; // the one value every Content-Length names
    bool lengthConflict = false;
};

void takeList(QByteArrayView name, QByteArrayView value, Framing *framing)
{
    for (const QByteArray &raw : value.toByteArray().split(',')) {
        const QByteArray item = raw.trimmed();
        if (name.compare("connection", Qt::CaseInsensitive) == 0) {
            framing->close |= item.compare("close", Qt::CaseInsensitive) == 0;
            framing->keepAlive |= item.compare("keep-alive", Qt::CaseInsensitive) == 0;
            continue;
        }
        const bool digits = !item.isEmpty() && item.size() <= 18
            && std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; });
        const QByteArray number = digits ? QByteArray::number(item.toLongLong()) : QByteArray();
        framing->lengthConflict |= !digits || (!framing->length.isEmpty() && framing->length != number);
        framing->length = number;
    }
}

// One "name: value" line into `framing`; false when it is malformed.
bool takeField(QByteArrayView line, Framing *framing)
{
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0 || !isToken(line.first(colon)))
        return false; // also a folded line or space before the colon
    const QByteArrayView name = line.first(colon);
    const QByteArrayView value = line.sliced(colon + 1).trimmed();
    if (!isFieldValue(value))
        return false;
    if (name.compare("host", Qt::CaseInsensitive) == 0)
        ++framing->hosts;
    else if (name.compare("transfer-encoding", Qt::CaseInsensitive) == 0)
        framing->transferEncoding = true;
    else if (name.compare("connection", Qt::CaseInsensitive) == 0
             || name.compare("content-length", Qt::CaseInsensitive) == 0)
        takeList(name, value, framing);
    return true;
}

HttpRequest parseHead(QByteArrayView head)
{
    QList<QByteArray> lines = head.toByteArray().split('\n');
    lines.removeLast(); // after the empty line's LF
    lines.removeLast(); // the empty line
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.contains('\r'))
            return {BadRequest, {}, {}, false};
    }
    if (lines.size() - 1 > HttpRequestReader::MaxFields)
        return {HeaderTooLarge, {}, {}, false};
    int minor = 1;
    HttpRequest request = requestLine(lines.first(), &minor);
    Framing framing;
    for (qsizetype i = 1; i < lines.size() && request.refusal == 0; ++i) {
        if (!takeField(lines[i], &framing))
            request.refusal = BadRequest;
    }
    const bool body = framing.transferEncoding || (!framing.length.isEmpty() && framing.length != "0");
    if (framing.lengthConflict || (framing.transferEncoding && !framing.length.isEmpty()) || framing.hosts > 1
        || (minor >= 1 && framing.hosts == 0))
        request.refusal = request.refusal ? request.refusal : BadRequest;
    request.keepAlive = request.refusal == 0 && !body && !framing.close && (minor >= 1 || framing.keepAlive);
    return request;
}

} // namespace

void HttpRequestReader::append(QByteArrayView bytes)
{
    m_buffer.append(bytes.first(qMin(bytes.size(), room())));
}

std::optional<HttpRequest> HttpRequestReader::take()
{
    // Empty lines before a request line are skipped, as some clients send
    // one after a request.
    qsizetype start = 0;
    while (start < m_buffer.size() && (m_buffer[start] == '\r' || m_buffer[start] == '\n'))
        ++start;
    m_buffer.remove(0, start);
    const qsizetype end = headEnd(m_buffer);
    if (end < 0) {
        if (room() > 0)
            return std::nullopt;
        const int refusal = m_buffer.contains('\n') ? HeaderTooLarge : UriTooLong;
        m_buffer.clear();
        return HttpRequest {refusal, {}, {}, false};
    }
    const HttpRequest request = parseHead(QByteArrayView(m_buffer).first(end));
    m_buffer.remove(0, end);
    return request;
}
