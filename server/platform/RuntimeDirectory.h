#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

// Where a server keeps the names it is found by: its single-instance lock
// and its control socket. Both are files in a directory that only the
// server's own user (and root) can write, so no other local user can take
// either name first, stop the server from starting or answer in its place.
//
// A server uses, in this order:
// - /run/ventoro when it runs as root, or when that directory exists and
//   belongs to it (the service's runtime directory);
// - $XDG_RUNTIME_DIR/ventoro when XDG_RUNTIME_DIR is its user's private
//   directory (a desktop or SSH session);
// - /tmp/ventoro-UID otherwise, made private to its user; when another user
//   holds that name, a private /tmp/ventoro-UID-XXXXXX of its own instead
//   (the one an earlier run made, else a new one with an unguessable name).
// The command line looks in the same places in the same order and trusts a
// directory only when nobody but its owner can write it, and it belongs to
// root, to the asking user, or is /run/ventoro (which only root can make).
class RuntimeDirectory
{
public:
    static constexpr char SystemPath[] = "/run/ventoro";
    static constexpr char DefaultInstance[] = "ventoro-server";

    // VENTORO_INSTANCE when it is set and not empty, so that a second server
    // on other ports (or a test run) can live beside the first; else
    // "ventoro-server".
    static QString instanceName();
    // Letters, digits, ".", "_" and "-", not starting with ".", at most 64
    // characters: a file name in any of the directories above.
    static bool isValidInstanceName(const QString &name);

    // The directory for a server run by this process's user, made when
    // missing. Empty, with the reason in `error`, when there is none it can
    // trust (e.g. $XDG_RUNTIME_DIR/ventoro belongs to somebody else).
    static QString prepareForServer(QString *error);

    // Where servers this user may ask can live, in the order to look.
    static QStringList clientCandidates();

    // Whether the command line may trust `path`: a real directory (not a
    // link) that only its owner can write, owned by root or by this
    // process's user, or the system path. Gives its owner; `why` says what
    // is wrong otherwise.
    static bool isTrusted(const QString &path, uid_t *owner, QString *why);

    static QString lockPath(const QString &directory, const QString &instance);
    static QString controlPath(const QString &directory, const QString &instance);
};
