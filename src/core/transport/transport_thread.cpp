#include "core/transport/transport_thread.h"

#include "core/transport/nmail_transport.h"

#include <QEventLoop>
#include <QMutex>

#include <algorithm>

#include <utility>

namespace transport {
namespace {

QMutex& factoryMutex()
{
    static QMutex mutex;
    return mutex;
}

TransportFactory programFactory()
{
    return [] { return std::make_shared<NMailTransport>(); };
}

TransportFactory& factorySlot()
{
    static TransportFactory factory = programFactory();
    return factory;
}

} // namespace

TransportFactory transportFactory()
{
    QMutexLocker lock(&factoryMutex());
    return factorySlot();
}

TransportFactory setTransportFactory(TransportFactory factory)
{
    if (!factory)
        factory = programFactory();
    QMutexLocker lock(&factoryMutex());
    return std::exchange(factorySlot(), std::move(factory));
}

TransportThread::TransportThread(TransportFactory factory, QObject* parent) : QObject(parent)
{
    // A plain loop over a queue rather than an event loop: a job starts as soon as the
    // thread is woken, and the transport's sockets only make blocking calls.
    m_thread.reset(QThread::create([this, factory = std::move(factory)] { runJobs(factory); }));
    m_thread->setObjectName(QStringLiteral("transport"));
    m_thread->start();
}

TransportThread::~TransportThread()
{
    {
        std::lock_guard lock(m_mutex);
        m_ending = true;
    }
    m_jobsChanged.notify_one();
    m_thread->wait();
}

void TransportThread::runJobs(const TransportFactory& factory)
{
    std::shared_ptr<MailTransport> transport = factory();
    for (;;) {
        std::pair<quint64, Job> next;
        {
            std::unique_lock lock(m_mutex);
            m_jobsChanged.wait(lock, [this] { return !m_jobs.empty() || m_ending; });
            // Every job handed in runs before the end.
            if (m_jobs.empty())
                break;
            next = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        next.second(*transport);
        {
            std::lock_guard lock(m_mutex);
            m_doneOnThread = next.first;
        }
        m_jobDone.notify_all();
        // Dropped unseen when this object has gone meanwhile.
        QMetaObject::invokeMethod(
            this, [this, ticket = next.first] { noteFinished(ticket); }, Qt::QueuedConnection);
    }
    transport.reset();
}

void TransportThread::noteFinished(quint64 ticket)
{
    m_finished = std::max(m_finished, ticket);
    emit finished(ticket);
}

quint64 TransportThread::post(Job job)
{
    const quint64 ticket = ++m_posted;
    {
        std::lock_guard lock(m_mutex);
        m_jobs.emplace_back(ticket, std::move(job));
    }
    m_jobsChanged.notify_one();
    return ticket;
}

void TransportThread::wait(quint64 ticket)
{
    if (isFinished(ticket))
        return;
    {
        std::unique_lock lock(m_mutex);
        if (m_jobDone.wait_for(lock, kQuickWait, [&] { return m_doneOnThread >= ticket; })) {
            m_finished = std::max(m_finished, ticket);
            return;
        }
    }
    QEventLoop loop;
    connect(this, &TransportThread::finished, &loop, [&loop, ticket](quint64 done) {
        if (done >= ticket)
            loop.quit();
    });
    loop.exec();
}

} // namespace transport
