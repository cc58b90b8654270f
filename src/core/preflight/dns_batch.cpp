#include "core/preflight/dns_batch.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>

namespace preflight {

struct DnsBatch::Entry
{
    std::unique_ptr<QDnsLookup> lookup;
    Done done;
    DnsAnswer answer;
    bool open = true;
    // Qt 6.4 on glibc reports a reply without answers and a query that got no reply alike
    // (InvalidReplyError): the resolver hands back no message in either case.
    bool emptyReply = false;
};

DnsBatch::DnsBatch(const QHostAddress& nameserver, QDeadlineTimer deadline)
    : m_nameserver(nameserver), m_deadline(deadline)
{
}

DnsBatch::~DnsBatch() = default;

int DnsBatch::start(QDnsLookup::Type type, const QString& name, Done done)
{
    auto entry = std::make_unique<Entry>();
    entry->lookup = m_nameserver.isNull() ? std::make_unique<QDnsLookup>(type, name)
                                          : std::make_unique<QDnsLookup>(type, name, m_nameserver);
    entry->done = std::move(done);
    Entry* raw = entry.get();
    QObject::connect(raw->lookup.get(), &QDnsLookup::finished, raw->lookup.get(),
                     [this, raw] { finished(raw); });
    m_entries.push_back(std::move(entry));
    ++m_open;
    raw->lookup->lookup();
    return int(m_entries.size()) - 1;
}

void DnsBatch::finished(Entry* entry)
{
    if (!entry->open)
        return;
    entry->open = false;
    --m_open;
    const QDnsLookup& lookup = *entry->lookup;
    DnsAnswer& a = entry->answer;
    switch (lookup.error()) {
    case QDnsLookup::NoError:
        m_definite = true;
        a.outcome = DnsOutcome::Records;
        for (const QDnsTextRecord& r : lookup.textRecords()) {
            QByteArray joined;
            for (const QByteArray& part : r.values())
                joined += part;
            a.texts << QString::fromUtf8(joined);
        }
        {
            QList<QDnsMailExchangeRecord> mx = lookup.mailExchangeRecords();
            std::stable_sort(mx.begin(), mx.end(), [](const auto& x, const auto& y) {
                return x.preference() < y.preference();
            });
            for (const QDnsMailExchangeRecord& r : mx)
                a.exchanges << r.exchange();
        }
        a.addresses = int(lookup.hostAddressRecords().size());
        if (a.texts.isEmpty() && a.exchanges.isEmpty() && a.addresses == 0)
            a.outcome = DnsOutcome::NoRecords;
        break;
    case QDnsLookup::NotFoundError:
        m_definite = true;
        a.outcome = DnsOutcome::NoDomain;
        break;
    case QDnsLookup::InvalidReplyError:
        entry->emptyReply = true;
        a.outcome = DnsOutcome::NoRecords;
        break;
    case QDnsLookup::OperationCancelledError: a.outcome = DnsOutcome::TimedOut; break;
    default:
        a.outcome = DnsOutcome::Failed;
        a.error = lookup.errorString();
        break;
    }
    if (entry->done)
        entry->done(a);
    if (m_open == 0 && m_allDone)
        m_allDone();
}

void DnsBatch::wait()
{
    if (m_open > 0 && !m_deadline.hasExpired()) {
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        // A coarse timer may fire 5 % early, cutting off answers the limit allows.
        limit.setTimerType(Qt::PreciseTimer);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        m_allDone = [&loop] { loop.quit(); };
        limit.start(std::max<qint64>(0, m_deadline.remainingTime()));
        loop.exec();
        m_allDone = nullptr;
    }
    // A lookup left behind keeps its resolver thread until the resolver gives up; deleting it
    // only drops the answer, so none of it can reach this batch later.
    for (auto& entry : m_entries)
        if (entry->open)
            entry->lookup.reset();
}

DnsAnswer DnsBatch::answer(int index) const
{
    const Entry& entry = *m_entries.at(std::size_t(index));
    if (entry.open || (entry.emptyReply && !m_definite))
        return DnsAnswer{};
    return entry.answer;
}

} // namespace preflight
