#include "core/preflight/spf.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace preflight {

namespace {

bool isAlpha(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isAlnum(QChar c)
{
    return isAlpha(c) || (c >= u'0' && c <= u'9');
}

// The last label of a target domain that ends in a name: receivers reject "include:example"
// because a single label can never be a domain to query.
bool isTopLabel(const QString& label)
{
    if (label.isEmpty() || label.front() == u'-' || label.back() == u'-')
        return false;
    bool alpha = false;
    for (QChar c : label) {
        if (!isAlnum(c) && c != u'-')
            return false;
        alpha = alpha || isAlpha(c) || c == u'-';
    }
    return alpha;
}

// A macro-string: visible ASCII, each "%" starting "%%", "%_", "%-" or
// "%{" letter digits ["r"] delimiters "}". *endsInMacro tells whether it ends with "%{...}".
bool isMacroString(const QString& s, bool* endsInMacro = nullptr, bool* hasMacro = nullptr)
{
    static const QRegularExpression expand(
        QStringLiteral("\\A%\\{[slodiphcrtvSLODIPHCRTV][0-9]*[rR]?[-.+,/_=]*\\}"));
    bool lastWasExpand = false;
    bool any = false;
    for (qsizetype i = 0; i < s.size();) {
        const QChar c = s.at(i);
        if (c == u'%') {
            const QChar next = i + 1 < s.size() ? s.at(i + 1) : QChar();
            if (next == u'%' || next == u'_' || next == u'-') {
                i += 2;
                lastWasExpand = false;
                any = true;
                continue;
            }
            const QRegularExpressionMatch m = expand.match(QStringView(s).mid(i));
            if (!m.hasMatch())
                return false;
            i += m.capturedLength();
            lastWasExpand = true;
            any = true;
            continue;
        }
        if (c.unicode() < 0x21 || c.unicode() > 0x7e)
            return false;
        lastWasExpand = false;
        ++i;
    }
    if (endsInMacro)
        *endsInMacro = lastWasExpand;
    if (hasMacro)
        *hasMacro = any;
    return true;
}

bool isTargetDomain(const QString& target, bool* hasMacro)
{
    bool endsInMacro = false;
    if (target.isEmpty() || !isMacroString(target, &endsInMacro, hasMacro))
        return false;
    if (endsInMacro)
        return true;
    QString name = target;
    if (name.endsWith(u'.'))
        name.chop(1);
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 && isTopLabel(name.mid(dot + 1));
}

// A prefix length as the grammar has it: no leading zero, at most `max`.
bool isCidr(const QString& digits, int max)
{
    if (digits.isEmpty() || digits.size() > 3 || (digits.size() > 1 && digits.front() == u'0'))
        return false;
    bool ok = false;
    const int n = digits.toInt(&ok);
    return ok && n <= max;
}

bool isIp4(const QString& text)
{
    static const QRegularExpression dotted(
        QStringLiteral("\\A(?:(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])\\.){3}"
                       "(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])\\z"));
    return dotted.match(text).hasMatch();
}

bool isIp6(const QString& text)
{
    // QHostAddress also takes scope ids and bare IPv4; neither is an ip6-network.
    if (text.contains(u'%') || !text.contains(u':'))
        return false;
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv6Protocol;
}

struct Term
{
    QString problem; // empty when the term reads
    bool lookup = false;
    QString target; // a domain to follow; empty when there is none or it holds a macro
};

Term readMechanism(const QString& name, const QString& rest)
{
    Term t;
    const QString badDomain = QStringLiteral("ドメイン名が正しくありません");
    bool macro = false;
    if (name == QLatin1String("all")) {
        if (!rest.isEmpty())
            t.problem = QStringLiteral("all の後ろには何も書けません");
    } else if (name == QLatin1String("include") || name == QLatin1String("exists")) {
        t.lookup = true;
        if (!rest.startsWith(u':') || !isTargetDomain(rest.mid(1), &macro))
            t.problem = badDomain;
        else if (name == QLatin1String("include") && !macro)
            t.target = rest.mid(1).toLower();
    } else if (name == QLatin1String("a") || name == QLatin1String("mx")) {
        t.lookup = true;
        static const QRegularExpression shape(
            QStringLiteral("\\A(?::([^/]*))?(?:/([0-9]*))?(?://([0-9]*))?\\z"));
        const QRegularExpressionMatch m = shape.match(rest);
        if (!m.hasMatch())
            t.problem = badDomain;
        else if (m.hasCaptured(1) && !isTargetDomain(m.captured(1), &macro))
            t.problem = badDomain;
        else if ((m.hasCaptured(2) && !isCidr(m.captured(2), 32)) ||
                 (m.hasCaptured(3) && !isCidr(m.captured(3), 128)))
            t.problem = QStringLiteral("プレフィックス長が正しくありません");
    } else if (name == QLatin1String("ptr")) {
        t.lookup = true;
        if (!rest.isEmpty() && (!rest.startsWith(u':') || !isTargetDomain(rest.mid(1), &macro)))
            t.problem = badDomain;
    } else if (name == QLatin1String("ip4") || name == QLatin1String("ip6")) {
        const bool v4 = name == QLatin1String("ip4");
        const qsizetype slash = rest.indexOf(u'/');
        const QString address = rest.mid(1, slash < 0 ? -1 : slash - 1);
        if (!rest.startsWith(u':') || !(v4 ? isIp4(address) : isIp6(address)))
            t.problem = v4 ? QStringLiteral("IPv4アドレスが正しくありません")
                           : QStringLiteral("IPv6アドレスが正しくありません");
        else if (slash >= 0 && !isCidr(rest.mid(slash + 1), v4 ? 32 : 128))
            t.problem = QStringLiteral("プレフィックス長が正しくありません");
    } else {
        t.problem = QStringLiteral("知られていない仕組みです");
    }
    return t;
}

} // namespace

bool IsSpfRecord(const QString& text)
{
    return text.startsWith(QLatin1String("v=spf1"), Qt::CaseInsensitive) &&
           (text.size() == 6 || text.at(6) == u' ');
}

SpfRecord ParseSpf(const QString& text)
{
    SpfRecord record;
    static const QRegularExpression modifierName(QStringLiteral("\\A[A-Za-z][A-Za-z0-9._-]*\\z"));
    const QStringList terms = text.mid(6).split(u' ', Qt::SkipEmptyParts);
    bool all = false;
    int redirects = 0;
    int exps = 0;
    QString redirect;
    auto fail = [&record](const QString& term, const QString& problem) {
        if (record.badTerm.isEmpty() && record.problem.isEmpty()) {
            record.badTerm = term;
            record.problem = problem;
        }
    };
    for (const QString& term : terms) {
        const qsizetype eq = term.indexOf(u'=');
        const QString name = term.left(eq);
        if (eq > 0 && modifierName.match(name).hasMatch()) {
            const QString lower = name.toLower();
            const QString value = term.mid(eq + 1);
            bool macro = false;
            if (lower == QLatin1String("redirect") || lower == QLatin1String("exp")) {
                if (++(lower == QLatin1String("redirect") ? redirects : exps) > 1)
                    fail(term, QStringLiteral("%1= は1つしか書けません").arg(lower));
                else if (!isTargetDomain(value, &macro))
                    fail(term, QStringLiteral("ドメイン名が正しくありません"));
                else if (lower == QLatin1String("redirect"))
                    redirect = macro ? QStringLiteral("%") : value.toLower();
            } else if (!isMacroString(value)) {
                fail(term, QStringLiteral("使えない文字があります"));
            }
            continue;
        }
        QString body = term;
        if (!body.isEmpty() && QStringLiteral("+-~?").contains(body.front()))
            body.remove(0, 1);
        qsizetype end = 0;
        while (end < body.size() && isAlnum(body.at(end)))
            ++end;
        const QString mechanism = body.left(end).toLower();
        const Term t = readMechanism(mechanism, body.mid(end));
        if (!t.problem.isEmpty()) {
            fail(term, t.problem);
            continue;
        }
        if (mechanism == QLatin1String("all")) {
            all = true;
            if (!term.startsWith(u'-') && !term.startsWith(u'~') && !term.startsWith(u'?'))
                record.passAll = true;
        }
        if (t.lookup)
            ++record.lookups;
        if (!t.target.isEmpty())
            record.followed << t.target;
    }
    // With "all" in the record a receiver never reaches redirect= and does not query it.
    if (!redirect.isEmpty() && !all) {
        ++record.lookups;
        if (redirect != QLatin1String("%"))
            record.followed << redirect;
    }
    return record;
}

} // namespace preflight
