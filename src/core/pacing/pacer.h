#pragma once

#include "core/pacing/pace_rule.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// Per-domain pacing of a run: carriers and large providers refuse or delay a sender that mails
// their domain too fast, so each destination domain may get a minimum gap between two mails and
// an hourly budget, and a domain that answers with a throttling reply is left alone for a while.
// The other domains go on meanwhile; list order is kept within each domain.
namespace pacing {

// The largest values a rule may hold: a day between two mails, a million mails an hour.
inline constexpr int kMaxGapSeconds = 86400;
inline constexpr int kMaxPerHour = 1000000;

// Rows for the mail domains of the mobile carriers, with cautious values (docs/pacing.md says
// why): docomo, au (two domains), SoftBank and Y!mobile (three).
QList<PaceRule> carrierPresets();

// The pattern in the form rules are matched by: lower case, a Japanese domain in its ACE form.
// nullopt when it is not a pattern at all; *problem then says why (Japanese).
std::optional<QString> normalizedPattern(const QString& pattern, QString* problem);

// Checks every rule: the pattern, each number from 0 to its largest value, no pattern twice
// (as matched: "DOCOMO.ne.jp" repeats "docomo.ne.jp"). On a bad rule returns its index and
// *problem says why, without naming the rule; -1 when all are good.
qsizetype findBadRule(const QList<PaceRule>& rules, QString* problem);

// The bulk.ini value of PACING: rules separated by ";", the fields of a rule by ",", as in
// "docomo.ne.jp,3,600;*.ne.jp,1,0". An empty value means no rules. Strict: a rule that is
// empty, lacks a field, has a number that is not plain digits or breaks findBadRule gives
// nullopt and *problem (Japanese, naming the rule by its place and text). Blanks around a
// field are passed over, as an editor may leave them.
std::optional<QList<PaceRule>> parseRules(const QString& value, QString* problem);
// The inverse for rules findBadRule accepts; patterns are written as given.
QString formatRules(const QList<PaceRule>& rules);

// The destination domain of an address: after its last "@", without a final ".", lower case,
// a Japanese domain in ACE form, so "例え.jp" and "xn--r8jz45g.jp" are one domain. Empty when
// the address has no "@".
QString domainOf(const QString& address);

// Whether a server's reply asks the sender to slow down: 421 (the server closes the session),
// or an enhanced status 4.7.x in a 4xx reply (or in a reply whose code is unknown, 0).
bool isThrottleReply(int replyCode, const QString& replyText);

// The window title while only addresses of held domains are left: "待機中 docomo.ne.jp 12:34まで"
// (local time).
QString waitingTitle(const QString& domain, const QDateTime& until);
// The error log's line when a domain is paused after a throttling reply.
QString backoffLogText(const QString& domain, const QDateTime& until);

// Hands out the entries of a run's list in the order they may be sent. An entry whose domain is
// not due is held (only its position in the list, kept in a queue of its domain) and handed out
// when the domain is due again, before any later entry of the list. Without rules and blocks
// every entry is handed out at once, in list order.
//
// Back-off: only domains that match a rule are paused by noteThrottled, since a domain matching
// none must never be held (a "*" rule with no limits puts every domain under back-off alone).
//
// Time is what the caller passes in; the pacer never reads a clock.
class Pacer
{
public:
    explicit Pacer(QList<PaceRule> rules);

    // Whether any rule exists; without one (and without blocks) nothing is ever held.
    bool limitsAnything() const { return !m_exact.isEmpty() || !m_suffix.isEmpty() || m_any >= 0; }

    // One list entry. seq is its position in the list (the journal's seq).
    struct Entry
    {
        qint64 seq = 0;
        QString address;
    };

    struct Pick
    {
        enum Kind {
            Send,    // send seq to address now
            Blocked, // seq belongs to a domain blocked for the run: record it, send nothing
            Wait,    // only held entries are left; none is due before waitUntil (of domain)
            Done,    // the list is read and nothing is held
            Again,   // this pick read its share of the list without finding a due entry: send
                     // nothing this time and ask again at the next tick
        } kind = Done;
        qint64 seq = 0;
        // Empty for an entry that was held: only its position was kept, and the caller reads
        // the address of that seq back from the journal, where every list entry has its row.
        QString address;
        QString domain;      // domainOf(address)
        QDateTime waitUntil; // Wait only
    };

    // At most this many entries are read from the source in one pick, so that a long run of
    // held entries (a list sorted by domain) cannot stall the window for long.
    static constexpr int kMaxReadsPerPick = 20000;

    // source yields the next list entry, or nullopt once the list is read; it is not called
    // again after that. The pick is the entry that comes first in the list among those whose
    // domain is due.
    Pick next(const QDateTime& now, const std::function<std::optional<Entry>()>& source);

    // A mail to domain was handed to the server (whatever its outcome): it counts for the gap
    // and the hourly budget.
    void noteSent(const QString& domain, const QDateTime& now);
    // A mail to domain was delivered: its back-off starts again at the first step.
    void noteDelivered(const QString& domain);
    // The server throttled domain: it is paused for 15 minutes, doubled with every further
    // throttle before a delivery, at most 4 hours. Returns the end of the pause; an invalid
    // QDateTime when domain matches no rule and is not paused.
    QDateTime noteThrottled(const QString& domain, const QDateTime& now);
    // Puts seq back among the held entries of domain, to be tried again when the domain is due
    // (the mail the server throttled). False when domain matches no rule: it cannot be held.
    bool holdAgain(qint64 seq, const QString& domain);
    // From now on every entry of domain, held or still in the list, is handed back as Blocked.
    void blockForRun(const QString& domain);

    // Entries held now, over all domains.
    qint64 heldCount() const { return m_held; }

private:
    // A queue of times or list positions, in order, that takes no memory while it is empty: a
    // "*" rule gives every domain of a list a state, and most never hold anything.
    class Queue
    {
    public:
        bool empty() const { return !m_items || m_items->empty(); }
        size_t size() const { return m_items ? m_items->size() : 0; }
        qint64 front() const { return m_items->front(); }
        qint64 at(size_t i) const { return (*m_items)[i]; }
        void push_back(qint64 value);
        void pop_front();
        // Puts value at its place in the order; false when it is there already.
        bool insertSorted(qint64 value);
        // Values beyond limit become limit (the order stays).
        void clampTo(qint64 limit);

    private:
        std::unique_ptr<std::deque<qint64>> m_items;
    };

    struct DomainState
    {
        QString name;
        bool ruled = false; // matches a rule; otherwise only blocked
        qint64 gapMs = 0;
        int perHour = 0;
        bool blocked = false;
        qint64 lastSentMs = 0;
        bool sentBefore = false;
        Queue recentMs; // the last perHour sends within the hour, oldest first
        int backoffSteps = 0;
        qint64 pausedUntilMs = 0;
        Queue held; // list positions, in list order
    };

    const PaceRule* ruleFor(const QString& domain) const;
    // The state of domain; created when it matches a rule or `create` is set; -1 otherwise.
    int stateOf(const QString& domain, bool create);
    // When the domain may next be sent to (ms since the epoch); <= now when it is due.
    qint64 dueAtMs(DomainState& state, qint64 nowMs);

    QList<PaceRule> m_rules;
    QHash<QString, int> m_exact;  // normalised pattern -> rule
    QHash<QString, int> m_suffix; // the domain after "*." -> rule
    int m_any = -1;               // the "*" rule
    QHash<QString, int> m_ids;    // domains with a state -> index in m_states
    std::vector<DomainState> m_states;
    std::vector<int> m_holding; // states whose queue is not empty
    qint64 m_held = 0;
    bool m_sourceDone = false;
};

} // namespace pacing
