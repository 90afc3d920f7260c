#pragma once

#include "BanList.h"

#include <QObject>

#include <functional>
#include <memory>
#include <string>
#include <thread>

// Reads, parses and indexes bans.ini on a thread of its own, so that even
// the largest file the limits allow never holds up the event loop, and
// hands the list to the event loop of the thread that made this object.
// The list a caller replaces is given back the same way and destroyed on
// another thread too. The worker touches nothing but the path it is given
// and the list it builds.
//
// One load at a time. Destroying the loader waits for a load in progress
// (the time one parse of the file takes) and drops its result.
class BanListLoader : public QObject
{
    Q_OBJECT

public:
    // Runs on the event loop with the list loaded. What `loaded.list`
    // holds when it returns (the list it replaced, typically) is destroyed
    // off the event loop.
    using Done = std::function<void(BanList::Loaded &loaded)>;

    explicit BanListLoader(QObject *parent = nullptr);
    ~BanListLoader() override;
    BanListLoader(const BanListLoader &) = delete;
    BanListLoader &operator=(const BanListLoader &) = delete;

    bool busy() const { return m_busy; }
    // Starts a load of `path`; false, and nothing started, while busy().
    bool start(const std::string &path, Done done);

private:
    void finish(const std::shared_ptr<BanList::Loaded> &loaded);
    void dispose(BanList list);
    static void join(std::thread &thread);

    bool m_busy = false;
    Done m_done;
    std::thread m_worker;
    std::thread m_disposer;
};
