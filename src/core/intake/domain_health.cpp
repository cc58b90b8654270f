#include "core/intake/domain_health.h"

#include "core/bulk/bulk_headers.h"

#include <QUrl>

namespace intake {

QString DomainHealth::domainOf(const QString& address)
{
    const QString plain = bulk::PlainAddress(address);
    const QString domain = plain.mid(plain.lastIndexOf(QLatin1Char('@')) + 1);
    const QString ace = QString::fromLatin1(QUrl::toAce(domain));
    return (ace.isEmpty() ? domain : ace).toLower();
}

bool DomainHealth::note(const QString& domain, bool delivered, bounce::Verdict verdict,
                        const QString& status)
{
    const bool blocking =
        !delivered && (verdict == bounce::Verdict::Ambiguous ||
                       (verdict == bounce::Verdict::DomainHealth && status.startsWith(u"5.7.")));
    if (!blocking) {
        m_streak.remove(domain);
        return false;
    }
    if (m_blocked.contains(domain))
        return false;
    if (++m_streak[domain] < kBlockAfter)
        return false;
    m_blocked.insert(domain);
    return true;
}

QString BlockedDomainLogText(const QString& domain)
{
    return QStringLiteral(
               "宛先ドメイン %1 から配信を拒否する応答が%2通続いたため、今回の配信ではこの"
               "ドメインへの送信をやめます（送信側がブロックされている可能性があります。"
               "残りのアドレスは未送信として記録し、配信停止リストには加えません）")
        .arg(domain)
        .arg(DomainHealth::kBlockAfter);
}

QString BlockedDomainLabel(const QString& domain)
{
    return QStringLiteral("拒否中 %1").arg(domain);
}

QString BlockedAddressLogText(const QString& domain)
{
    return QStringLiteral("宛先ドメイン %1 が配信を拒否しているため送信しませんでした").arg(domain);
}

} // namespace intake
