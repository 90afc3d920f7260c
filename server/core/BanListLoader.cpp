#include "BanListLoader.h"

#include <QMetaObject>
#include <QPointer>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

BanListLoader::BanListLoader(QObject *parent) : QObject(parent) {}

BanListLoader::~BanListLoader()
{
    // A result already posted is dropped with this object's posted events.
    join(m_worker);
    join(m_disposer);
}

void BanListLoader::join(std::thread &thread)
{
    if (thread.joinable())
        thread.join();
}

bool BanListLoader::start(const std::string &path, Done done)
{
    if (m_busy)
        return false;
    join(m_worker);
    m_busy = true;
    m_done = std::move(done);
    m_worker = std::thread([this, path] {
        // On a machine with one free core (or a server pinned to one) the
        // event loop comes first whenever both want to run.
        ::setpriority(PRIO_PROCESS, id_t(::gettid()), 19);
        auto loaded = std::make_shared<BanList::Loaded>(BanList::read(path));
        QMetaObject::invokeMethod(this, [this, loaded] { finish(loaded); }, Qt::QueuedConnection);
    });
    return true;
}

void BanListLoader::finish(const std::shared_ptr<BanList::Loaded> &loaded)
{
    join(m_worker);
    m_busy = false;
    const Done done = std::move(m_done);
    m_done = nullptr;
    // The callback may run the event loop (it tells players they are
    // removed), and this object may be gone when it returns.
    const QPointer<BanListLoader> self(this);
    if (done)
        done(*loaded);
    if (self)
        dispose(std::move(loaded->list));
}

void BanListLoader::dispose(BanList list)
{
    join(m_disposer);
    m_disposer = std::thread([list = std::move(list)]() mutable {
        list = BanList();
        // Give what the list held back to the system rather than keep it
        // in this thread's arena for good.
        ::malloc_trim(0);
    });
}
