#include "core/bounce/bounce_classifier.h"

#include <QFile>
#include <QList>
#include <QRegularExpression>

#include <optional>

namespace bounce {
namespace {

struct Pattern
{
    QString kind;
    QRegularExpression re;
};

// A table line's text as a pattern: blanks and line breaks in a wrapped bounce match any run
// of them, and letter case does not count.
QRegularExpression patternFor(QString text)
{
    const bool atStart = text.startsWith(QLatin1Char('^'));
    if (atStart)
        text.remove(0, 1);
    QStringList words = text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    for (QString& w : words)
        w = QRegularExpression::escape(w);
    const QString body = words.join(QLatin1String("\\s+"));
    return QRegularExpression(atStart ? QStringLiteral("\\A\\s*") + body : body,
                              QRegularExpression::CaseInsensitiveOption |
                                  QRegularExpression::UseUnicodePropertiesOption);
}

// The table is compiled in; without it the program would take every failure for ambiguous and
// miss every plain bounce, so a build that lost it must not run.
QList<Pattern> loadTable()
{
    QFile file(QStringLiteral(":/bounce/bounce_patterns.tsv"));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("The bounce pattern table is missing from the build (:/bounce/bounce_patterns.tsv)");
    QList<Pattern> table;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype tab = line.indexOf(QLatin1Char('\t'));
        if (tab <= 0 || line.mid(tab + 1).trimmed().isEmpty())
            qFatal("Bad line in the bounce pattern table: %s", qPrintable(line));
        table.append({line.left(tab), patternFor(line.mid(tab + 1).trimmed())});
    }
    return table;
}

const QList<Pattern>& table()
{
    static const QList<Pattern> t = loadTable();
    return t;
}

// The failure verdict of the first table line that matches the text, or Unknown.
Verdict tableVerdict(const QString& text)
{
    if (text.isEmpty())
        return Verdict::Unknown;
    for (const Pattern& p : table()) {
        Verdict v;
        if (p.kind == QLatin1String("hard"))
            v = Verdict::Hard;
        else if (p.kind == QLatin1String("soft"))
            v = Verdict::Soft;
        else if (p.kind == QLatin1String("domain"))
            v = Verdict::DomainHealth;
        else
            continue;
        if (p.re.match(text).hasMatch())
            return v;
    }
    return Verdict::Unknown;
}

// The verdict an enhanced status code decides by itself, or nullopt for a permanent code that
// leaves it to the text (5.0.0, 5.1.0, 5.5.x, ...).
std::optional<Verdict> statusVerdict(const QString& status)
{
    const QStringList parts = status.split(QLatin1Char('.'));
    if (parts.size() != 3)
        return std::nullopt;
    const int cls = parts[0].toInt();
    const int subject = parts[1].toInt();
    const int detail = parts[2].toInt();
    if (cls == 2)
        return Verdict::Unknown;
    if (cls == 4)
        return Verdict::Soft;
    if (subject == 1 && (detail == 1 || detail == 2 || detail == 10))
        return Verdict::Hard;
    if (subject == 2 && detail == 1)
        return Verdict::Hard;
    if (subject == 7 || subject == 4 || subject == 3 || (subject == 2 && detail == 2))
        return Verdict::DomainHealth;
    return std::nullopt;
}

} // namespace

QString verdictName(Verdict v)
{
    switch (v) {
    case Verdict::Hard: return QStringLiteral("hard");
    case Verdict::Soft: return QStringLiteral("soft");
    case Verdict::DomainHealth: return QStringLiteral("domain");
    case Verdict::Ambiguous: return QStringLiteral("ambiguous");
    case Verdict::Unknown: break;
    }
    return QStringLiteral("unknown");
}

QString enhancedStatusIn(const QString& text)
{
    // Not part of a longer dotted number (an IP address, a version) on either side.
    static const QRegularExpression re(
        QStringLiteral("(?<![0-9.])([245]\\.[0-9]{1,3}\\.[0-9]{1,3})(?!\\.?[0-9])"));
    return re.match(text).captured(1);
}

int basicCodeIn(const QString& text)
{
    static const QRegularExpression re(QStringLiteral("\\A\\s*([2-5][0-9][0-9])(?![0-9.])"));
    return re.match(text).captured(1).toInt();
}

Verdict classify(const Failure& failure)
{
    QString status = enhancedStatusIn(failure.status);
    if (status.isEmpty())
        status = enhancedStatusIn(failure.text);
    if (!status.isEmpty()) {
        if (const std::optional<Verdict> v = statusVerdict(status))
            return *v;
    }
    // A permanent status code that does not decide it counts as a permanent failure even
    // where the basic code is missing.
    const int basic = failure.basicCode;
    const bool permanent = (basic >= 500 && basic < 600) || status.startsWith(QLatin1Char('5'));
    if (!permanent) {
        if (basic >= 400 && basic < 500)
            return Verdict::Soft;
        if (basic != 0)
            return Verdict::Unknown;
        // No code at all (a plain bounce's own words): only the table can tell.
        return tableVerdict(failure.text);
    }
    const Verdict v = tableVerdict(failure.text);
    return v == Verdict::Unknown ? Verdict::Ambiguous : v;
}

Verdict classifyReply(int replyCode, const QString& replyText)
{
    return classify(Failure{replyCode, QString(), replyText});
}

bool hasMarker(const QString& kind, const QString& text)
{
    return markerAt(kind, text) >= 0;
}

qsizetype markerAt(const QString& kind, const QString& text)
{
    qsizetype first = -1;
    for (const Pattern& p : table()) {
        if (p.kind != kind)
            continue;
        const QRegularExpressionMatch m = p.re.match(text);
        if (m.hasMatch() && (first < 0 || m.capturedStart() < first))
            first = m.capturedStart();
    }
    return first;
}

} // namespace bounce
