#include "recording_transport.h"

#include <QCoreApplication>
#include <QThread>

#include <condition_variable>
#include <thread>

namespace testing_support {

transport::SendOutcome failedSend(const QString& errorText, transport::FailureClass failure,
                                  bool mayHaveArrived)
{
    return {false, errorText, failure, mayHaveArrived};
}

namespace {

bool onApplicationThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace

void RecordingTransport::setSendOutcome(const QString& to, const transport::SendOutcome& outcome)
{
    std::lock_guard lock(m_mutex);
    m_outcomes.insert(to, outcome);
}

void RecordingTransport::setOtherSendsOutcome(const transport::SendOutcome& outcome)
{
    std::lock_guard lock(m_mutex);
    m_otherOutcome = outcome;
}

void RecordingTransport::setLoginOutcome(const transport::LoginOutcome& outcome)
{
    std::lock_guard lock(m_mutex);
    m_loginOutcome = outcome;
}

void RecordingTransport::setSendDelayMs(int ms)
{
    std::lock_guard lock(m_mutex);
    m_sendDelayMs = ms;
}

void RecordingTransport::setLoginDelayMs(int ms)
{
    std::lock_guard lock(m_mutex);
    m_loginDelayMs = ms;
}

void RecordingTransport::holdSend(const QString& to, std::function<void()> whileHeld)
{
    std::lock_guard lock(m_mutex);
    m_hold = Hold{to, std::move(whileHeld)};
}

bool RecordingTransport::isHolding() const
{
    std::lock_guard lock(m_mutex);
    return m_holding;
}

bool RecordingTransport::holdTimedOut() const
{
    std::lock_guard lock(m_mutex);
    return m_holdTimedOut;
}

QList<TransportRequest> RecordingTransport::requests() const
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

QList<transport::MailRequest> RecordingTransport::sends() const
{
    QList<transport::MailRequest> out;
    for (const TransportRequest& r : requests())
        if (r.kind == TransportRequest::Kind::Send)
            out.append(r.mail);
    return out;
}

QList<transport::Pop3Request> RecordingTransport::logins() const
{
    QList<transport::Pop3Request> out;
    for (const TransportRequest& r : requests())
        if (r.kind == TransportRequest::Kind::Login)
            out.append(r.login);
    return out;
}

QStringList RecordingTransport::recipients() const
{
    QStringList out;
    for (const transport::MailRequest& mail : sends())
        out.append(mail.to);
    return out;
}

QStringList RecordingTransport::subjects() const
{
    QStringList out;
    for (const transport::MailRequest& mail : sends())
        out.append(mail.subject);
    return out;
}

QStringList RecordingTransport::log() const
{
    QStringList out;
    for (const TransportRequest& r : requests()) {
        switch (r.kind) {
        case TransportRequest::Kind::Send: out.append(QStringLiteral("send ") + r.mail.to); break;
        case TransportRequest::Kind::Login:
            out.append(QStringLiteral("login ") + r.login.user);
            break;
        case TransportRequest::Kind::CloseSession: out.append(QStringLiteral("close")); break;
        }
    }
    return out;
}

bool RecordingTransport::anyOnApplicationThread() const
{
    for (const TransportRequest& r : requests())
        if (r.onApplicationThread)
            return true;
    return false;
}

void RecordingTransport::record(TransportRequest request)
{
    request.onApplicationThread = onApplicationThread();
    std::lock_guard lock(m_mutex);
    m_requests.append(std::move(request));
}

void RecordingTransport::waitHeld(std::function<void()> whileHeld)
{
    if (onApplicationThread()) {
        // Called straight from the application's thread there is no loop to hand it to.
        whileHeld();
        return;
    }
    struct Gate
    {
        std::mutex mutex;
        std::condition_variable opened;
        bool started = false;
        bool open = false;
    };
    auto gate = std::make_shared<Gate>();
    {
        std::lock_guard lock(m_mutex);
        m_holding = true;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [gate, whileHeld = std::move(whileHeld)] {
            {
                std::lock_guard lock(gate->mutex);
                gate->started = true;
            }
            whileHeld();
            std::lock_guard lock(gate->mutex);
            gate->open = true;
            gate->opened.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(gate->mutex);
    // A window that blocks its thread during the send would never run whileHeld: give up then,
    // so that the test fails instead of hanging.
    const bool started =
        gate->opened.wait_for(lock, std::chrono::seconds(10), [&gate] { return gate->started; });
    if (started)
        gate->opened.wait(lock, [&gate] { return gate->open; });
    std::lock_guard holding(m_mutex);
    m_holding = false;
    if (!started)
        m_holdTimedOut = true;
}

transport::SendOutcome RecordingTransport::send(const transport::MailRequest& mail)
{
    TransportRequest request;
    request.kind = TransportRequest::Kind::Send;
    request.mail = mail;
    record(request);

    std::function<void()> whileHeld;
    transport::SendOutcome outcome;
    int delayMs = 0;
    {
        std::lock_guard lock(m_mutex);
        outcome = m_outcomes.value(mail.to, m_otherOutcome);
        delayMs = m_sendDelayMs;
        if (m_hold && (m_hold->to.isNull() || m_hold->to == mail.to)) {
            whileHeld = std::move(m_hold->whileHeld);
            m_hold.reset();
        }
    }
    if (delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    if (whileHeld)
        waitHeld(std::move(whileHeld));
    return outcome;
}

transport::LoginOutcome RecordingTransport::pop3Login(const transport::Pop3Request& login)
{
    TransportRequest request;
    request.kind = TransportRequest::Kind::Login;
    request.login = login;
    record(request);
    transport::LoginOutcome outcome;
    int delayMs = 0;
    {
        std::lock_guard lock(m_mutex);
        outcome = m_loginOutcome;
        delayMs = m_loginDelayMs;
    }
    if (delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    return outcome;
}

void RecordingTransport::closeSession()
{
    TransportRequest request;
    request.kind = TransportRequest::Kind::CloseSession;
    record(request);
}

ScopedTransport::ScopedTransport(std::shared_ptr<transport::MailTransport> transport)
    : m_previous(
          transport::setTransportFactory([transport = std::move(transport)] { return transport; }))
{
}

ScopedTransport::~ScopedTransport()
{
    transport::setTransportFactory(std::move(m_previous));
}

} // namespace testing_support
