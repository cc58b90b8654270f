#include "core/transport/transport_thread.h"

#include "core/transport/nmail_transport.h"

#include <QEventLoop>
#include <QMutex>

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
    m_thread.setObjectName(QStringLiteral("transport"));
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    m_thread.start();
    QMetaObject::invokeMethod(
        m_context, [this, factory = std::move(factory)] { m_transport = factory(); },
        Qt::QueuedConnection);
}

TransportThread::~TransportThread()
{
    // Queued behind every job handed in: they all run before the transport goes.
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            m_transport.reset();
            m_thread.quit();
        },
        Qt::QueuedConnection);
    m_thread.wait();
    delete m_context;
}

quint64 TransportThread::post(Job job)
{
    const quint64 ticket = ++m_posted;
    QMetaObject::invokeMethod(
        m_context,
        [this, ticket, job = std::move(job)] {
            job(*m_transport);
            // Dropped unseen when this object has gone meanwhile.
            QMetaObject::invokeMethod(
                this,
                [this, ticket] {
                    m_finished = ticket;
                    emit finished(ticket);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    return ticket;
}

void TransportThread::wait(quint64 ticket)
{
    if (isFinished(ticket))
        return;
    QEventLoop loop;
    connect(this, &TransportThread::finished, &loop, [&loop, ticket](quint64 done) {
        if (done >= ticket)
            loop.quit();
    });
    loop.exec();
}

} // namespace transport
