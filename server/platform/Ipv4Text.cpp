#include "Ipv4Text.h"

#include <arpa/inet.h>

namespace Ipv4Text {

bool parse(const QString &text, quint32 *address)
{
    quint32 value = 0;
    int parts = 0;
    int digits = 0;
    quint32 part = 0;
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        if (unit >= u'0' && unit <= u'9') {
            // No leading zeros and no part above 255, as inet_pton reads it.
            if ((digits == 1 && part == 0) || ++digits > 3 || (part = part * 10 + (unit - u'0')) > 255)
                return false;
        } else if (unit == u'.' && digits > 0 && parts < 3) {
            value = value << 8 | part;
            ++parts;
            digits = 0;
            part = 0;
        } else {
            return false;
        }
    }
    if (parts != 3 || digits == 0)
        return false;
    *address = htonl(value << 8 | part);
    return true;
}

} // namespace Ipv4Text
