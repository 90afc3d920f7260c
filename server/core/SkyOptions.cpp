#include "SkyOptions.h"

#include "INIFiles.h"
#include "ServerOptionsLayout.h"
#include "SettingsText.h"
#include "SkyMessage.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

namespace SkyOptions {
namespace {

using namespace ServerOptionsLayout;

QString setting(const INIFiles &serverIni, const char *key, const char *fallback = "")
{
    return QString::fromStdString(settingsTextAsUtf8(serverIni.ReadINI(Section, key, fallback))).trimmed();
}

QString problem(const char *key, const QString &value, const QString &why)
{
    return QLatin1String(key) + QStringLiteral(" \"") + value + QStringLiteral("\" ") + why
        + QStringLiteral("; the server runs alone, outside any sky");
}

bool usableUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && (url.scheme() == QLatin1String("nats") || url.scheme() == QLatin1String("tls"))
        && !url.host().isEmpty() && url.path().isEmpty();
}

bool readableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isReadable();
}

} // namespace

QString redactedUrl(const QString &urls)
{
    QStringList shown;
    for (const QString &text : urls.split(QLatin1Char(','))) {
        QUrl url(text.trimmed());
        if (!url.password().isEmpty())
            url.setPassword(QStringLiteral("***"));
        shown.append(url.toString());
    }
    return shown.join(QLatin1Char(','));
}

Options read(const INIFiles &serverIni)
{
    Options sky;
    const QString url = setting(serverIni, SkyUrlKey);
    if (url.isEmpty())
        return sky;
    const QString nodeText = setting(serverIni, SkyNodeKey);
    const QString name = setting(serverIni, SkyNameKey, DefaultSkyName);
    const QString credentials = setting(serverIni, SkyCredentialsKey);
    const QString caFile = setting(serverIni, SkyCaFileKey);
    bool isNumber = false;
    const int node = nodeText.toInt(&isNumber);
    const QStringList urls = url.split(QLatin1Char(','));
    if (!std::all_of(urls.begin(), urls.end(), [](const QString &one) { return usableUrl(one.trimmed()); }))
        sky.warnings.append(problem(SkyUrlKey, redactedUrl(url), QStringLiteral("is not one or more nats:// or tls:// URLs")));
    else if (!isNumber || node < 1 || node > SkyMessage::MaxNode)
        sky.warnings.append(problem(SkyNodeKey, nodeText, QStringLiteral("is not a whole number from 1 to 127")));
    else if (!QRegularExpression(QStringLiteral("^[A-Za-z0-9_-]{1,64}$")).match(name).hasMatch())
        sky.warnings.append(problem(SkyNameKey, name, QStringLiteral("is not 1 to 64 letters, digits, '-' or '_'")));
    else if (!credentials.isEmpty() && !readableFile(credentials))
        sky.warnings.append(problem(SkyCredentialsKey, credentials, QStringLiteral("is no readable file")));
    else if (!caFile.isEmpty() && !readableFile(caFile))
        sky.warnings.append(problem(SkyCaFileKey, caFile, QStringLiteral("is no readable file")));
    if (!sky.warnings.isEmpty())
        return sky;
    sky.url = url;
    sky.node = node;
    sky.name = name;
    sky.credentials = credentials;
    sky.caFile = caFile;
    return sky;
}

} // namespace SkyOptions
