#pragma once

#include "core/transport/mail_transport.h"

#include <QObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace transport {

// Makes the transport a window runs. The program's is an NMailTransport; tests install one
// that records what it is asked and answers from a script.
using TransportFactory = std::function<std::shared_ptr<MailTransport>()>;
TransportFactory transportFactory();
// Returns the factory in use before; an empty factory puts the program's own back.
TransportFactory setTransportFactory(TransportFactory factory);

// One thread that owns one transport for as long as this object lives, so that the libcurl
// handle, its kept connection and the POP3 client's sockets are made and used on one thread
// and never on the window's. Requests run one after another in the order they were handed in.
//
// The owner's thread hands in jobs and learns of their end through finished(), delivered by
// its own event loop; wait() runs that loop locally, so a window keeps painting and taking
// clicks while a mail is on its way.
class TransportThread final : public QObject
{
    Q_OBJECT
public:
    using Job = std::function<void(MailTransport&)>;

    // Starts the thread and makes the factory's transport on it.
    explicit TransportThread(TransportFactory factory = transportFactory(),
                             QObject* parent = nullptr);
    // Lets every job handed in run to its end, destroys the transport on its thread and joins
    // the thread. Blocks the caller for as long as that takes.
    ~TransportThread() override;

    // Hands job to the thread; it runs after every job handed in before it. Returns the job's
    // ticket, which finished() names once the job is done.
    quint64 post(Job job);
    // True once the job of ticket is known to be done on the owner's thread.
    bool isFinished(quint64 ticket) const { return ticket <= m_finished; }
    // Returns once the job of ticket is done. A job that ends within kQuickWait (a mail to a
    // server nearby) is waited for directly; after that the calling thread's events are
    // processed in a local loop until the job is done.
    void wait(quint64 ticket);

    // Runs job on the thread, waits for it as wait() does, and returns its result.
    template <class Result> Result run(std::function<Result(MailTransport&)> job)
    {
        auto result = std::make_shared<Result>();
        wait(post([job = std::move(job), result](MailTransport& t) { *result = job(t); }));
        return std::move(*result);
    }

    // The longest wait() holds the calling thread without processing its events. Short
    // enough for a window (a frame is 16 ms), long enough that a mail to a local server needs
    // no trip through the event loop.
    static constexpr std::chrono::milliseconds kQuickWait{3};

signals:
    // Emitted on the owner's thread, in the order the jobs were handed in.
    void finished(quint64 ticket);

private:
    void runJobs(const TransportFactory& factory);
    void noteFinished(quint64 ticket);

    std::unique_ptr<QThread> m_thread;
    std::mutex m_mutex;
    std::condition_variable m_jobsChanged; // a job was handed in, or the end has come
    std::condition_variable m_jobDone;
    std::deque<std::pair<quint64, Job>> m_jobs; // guarded by m_mutex
    bool m_ending = false;                      // guarded by m_mutex
    quint64 m_doneOnThread = 0;                 // guarded by m_mutex
    quint64 m_posted = 0;                       // owner's thread
    quint64 m_finished = 0;                     // owner's thread
};

} // namespace transport
