#include "core/pacing/pacer.h"

#include <QRegularExpression>
#include <QSet>
#include <QUrl>

#include <algorithm>

namespace pacing {
namespace {

constexpr qint64 kHourMs = 3600 * 1000;
constexpr qint64 kFirstPauseMs = 15 * 60 * 1000;
// 15, 30, 60, 120, 240 minutes: four doublings reach the longest pause.
constexpr int kMaxBackoffSteps = 4;

// Lower case, and a Japanese domain in ACE form. Most domains are ASCII, which needs no IDNA
// processing; a domain that IDNA refuses stays as written, so it still meets itself.
QString aceDomain(const QString& host)
{
    const bool ascii =
        std::all_of(host.cbegin(), host.cend(), [](QChar c) { return c.unicode() < 0x80; });
    if (ascii)
        return host.toLower();
    const QByteArray ace = QUrl::toAce(host);
    return ace.isEmpty() ? host.toLower() : QString::fromLatin1(ace).toLower();
}

// Labels of letters, digits and hyphens, as a host name is written in ACE form.
bool isHostName(const QString& host)
{
    if (host.isEmpty() || host.size() > 253)
        return false;
    for (const QStringView label : QStringView(host).split(QLatin1Char('.'))) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(u'-') || label.endsWith(u'-'))
            return false;
        for (const QChar c : label) {
            const char16_t u = c.unicode();
            if (!((u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '-'))
                return false;
        }
    }
    return true;
}

// Plain digits only: toInt would take "+3", " 3" or "0x3" as well.
std::optional<int> plainNumber(const QString& text)
{
    if (text.isEmpty() || text.size() > 9)
        return std::nullopt;
    int value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}

} // namespace

QList<PaceRule> carrierPresets()
{
    // One mail every 3 seconds at most (20 a minute, under half of the 50 a minute that
    // senders' guides give as the ceiling) and 600 an hour (10 a minute on average).
    const char* const domains[] = {"docomo.ne.jp",   "ezweb.ne.jp",   "au.com",
                                   "softbank.ne.jp", "i.softbank.jp", "ymobile.ne.jp"};
    QList<PaceRule> rules;
    for (const char* domain : domains)
        rules.append(PaceRule{QString::fromLatin1(domain), 3, 600});
    return rules;
}

std::optional<QString> normalizedPattern(const QString& pattern, QString* problem)
{
    auto fail = [problem](const QString& why) -> std::optional<QString> {
        if (problem)
            *problem = why;
        return std::nullopt;
    };
    QString rest = pattern.trimmed();
    if (rest.isEmpty())
        return fail(QStringLiteral("宛先ドメインが空です。"));
    if (rest == u"*")
        return rest;
    QString prefix;
    if (rest.startsWith(u"*.")) {
        prefix = QStringLiteral("*.");
        rest = rest.mid(2);
    }
    if (rest.contains(QLatin1Char('*')))
        return fail(QStringLiteral("「*」は「*.ne.jp」のように先頭にだけ書けます。"));
    if (rest.contains(QLatin1Char('@')))
        return fail(QStringLiteral("アドレスではなくドメインを書いて下さい。"));
    if (rest.endsWith(QLatin1Char('.')))
        rest.chop(1);
    const QString ace = aceDomain(rest);
    if (!isHostName(ace))
        return fail(QStringLiteral("「%1」はドメインの形ではありません。").arg(pattern.trimmed()));
    return prefix + ace;
}

qsizetype findBadRule(const QList<PaceRule>& rules, QString* problem)
{
    auto bad = [problem](qsizetype index, const QString& why) {
        if (problem)
            *problem = why;
        return index;
    };
    QSet<QString> seen;
    for (qsizetype i = 0; i < rules.size(); ++i) {
        const PaceRule& rule = rules.at(i);
        QString why;
        const std::optional<QString> pattern = normalizedPattern(rule.pattern, &why);
        if (!pattern)
            return bad(i, why);
        if (rule.gapSeconds < 0 || rule.gapSeconds > kMaxGapSeconds)
            return bad(i,
                       QStringLiteral("最小間隔（秒）は 0 から %1 までです。").arg(kMaxGapSeconds));
        if (rule.perHour < 0 || rule.perHour > kMaxPerHour)
            return bad(i,
                       QStringLiteral("1時間の上限（通）は 0 から %1 までです。").arg(kMaxPerHour));
        if (seen.contains(*pattern))
            return bad(
                i, QStringLiteral("宛先ドメイン「%1」が２度書かれています。").arg(rule.pattern));
        seen.insert(*pattern);
    }
    return -1;
}

std::optional<QList<PaceRule>> parseRules(const QString& value, QString* problem)
{
    QList<PaceRule> rules;
    if (value.trimmed().isEmpty())
        return rules;
    const QStringList texts = value.split(QLatin1Char(';'));
    auto fail = [problem, &texts](qsizetype index, const QString& why) {
        if (problem) {
            *problem = QStringLiteral("%1番目の規則「%2」: %3")
                           .arg(index + 1)
                           .arg(texts.at(index).trimmed(), why);
        }
        return std::nullopt;
    };
    for (qsizetype i = 0; i < texts.size(); ++i) {
        const QStringList fields = texts.at(i).split(QLatin1Char(','));
        if (fields.size() != 3) {
            return fail(i, QStringLiteral("「宛先ドメイン,最小間隔（秒）,1時間の上限（通）」の"
                                          "３つを「,」で区切って書いて下さい。"));
        }
        const std::optional<int> gap = plainNumber(fields.at(1).trimmed());
        if (!gap)
            return fail(i, QStringLiteral("最小間隔（秒）は 0 以上の整数です。"));
        const std::optional<int> perHour = plainNumber(fields.at(2).trimmed());
        if (!perHour)
            return fail(i, QStringLiteral("1時間の上限（通）は 0 以上の整数です。"));
        rules.append(PaceRule{fields.at(0).trimmed(), *gap, *perHour});
    }
    QString why;
    const qsizetype bad = findBadRule(rules, &why);
    if (bad >= 0)
        return fail(bad, why);
    return rules;
}

QString formatRules(const QList<PaceRule>& rules)
{
    QStringList texts;
    for (const PaceRule& rule : rules)
        texts << QStringLiteral("%1,%2,%3")
                     .arg(rule.pattern.trimmed())
                     .arg(rule.gapSeconds)
                     .arg(rule.perHour);
    return texts.join(QLatin1Char(';'));
}

QString domainOf(const QString& address)
{
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    if (at < 0)
        return QString();
    QString host = address.mid(at + 1).trimmed();
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    return aceDomain(host);
}

bool isThrottleReply(int replyCode, const QString& replyText)
{
    if (replyCode == 421)
        return true;
    if (replyCode != 0 && (replyCode < 400 || replyCode > 499))
        return false;
    // At the start of a line of the reply or after its code: "451 4.7.1 ..." or "451-4.7.1".
    static const QRegularExpression enhanced(
        QStringLiteral("(?:^|[\\s-])4\\.7\\.\\d{1,3}(?![\\d.])"));
    return enhanced.match(replyText).hasMatch();
}

QString waitingTitle(const QString& domain, const QDateTime& until)
{
    return QStringLiteral("待機中 %1 %2まで")
        .arg(domain, until.toLocalTime().toString(QStringLiteral("HH:mm")));
}

QString backoffLogText(const QString& domain, const QDateTime& until)
{
    return QStringLiteral("宛先ドメイン %1 の受け付けが制限されたため、%2まで送信を控えます")
        .arg(domain, until.toLocalTime().toString(QStringLiteral("HH:mm")));
}

void Pacer::Queue::push_back(qint64 value)
{
    if (!m_items)
        m_items = std::make_unique<std::deque<qint64>>();
    m_items->push_back(value);
}

void Pacer::Queue::pop_front()
{
    m_items->pop_front();
    if (m_items->empty())
        m_items.reset();
}

bool Pacer::Queue::insertSorted(qint64 value)
{
    if (!m_items)
        m_items = std::make_unique<std::deque<qint64>>();
    const auto at = std::lower_bound(m_items->begin(), m_items->end(), value);
    if (at != m_items->end() && *at == value)
        return false;
    m_items->insert(at, value);
    return true;
}

void Pacer::Queue::clampTo(qint64 limit)
{
    if (!m_items)
        return;
    // In order, so only the last values can lie beyond.
    for (auto it = m_items->rbegin(); it != m_items->rend() && *it > limit; ++it)
        *it = limit;
}

Pacer::Pacer(QList<PaceRule> rules) : m_rules(std::move(rules))
{
    Q_ASSERT(findBadRule(m_rules, nullptr) < 0);
    for (int i = 0; i < int(m_rules.size()); ++i) {
        const std::optional<QString> pattern = normalizedPattern(m_rules.at(i).pattern, nullptr);
        if (!pattern)
            continue;
        if (*pattern == u"*")
            m_any = m_any < 0 ? i : m_any;
        else if (pattern->startsWith(u"*."))
            m_suffix.insert(pattern->mid(2), i);
        else
            m_exact.insert(*pattern, i);
    }
}

const PaceRule* Pacer::ruleFor(const QString& domain) const
{
    if (const auto it = m_exact.constFind(domain); it != m_exact.cend())
        return &m_rules.at(*it);
    // The longest suffix is the most specific: look from the left.
    for (qsizetype dot = domain.indexOf(QLatin1Char('.')); dot >= 0;
         dot = domain.indexOf(QLatin1Char('.'), dot + 1)) {
        if (const auto it = m_suffix.constFind(domain.mid(dot + 1)); it != m_suffix.cend())
            return &m_rules.at(*it);
    }
    return m_any >= 0 ? &m_rules.at(m_any) : nullptr;
}

int Pacer::stateOf(const QString& domain, bool create)
{
    if (const auto it = m_ids.constFind(domain); it != m_ids.cend())
        return *it;
    const PaceRule* rule = limitsAnything() ? ruleFor(domain) : nullptr;
    if (!rule && !create)
        return -1;
    DomainState state;
    state.name = domain;
    state.ruled = rule != nullptr;
    if (rule) {
        state.gapMs = qint64(rule->gapSeconds) * 1000;
        state.perHour = rule->perHour;
    }
    m_states.push_back(std::move(state));
    const int id = int(m_states.size()) - 1;
    m_ids.insert(domain, id);
    return id;
}

qint64 Pacer::dueAtMs(DomainState& s, qint64 nowMs)
{
    // A clock set back must not hold a domain for the hour it went back.
    if (s.lastSentMs > nowMs)
        s.lastSentMs = nowMs;
    s.recentMs.clampTo(nowMs);
    qint64 due = s.pausedUntilMs;
    if (s.gapMs > 0 && s.sentBefore)
        due = std::max(due, s.lastSentMs + s.gapMs);
    if (s.perHour > 0) {
        while (!s.recentMs.empty() && s.recentMs.front() <= nowMs - kHourMs)
            s.recentMs.pop_front();
        if (qsizetype(s.recentMs.size()) >= s.perHour)
            due = std::max(due, s.recentMs.at(s.recentMs.size() - size_t(s.perHour)) + kHourMs);
    }
    return due;
}

Pacer::Pick Pacer::next(const QDateTime& now, const std::function<std::optional<Entry>()>& source)
{
    const qint64 nowMs = now.toMSecsSinceEpoch();
    // A held entry comes before every entry still in the list: the first due one goes first.
    int best = -1;
    for (const int id : m_holding) {
        DomainState& s = m_states[size_t(id)];
        if (!s.blocked && dueAtMs(s, nowMs) > nowMs)
            continue;
        if (best < 0 || s.held.front() < m_states[size_t(best)].held.front())
            best = id;
    }
    if (best >= 0) {
        DomainState& s = m_states[size_t(best)];
        Pick pick{s.blocked ? Pick::Blocked : Pick::Send, s.held.front(), QString(), s.name, {}};
        s.held.pop_front();
        --m_held;
        if (s.held.empty())
            m_holding.erase(std::find(m_holding.begin(), m_holding.end(), best));
        return pick;
    }

    for (int reads = 0; !m_sourceDone && reads < kMaxReadsPerPick; ++reads) {
        std::optional<Entry> entry = source();
        if (!entry) {
            m_sourceDone = true;
            break;
        }
        QString domain = domainOf(entry->address);
        const int id = m_ids.isEmpty() && !limitsAnything() ? -1 : stateOf(domain, false);
        if (id < 0)
            return Pick{Pick::Send, entry->seq, std::move(entry->address), std::move(domain), {}};
        DomainState& s = m_states[size_t(id)];
        if (s.blocked)
            return Pick{Pick::Blocked, entry->seq, std::move(entry->address), s.name, {}};
        // A domain with held entries was not due above, so this one waits behind them.
        if (s.held.empty() && dueAtMs(s, nowMs) <= nowMs)
            return Pick{Pick::Send, entry->seq, std::move(entry->address), s.name, {}};
        if (s.held.empty())
            m_holding.push_back(id);
        s.held.push_back(entry->seq);
        ++m_held;
    }
    if (!m_sourceDone)
        return Pick{Pick::Again, 0, QString(), QString(), {}};
    if (m_holding.empty())
        return Pick{Pick::Done, 0, QString(), QString(), {}};

    int first = -1;
    qint64 firstDue = 0;
    for (const int id : m_holding) {
        DomainState& s = m_states[size_t(id)];
        const qint64 due = dueAtMs(s, nowMs);
        if (first < 0 || due < firstDue ||
            (due == firstDue && s.held.front() < m_states[size_t(first)].held.front())) {
            first = id;
            firstDue = due;
        }
    }
    return Pick{Pick::Wait, 0, QString(), m_states[size_t(first)].name,
                now.addMSecs(firstDue - nowMs)};
}

void Pacer::noteSent(const QString& domain, const QDateTime& now)
{
    const int id = stateOf(domain, false);
    if (id < 0)
        return;
    DomainState& s = m_states[size_t(id)];
    s.lastSentMs = now.toMSecsSinceEpoch();
    s.sentBefore = true;
    if (s.perHour > 0) {
        s.recentMs.push_back(s.lastSentMs);
        while (qsizetype(s.recentMs.size()) > s.perHour)
            s.recentMs.pop_front();
    }
}

void Pacer::noteDelivered(const QString& domain)
{
    const int id = stateOf(domain, false);
    if (id >= 0)
        m_states[size_t(id)].backoffSteps = 0;
}

QDateTime Pacer::noteThrottled(const QString& domain, const QDateTime& now)
{
    const int id = stateOf(domain, false);
    if (id < 0 || !m_states[size_t(id)].ruled)
        return QDateTime();
    DomainState& s = m_states[size_t(id)];
    const qint64 nowMs = now.toMSecsSinceEpoch();
    const qint64 pause = kFirstPauseMs << s.backoffSteps;
    s.backoffSteps = std::min(s.backoffSteps + 1, kMaxBackoffSteps);
    s.pausedUntilMs = std::max(s.pausedUntilMs, nowMs + pause);
    return now.addMSecs(s.pausedUntilMs - nowMs);
}

bool Pacer::holdAgain(qint64 seq, const QString& domain)
{
    const int id = stateOf(domain, false);
    if (id < 0 || !m_states[size_t(id)].ruled)
        return false;
    DomainState& s = m_states[size_t(id)];
    const bool wasEmpty = s.held.empty();
    if (!s.held.insertSorted(seq))
        return true;
    if (wasEmpty)
        m_holding.push_back(id);
    ++m_held;
    return true;
}

void Pacer::blockForRun(const QString& domain)
{
    const QString name = domainOf(QLatin1Char('@') + domain);
    if (!name.isEmpty())
        m_states[size_t(stateOf(name, true))].blocked = true;
}

} // namespace pacing
