#include "core/preflight/preflight.h"

#include "core/bulk/bulk_footer.h"
#include "core/bulk/bulk_headers.h"
#include "core/bulk/dkim_signer.h"
#include "core/preflight/dns_batch.h"
#include "core/preflight/spf.h"

#include <QRegularExpression>
#include <QUrl>

#include <libpsl.h>

#include <map>
#include <memory>

namespace preflight {

namespace {

using Type = QDnsLookup::Type;

CheckResult result(CheckId id, Verdict verdict, const QString& title, const QString& detail)
{
    return CheckResult{id, verdict, title, detail};
}

bool unanswered(const DnsAnswer& a)
{
    return a.outcome == DnsOutcome::TimedOut || a.outcome == DnsOutcome::Failed;
}

// The sentence for a name the server did not answer about; the check stays open, not failed:
// an operator behind a broken resolver must still be able to send.
QString noAnswer(const QString& name, const DnsAnswer& a)
{
    if (a.outcome == DnsOutcome::Failed)
        return QStringLiteral("%1 の問い合わせにDNSサーバーがエラー（%2）を返したため確かめられま"
                              "せんでした。時間をおいて「再チェック」してください。")
            .arg(name, a.error);
    return QStringLiteral("DNSの応答がありませんでした（%1）。ネットワークとDNSサーバーを確かめ"
                          "てから「再チェック」してください。")
        .arg(name);
}

// RFC 7489 section 3.2: the registrable domain by the public suffix list. Empty when the
// domain is itself a public suffix.
QString organisationalDomain(const QString& aceDomain)
{
    static const std::unique_ptr<psl_ctx_t, void (*)(psl_ctx_t*)> list(
        [] {
            psl_ctx_t* latest = psl_latest(nullptr);
            return latest ? latest : const_cast<psl_ctx_t*>(psl_builtin());
        }(),
        psl_free);
    const QByteArray utf8 = QUrl::fromAce(aceDomain.toLatin1()).toLower().toUtf8();
    const char* registrable = list ? psl_registrable_domain(list.get(), utf8.constData()) : nullptr;
    if (!registrable)
        return QString();
    return QString::fromLatin1(QUrl::toAce(QString::fromUtf8(registrable))).toLower();
}

// "tag=value" pairs of a DMARC or DKIM record, in order, names in lower case.
QList<std::pair<QString, QString>> tags(const QString& record)
{
    QList<std::pair<QString, QString>> out;
    for (const QString& part : record.split(u';')) {
        const qsizetype eq = part.indexOf(u'=');
        if (eq < 0)
            continue;
        out.append({part.left(eq).trimmed().toLower(), part.mid(eq + 1).trimmed()});
    }
    return out;
}

QString tag(const QList<std::pair<QString, QString>>& list, const QString& name)
{
    for (const auto& [n, v] : list)
        if (n == name)
            return v;
    return QString();
}

bool hasTag(const QList<std::pair<QString, QString>>& list, const QString& name)
{
    for (const auto& [n, v] : list)
        if (n == name)
            return true;
    return false;
}

// --- the sender's host --------------------------------------------------------------------

CheckResult mailHost(const QString& domain, const DnsAnswer& mx, const DnsAnswer& a,
                     const DnsAnswer& aaaa)
{
    const QString title = QStringLiteral("MX / Aレコード");
    auto fail = [&](const QString& detail) {
        return result(CheckId::MailHost, Verdict::Failed, title, detail);
    };
    if (mx.outcome == DnsOutcome::Records) {
        // RFC 7505: a lone empty exchange says the domain takes no mail, so replies and bounces
        // to the sender cannot arrive and receivers may refuse its mail.
        if (mx.exchanges.size() == 1 && (mx.exchanges[0].isEmpty() || mx.exchanges[0] == "."))
            return fail(QStringLiteral("%1 のMXは「メールを受け取らない」(null MX) になっていま"
                                       "す。返信とエラーメールを受け取るサーバーをMXに公開して"
                                       "ください。")
                            .arg(domain));
        return result(CheckId::MailHost, Verdict::Ok, title,
                      QStringLiteral("%1 のMX（%2）が公開されています。")
                          .arg(domain, mx.exchanges.join(QStringLiteral(", "))));
    }
    if (a.outcome == DnsOutcome::Records || aaaa.outcome == DnsOutcome::Records)
        return result(CheckId::MailHost, Verdict::Ok, title,
                      QStringLiteral("%1 にMXはありませんが、A/AAAAレコードがあるので宛先として"
                                     "届きます。")
                          .arg(domain));
    for (const DnsAnswer* answer : {&mx, &a, &aaaa})
        if (unanswered(*answer))
            return result(CheckId::MailHost, Verdict::Warning, title, noAnswer(domain, *answer));
    if (mx.outcome == DnsOutcome::NoDomain)
        return fail(QStringLiteral("%1 というドメインがDNSにありません。送信者のメールアドレス"
                                   "（MAIL）を確かめるか、ドメインのMXとAレコードを公開してくだ"
                                   "さい。")
                        .arg(domain));
    return fail(QStringLiteral("%1 にMXもA/AAAAレコードもありません。%1 のMX（例: 「10 mail.%1」）"
                               "かAレコードを公開してください。")
                    .arg(domain));
}

// --- SPF ---------------------------------------------------------------------------------

const QString kSpfTitle = QStringLiteral("SPF");
const QString kSpfExample = QStringLiteral("v=spf1 ip4:送信サーバーのIPアドレス -all");

// The SPF records of the sender's domain and of every domain they include or redirect to,
// fetched as their names become known, within the same limit as the other lookups.
class SpfWalk
{
public:
    explicit SpfWalk(DnsBatch* dns) : m_dns(dns) {}

    void fetch(const QString& domain)
    {
        // Past this many domains the terms that name them already exceed the limit.
        if (m_nodes.count(domain) || int(m_nodes.size()) > kMaxSpfLookups)
            return;
        m_nodes[domain].index = m_dns->start(
            Type::TXT, domain, [this, domain](const DnsAnswer& a) { read(domain, a); });
    }

    struct Node
    {
        int index = -1;
        int count = 0; // SPF records among the TXT records
        SpfRecord record;
    };
    const Node* node(const QString& domain) const
    {
        const auto it = m_nodes.find(domain);
        return it == m_nodes.end() ? nullptr : &it->second;
    }

    QStringList spfTexts(const DnsAnswer& a) const
    {
        QStringList out;
        for (const QString& t : a.texts)
            if (IsSpfRecord(t))
                out << t;
        return out;
    }

private:
    void read(const QString& domain, const DnsAnswer& a)
    {
        const QStringList records = spfTexts(a);
        Node& n = m_nodes[domain];
        n.count = int(records.size());
        if (n.count != 1)
            return;
        n.record = ParseSpf(records.front());
        const QStringList next = n.record.followed; // fetch() may move the nodes
        for (const QString& target : next)
            fetch(target);
    }

    DnsBatch* m_dns;
    std::map<QString, Node> m_nodes;
};

// The count of DNS-querying terms over the whole tree, and the first problem found below the
// top record.
struct SpfTally
{
    int lookups = 0;
    QString failure; // a sentence: ✗
    QString unknown; // a sentence: ⚠
};

void tally(const SpfWalk& walk, const DnsBatch& dns, const QString& domain, QStringList& path,
           SpfTally& t)
{
    if (t.lookups > kMaxSpfLookups || !t.failure.isEmpty())
        return;
    const SpfWalk::Node* n = walk.node(domain);
    if (!n)
        return;
    if (path.contains(domain)) {
        t.failure = QStringLiteral("SPFの include/redirect が %1 に戻ってきて終わりません。参照"
                                   "の輪をなくしてください。")
                        .arg(domain);
        return;
    }
    const DnsAnswer a = dns.answer(n->index);
    if (unanswered(a)) {
        if (t.unknown.isEmpty())
            t.unknown = QStringLiteral("SPFが参照する %1 の応答がなかったため、DNS参照が10回以"
                                       "内か確かめられませんでした。「再チェック」してください。")
                            .arg(domain);
        return;
    }
    if (!path.isEmpty()) {
        QString problem;
        if (n->count == 0)
            problem = QStringLiteral("SPFレコードがありません");
        else if (n->count > 1)
            problem = QStringLiteral("SPFレコードが%1件あります").arg(n->count);
        else if (!n->record.problem.isEmpty())
            problem = QStringLiteral("読めない項目「%1」（%2）があります")
                          .arg(n->record.badTerm, n->record.problem);
        if (!problem.isEmpty()) {
            t.failure = QStringLiteral("SPFが参照する %1 に%2。受信側ではSPFがエラーになるので、"
                                       "%3 のSPFからこの参照を外すか直してください。")
                            .arg(domain, problem, path.front());
            return;
        }
    }
    t.lookups += n->record.lookups;
    path << domain;
    for (const QString& next : n->record.followed)
        tally(walk, dns, next, path, t);
    path.removeLast();
}

CheckResult spf(const QString& domain, const SpfWalk& walk, const DnsBatch& dns)
{
    auto verdict = [](Verdict v, const QString& detail) {
        return result(CheckId::Spf, v, kSpfTitle, detail);
    };
    const SpfWalk::Node* top = walk.node(domain);
    const DnsAnswer a = dns.answer(top->index);
    if (unanswered(a))
        return verdict(Verdict::Warning, noAnswer(domain, a));
    if (top->count == 0)
        return verdict(Verdict::Failed,
                       QStringLiteral("SPFレコードがありません。%1 のTXTに「%2」のようなSPFを1件"
                                      "だけ公開してください。")
                           .arg(domain, kSpfExample));
    if (top->count > 1)
        return verdict(Verdict::Failed,
                       QStringLiteral("%1 のTXTに v=spf1 のSPFレコードが%2件あります。2件以上あ"
                                      "るとSPFは必ず失敗するので、1件にまとめてください。")
                           .arg(domain)
                           .arg(top->count));
    if (!top->record.problem.isEmpty())
        return verdict(Verdict::Failed,
                       QStringLiteral("%1 のSPFに読めない項目「%2」（%3）があり、受信側ではSPFが"
                                      "エラーになります。この項目を直したSPFを公開してください。")
                           .arg(domain, top->record.badTerm, top->record.problem));
    SpfTally t;
    QStringList path;
    tally(walk, dns, domain, path, t);
    if (!t.failure.isEmpty())
        return verdict(Verdict::Failed, t.failure);
    if (t.lookups > kMaxSpfLookups)
        return verdict(Verdict::Failed,
                       QStringLiteral("%1 のSPFは include などのDNS参照が%2回以上あり、上限の10回"
                                      "を超えるため受信側でエラーになります。使っていない include "
                                      "を外すか ip4:/ip6: に置き換えてください。")
                           .arg(domain)
                           .arg(t.lookups));
    if (!t.unknown.isEmpty())
        return verdict(Verdict::Warning, t.unknown);
    // Every host of the internet passes: SPF no longer tells the sender from an impostor.
    if (top->record.passAll)
        return verdict(Verdict::Failed,
                       QStringLiteral("%1 のSPFは「+all」で、誰でもこのドメインとして送信できる状"
                                      "態です。末尾を「-all」か「~all」にしてください。")
                           .arg(domain));
    return verdict(Verdict::Ok, QStringLiteral("%1 のSPFは1件で、読み取れます（DNS参照%2回）。")
                                    .arg(domain)
                                    .arg(t.lookups));
}

// --- DMARC -------------------------------------------------------------------------------

CheckResult dmarc(const QString& domain, const QString& orgDomain, const DnsAnswer& own,
                  const DnsAnswer* org)
{
    const QString title = QStringLiteral("DMARC");
    auto verdict = [&](Verdict v, const QString& detail) {
        return result(CheckId::Dmarc, v, title, detail);
    };
    // RFC 7489 section 6.6.3: TXT records not starting with v=DMARC1 are no DMARC records.
    auto records = [](const DnsAnswer& a) {
        QStringList out;
        for (const QString& t : a.texts) {
            const QString first = t.section(u';', 0, 0).remove(u' ').remove(u'\t');
            if (first == QLatin1String("v=DMARC1"))
                out << t;
        }
        return out;
    };
    QString name = QStringLiteral("_dmarc.") + domain;
    if (unanswered(own))
        return verdict(Verdict::Warning, noAnswer(name, own));
    QStringList found = records(own);
    const bool atOrg = found.isEmpty() && org;
    if (atOrg) {
        name = QStringLiteral("_dmarc.") + orgDomain;
        if (unanswered(*org))
            return verdict(Verdict::Warning, noAnswer(name, *org));
        found = records(*org);
    }
    if (found.isEmpty())
        return verdict(Verdict::Failed,
                       QStringLiteral("DMARCレコードがありません。_dmarc.%1 のTXTに「v=DMARC1; "
                                      "p=none; rua=mailto:報告を受け取るアドレス」を公開してくだ"
                                      "さい。")
                           .arg(orgDomain.isEmpty() ? domain : orgDomain));
    if (found.size() > 1)
        return verdict(Verdict::Failed,
                       QStringLiteral("%1 に v=DMARC1 のレコードが%2件あり、受信側はどちらも使い"
                                      "ません。1件にまとめてください。")
                           .arg(name)
                           .arg(found.size()));
    const auto list = tags(found.front());
    if (!hasTag(list, QStringLiteral("p")))
        return verdict(Verdict::Failed,
                       QStringLiteral("%1 のDMARCレコードに p= がありません。「v=DMARC1; p=none;"
                                      " ...」のように p= を入れてください。")
                           .arg(name));
    static const QStringList policies = {QStringLiteral("none"), QStringLiteral("quarantine"),
                                         QStringLiteral("reject")};
    QString policy = tag(list, QStringLiteral("p")).toLower();
    QString which = QStringLiteral("p");
    // A subdomain under the organisation's record gets sp= when it is there.
    if (atOrg && policies.contains(tag(list, QStringLiteral("sp")).toLower())) {
        policy = tag(list, QStringLiteral("sp")).toLower();
        which = QStringLiteral("sp");
    }
    if (!policies.contains(policy))
        return verdict(Verdict::Failed,
                       QStringLiteral("%1 のDMARCレコードの %2=%3 は読めません。none、quarantine"
                                      "、reject のどれかにしてください。")
                           .arg(name, which, policy));
    const QString where = atOrg ? QStringLiteral("組織ドメインの %1").arg(name) : name;
    if (policy == QLatin1String("none"))
        return verdict(Verdict::Ok,
                       QStringLiteral("%1 にDMARCがあり、ポリシーは %2=none（監視のみ）です。Gma"
                                      "il/Yahooの要件は満たしますが、レポートで問題がないと確かめ"
                                      "たら p=quarantine に上げることを検討してください。")
                           .arg(where, which));
    return verdict(
        Verdict::Ok,
        QStringLiteral("%1 にDMARCがあり、ポリシーは %2=%3 です。").arg(where, which, policy));
}

// --- DKIM --------------------------------------------------------------------------------

const QString kDkimTitle = QStringLiteral("DKIM");

struct DkimPlan
{
    std::optional<CheckResult> early; // a verdict reached without DNS
    bulk::DkimKey key;
    QString name; // selector._domainkey.d
};

DkimPlan planDkim(const Inputs& in)
{
    DkimPlan plan;
    const bulk::BulkSettings& o = in.options;
    auto failed = [&plan](const QString& detail) {
        plan.early = result(CheckId::Dkim, Verdict::Failed, kDkimTitle, detail);
        return plan;
    };
    if (!o.dkim) {
        // A relay such as a mail service may sign for the domain; only the operator knows.
        plan.early = result(CheckId::Dkim, Verdict::Warning, kDkimTitle,
                            QStringLiteral("DKIM署名がオフです。中継するサーバーが送信者のドメイン"
                                           "で署名していれば問題ありませんが、そうでなければ配信"
                                           "オプションでDKIM署名をオンにしてください。"));
        return plan;
    }
    QString problem;
    if (!bulk::CheckDkimDomain(o.dkimDomain, &problem) ||
        !bulk::CheckDkimSelector(o.dkimSelector, &problem) ||
        !bulk::CheckDkimAlignment(o.dkimDomain, in.senderAddress, &problem))
        return failed(problem);
    QString error;
    const std::optional<bulk::DkimKey> key = bulk::ReadDkimKey(o.dkimKeyPath, &error);
    if (!key) {
        // The key reader's message puts a title, the file and the reason on lines of their
        // own; the window shows one sentence.
        QStringList lines = error.split(u'\n', Qt::SkipEmptyParts);
        for (QString& line : lines)
            if (line.endsWith(u'。'))
                line.chop(1);
        const QString head = lines.isEmpty() ? QString() : lines.takeFirst();
        return failed(
            lines.isEmpty()
                ? head + u'。'
                : QStringLiteral("%1（%2）。").arg(head, lines.join(QStringLiteral("："))));
    }
    plan.key = *key;
    plan.name = bulk::DnsRecordName(o.dkimSelector, o.dkimDomain).toLower();
    return plan;
}

CheckResult dkim(const DkimPlan& plan, const DnsAnswer& a)
{
    auto verdict = [](Verdict v, const QString& detail) {
        return result(CheckId::Dkim, v, kDkimTitle, detail);
    };
    if (unanswered(a))
        return verdict(Verdict::Warning, noAnswer(plan.name, a));
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QString expected = QString::fromLatin1(plan.key.publicKey);
    const QString expectedType = plan.key.algorithm == bulk::DkimAlgorithm::Ed25519
                                     ? QStringLiteral("ed25519")
                                     : QStringLiteral("rsa");
    const QString publish = bulk::DnsRecordValue(plan.key);
    int records = 0;
    bool matches = false;
    bool wrongType = false;
    for (const QString& text : a.texts) {
        const auto list = tags(text);
        if (!hasTag(list, QStringLiteral("p")))
            continue;
        ++records;
        const QString published = tag(list, QStringLiteral("p")).remove(blanks);
        QString type = tag(list, QStringLiteral("k")).toLower();
        if (type.isEmpty())
            type = QStringLiteral("rsa");
        if (published == expected && type == expectedType)
            matches = true;
        else if (published == expected)
            wrongType = true;
    }
    if (records == 0)
        return verdict(Verdict::Failed,
                       QStringLiteral("%1 にDKIMの公開鍵がありません。配信オプションに表示される"
                                      "レコード「%2」を %1 のTXTに公開してください。")
                           .arg(plan.name, publish));
    if (!matches && wrongType)
        return verdict(Verdict::Failed,
                       QStringLiteral("%1 の鍵の種類 k= が署名の鍵と一致しません。k=%2 にしたレ"
                                      "コード「%3」を公開してください。")
                           .arg(plan.name, expectedType, publish));
    if (!matches)
        return verdict(Verdict::Failed,
                       QStringLiteral("%1 に公開されている鍵と、署名に使う鍵が一致しません。鍵を"
                                      "作り直したときは、配信オプションに表示されるレコード「%2」"
                                      "を公開し直してください。")
                           .arg(plan.name, publish));
    if (records > 1)
        return verdict(Verdict::Warning,
                       QStringLiteral("%1 にDKIMの鍵が%2件あり、受信側がどれを使うか決まりません。"
                                      "署名に使う鍵の1件だけにしてください。")
                           .arg(plan.name)
                           .arg(records));
    return verdict(Verdict::Ok,
                   QStringLiteral("%1 の公開鍵は署名に使う鍵と一致しています。").arg(plan.name));
}

// --- unsubscribe and footer --------------------------------------------------------------

CheckResult unsubscribe(const bulk::BulkSettings& o)
{
    const QString title = QStringLiteral("ワンクリック配信停止");
    // The template is checked as a recipient's URL: "{address}" is no valid part of one.
    const QUrl url(QString::fromLatin1(bulk::ExpandTemplate(o.unsubscribeUrl.trimmed(),
                                                            QStringLiteral("user@example.jp"))),
                   QUrl::StrictMode);
    if (url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty())
        return result(CheckId::Unsubscribe, Verdict::Ok, title,
                      QStringLiteral("ワンクリック配信停止のURL（https）が設定されています。"));
    if (!o.unsubscribeUrl.trimmed().isEmpty())
        return result(CheckId::Unsubscribe, Verdict::Failed, title,
                      QStringLiteral("配信停止URL「%1」が https:// で始まる正しいURLではありませ"
                                     "ん。配信オプションで https のURLを設定してください。")
                          .arg(o.unsubscribeUrl));
    if (!o.unsubscribeMailto.trimmed().isEmpty())
        return result(CheckId::Unsubscribe, Verdict::Failed, title,
                      QStringLiteral("配信停止は mailto だけで、Gmailが求めるワンクリック配信停止"
                                     "の条件を満たしません。配信オプションで https の配信停止URL"
                                     "も設定してください。"));
    return result(CheckId::Unsubscribe, Verdict::Failed, title,
                  QStringLiteral("配信停止URLが設定されていません。Gmailはワンクリック配信停止を"
                                 "求めるので、配信オプションで https の配信停止URLを設定してくだ"
                                 "さい。"));
}

CheckResult footer(const bulk::BulkSettings& o)
{
    const QString title = QStringLiteral("表示事項（フッター）");
    const QString text = o.footer;
    if (text.trimmed().isEmpty())
        return result(CheckId::Footer, Verdict::Failed, title,
                      QStringLiteral("フッターが空です。広告メールには送信者名、住所、問い合わせ先"
                                     "、配信停止の方法を表示する必要があるので、配信オプションで"
                                     "フッターを設定してください。"));
    static const QRegularExpression literal(
        QStringLiteral(
            "https?://[^\\s/?#]+\\.[^\\s]+|[^\\s@<>()\"]+@[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)+"),
        QRegularExpression::CaseInsensitiveOption);
    const QString urlPlaceholder = QString::fromUtf16(bulk::kUnsubscribeUrlPlaceholder);
    const QString mailtoPlaceholder = QString::fromUtf16(bulk::kUnsubscribeMailtoPlaceholder);
    const bool url = text.contains(urlPlaceholder);
    const bool mailto = text.contains(mailtoPlaceholder);
    if ((url && !o.unsubscribeUrl.trimmed().isEmpty()) ||
        (mailto && !o.unsubscribeMailto.trimmed().isEmpty()) || literal.match(text).hasMatch())
        return result(
            CheckId::Footer, Verdict::Ok, title,
            QStringLiteral("フッターに配信停止の連絡先（URLかメールアドレス）があります。"));
    if (url || mailto)
        return result(CheckId::Footer, Verdict::Failed, title,
                      QStringLiteral("フッターの %1 に入る配信停止の%2が配信オプションで設定されて"
                                     "いないため、空になります。設定するか、URLかメールアドレスを"
                                     "直接書いてください。")
                          .arg(url ? urlPlaceholder : mailtoPlaceholder,
                               url ? QStringLiteral("URL") : QStringLiteral("アドレス")));
    return result(CheckId::Footer, Verdict::Failed, title,
                  QStringLiteral("フッターに配信停止のURLかメールアドレスがありません。{unsubscri"
                                 "be_url} などで、受信者が配信を止める方法を書いてください。"));
}

} // namespace

Inputs InputsFor(const QString& senderAddress, const bulk::BulkSettings& options)
{
    // The options were read whole, so a set value is an address.
    return {senderAddress, options, QHostAddress(options.preflightDns)};
}

QString SenderDomain(const QString& senderAddress)
{
    QString address = senderAddress.trimmed();
    if (address.startsWith(u'<') && address.endsWith(u'>'))
        address = address.mid(1, address.size() - 2).trimmed();
    const qsizetype at = address.lastIndexOf(u'@');
    if (at < 0)
        return QString();
    QString domain = address.mid(at + 1);
    if (domain.endsWith(u'.'))
        domain.chop(1);
    if (domain.isEmpty())
        return QString();
    return QString::fromLatin1(QUrl::toAce(domain)).toLower();
}

QList<CheckResult> Run(const Inputs& inputs, std::chrono::milliseconds limit)
{
    const QDeadlineTimer deadline(limit);
    const QString domain = SenderDomain(inputs.senderAddress);
    const QString orgDomain = domain.isEmpty() ? QString() : organisationalDomain(domain);
    DnsBatch dns(inputs.nameserver, deadline);
    SpfWalk walk(&dns);
    int mx = -1, a = -1, aaaa = -1, ownDmarc = -1, orgDmarc = -1, key = -1;
    if (!domain.isEmpty()) {
        mx = dns.start(Type::MX, domain);
        a = dns.start(Type::A, domain);
        aaaa = dns.start(Type::AAAA, domain);
        walk.fetch(domain);
        ownDmarc = dns.start(Type::TXT, QStringLiteral("_dmarc.") + domain);
        // Asked at once rather than after the first answer: the limit is for all of them.
        if (!orgDomain.isEmpty() && orgDomain != domain)
            orgDmarc = dns.start(Type::TXT, QStringLiteral("_dmarc.") + orgDomain);
    }
    const DkimPlan plan = planDkim(inputs);
    if (!plan.early)
        key = dns.start(Type::TXT, plan.name);
    dns.wait();

    QList<CheckResult> out;
    if (domain.isEmpty()) {
        const QString detail = QStringLiteral("送信者のメールアドレス（%1）からドメインを読み取れな"
                                              "いため、DNSを確かめられません。設定のメールアドレ"
                                              "スを直してください。")
                                   .arg(inputs.senderAddress);
        out << result(CheckId::MailHost, Verdict::Failed, QStringLiteral("MX / Aレコード"), detail)
            << result(CheckId::Spf, Verdict::Failed, kSpfTitle, detail)
            << result(CheckId::Dmarc, Verdict::Failed, QStringLiteral("DMARC"), detail);
    } else {
        const DnsAnswer org = orgDmarc < 0 ? DnsAnswer{} : dns.answer(orgDmarc);
        out << mailHost(domain, dns.answer(mx), dns.answer(a), dns.answer(aaaa))
            << spf(domain, walk, dns)
            << dmarc(domain, orgDomain, dns.answer(ownDmarc), orgDmarc < 0 ? nullptr : &org);
    }
    out << (plan.early ? *plan.early : dkim(plan, dns.answer(key))) << unsubscribe(inputs.options)
        << footer(inputs.options);
    return out;
}

} // namespace preflight
