#pragma once

#include <QDnsLookup>
#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <QDeadlineTimer>
#include <functional>
#include <memory>
#include <vector>

// DNS lookups that run side by side under one time limit, through QDnsLookup.
namespace preflight {

enum class DnsOutcome {
    Records,   // the name has records of the type asked for
    NoRecords, // the name exists without them
    NoDomain,  // NXDOMAIN
    TimedOut,  // no answer within the limit
    Failed,    // the server answered with an error (SERVFAIL, REFUSED, ...)
};

struct DnsAnswer
{
    DnsOutcome outcome = DnsOutcome::TimedOut;
    QStringList texts;     // TXT: each record's strings joined, as SPF and DMARC read them
    QStringList exchanges; // MX: by preference; an empty name is a null MX
    int addresses = 0;     // A / AAAA
    QString error;         // Failed: the resolver's reason
};

class DnsBatch
{
public:
    using Done = std::function<void(const DnsAnswer&)>;

    DnsBatch(const QHostAddress& nameserver, QDeadlineTimer deadline);
    ~DnsBatch();
    DnsBatch(const DnsBatch&) = delete;
    DnsBatch& operator=(const DnsBatch&) = delete;

    // Starts a lookup and returns its index for answer(). `done` runs when it finishes within
    // the limit and may start further lookups.
    int start(QDnsLookup::Type type, const QString& name, Done done = {});
    // Spins a local event loop until every lookup has finished or the limit has passed.
    void wait();
    // TimedOut for a lookup still open when wait() returned.
    DnsAnswer answer(int index) const;

private:
    struct Entry;
    void finished(Entry* entry);

    QHostAddress m_nameserver;
    QDeadlineTimer m_deadline;
    std::vector<std::unique_ptr<Entry>> m_entries;
    int m_open = 0;
    bool m_definite = false;
    std::function<void()> m_allDone;
};

} // namespace preflight
