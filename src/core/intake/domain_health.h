#pragma once

#include "core/bounce/bounce_classifier.h"

#include <QHash>
#include <QSet>
#include <QString>

namespace intake {

// A destination domain that refuses mail after mail for policy reasons (5.7.x) or with bare
// 550s is blocking the sender, not reporting dead addresses. After kBlockAfter such refusals
// in a row the run leaves the domain alone: its other addresses stay unsent (deferred), none of
// them is counted against, and the other domains go on.
class DomainHealth
{
public:
    static constexpr int kBlockAfter = 5;

    // The domain of an address as the run compares them: after the last "@", lower case,
    // Japanese domains in their ASCII form.
    static QString domainOf(const QString& address);

    // One mail's outcome to the domain: delivered, or refused with this verdict. True when
    // this refusal blocked the domain.
    bool note(const QString& domain, bool delivered, bounce::Verdict verdict,
              const QString& status);
    bool isBlocked(const QString& domain) const { return m_blocked.contains(domain); }

private:
    QHash<QString, int> m_streak;
    QSet<QString> m_blocked;
};

// The error log's line for a domain just blocked, and Label3's short form.
QString BlockedDomainLogText(const QString& domain);
QString BlockedDomainLabel(const QString& domain);
// The error log's reason for an address left unsent because its domain is blocked.
QString BlockedAddressLogText(const QString& domain);

} // namespace intake
