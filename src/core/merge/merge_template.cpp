#include "core/merge/merge_fields.h"

#include "core/text/trim.h"

#include <array>
#include <vector>

namespace merge {

namespace {

const QString kOpen = QStringLiteral("{{");
const QString kClose = QStringLiteral("}}");

// The operator lays a field out with blanks for readability ("{{ 氏名 }}", often typed with the
// ideographic space); they are not part of the name. A view keeps this free of copies per mail.
QStringView trimmedView(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && compose::IsBlank(text.at(begin)))
        ++begin;
    while (end > begin && compose::IsBlank(text.at(end - 1)))
        --end;
    return text.sliced(begin, end - begin);
}

bool isBlankOnly(const QString& value)
{
    return trimmedView(value).isEmpty();
}

// A column number: ASCII digits naming a column from 1, the address being 1. 0 when the name is
// not one.
int columnNumber(const QString& name)
{
    if (name.isEmpty() || name.size() > 6)
        return 0;
    int number = 0;
    for (QChar c : name) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return 0;
        number = number * 10 + (c.unicode() - '0');
    }
    return number;
}

bool hasLineBreak(const QString& value)
{
    return value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r'));
}

// In a header (subject, sender name) a line break would end the header and start another one
// from recipient data, so each break (CR LF counted once) becomes one blank.
QString withoutLineBreaks(const QString& value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == QLatin1Char('\r')) {
            out += QLatin1Char(' ');
            if (i + 1 < value.size() && value.at(i + 1) == QLatin1Char('\n'))
                ++i;
        } else if (c == QLatin1Char('\n')) {
            out += QLatin1Char(' ');
        } else {
            out += c;
        }
    }
    return out;
}

// A body keeps a value's line breaks, in the CR LF the rest of the body is written in: a quoted
// CSV field saved on Linux or macOS holds bare LF or CR.
QString withCrLf(const QString& value)
{
    QString out;
    out.reserve(value.size() + 8);
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            out += QLatin1String("\r\n");
            if (c == QLatin1Char('\r') && i + 1 < value.size() &&
                value.at(i + 1) == QLatin1Char('\n'))
                ++i;
        } else {
            out += c;
        }
    }
    return out;
}

enum Part { Subject, SenderName, Body, Footer, PartCount };

} // namespace

struct Template::Compiled
{
    struct Use
    {
        int name = 0; // index into names
        bool hasDefault = false;
        QString defaultValue;
    };
    struct Piece
    {
        QString text; // the literal text before the use, or the whole text after the last one
        int use = -1; // index into uses, -1 for the closing literal
    };
    struct Text
    {
        std::vector<Piece> pieces;
        qsizetype literalSize = 0;
        QString plain; // the text as typed, handed back when it holds no field
    };

    std::array<Text, PartCount> texts;
    std::vector<Use> uses;
    QStringList names;
    std::vector<int> numbers; // per name: its column number, or 0

    int nameIndex(const QString& name)
    {
        const qsizetype found = names.indexOf(name);
        if (found >= 0)
            return int(found);
        names.append(name);
        numbers.push_back(columnNumber(name));
        return int(names.size() - 1);
    }

    // Splits a text into literals and fields. A field is the shortest "{{...}}": of several
    // "{{" before a "}}" the last one opens it, the earlier ones are text. "{{" never closed,
    // a field broken over lines and one without a name ("{{}}", "{{|x}}") are text as well.
    Text compile(const QString& source)
    {
        Text text;
        text.plain = source;
        QString literal;
        qsizetype from = 0;
        while (from < source.size()) {
            qsizetype open = source.indexOf(kOpen, from);
            if (open < 0)
                break;
            const qsizetype close = source.indexOf(kClose, open + 2);
            if (close < 0)
                break;
            // The last "{{" whose braces end before the "}}".
            for (qsizetype next = source.indexOf(kOpen, open + 1); next >= 0 && next + 2 <= close;
                 next = source.indexOf(kOpen, next + 1))
                open = next;
            const QStringView inner = QStringView(source).sliced(open + 2, close - open - 2);
            const qsizetype bar = inner.indexOf(QLatin1Char('|'));
            const QStringView name = trimmedView(bar < 0 ? inner : inner.first(bar));
            const bool multiLine =
                inner.contains(QLatin1Char('\n')) || inner.contains(QLatin1Char('\r'));
            if (name.isEmpty() || multiLine) {
                literal += QStringView(source).sliced(from, close + 2 - from);
                from = close + 2;
                continue;
            }
            literal += QStringView(source).sliced(from, open - from);
            Use use;
            use.name = nameIndex(name.toString());
            use.hasDefault = bar >= 0;
            if (use.hasDefault)
                use.defaultValue = trimmedView(inner.sliced(bar + 1)).toString();
            uses.push_back(std::move(use));
            text.literalSize += literal.size();
            text.pieces.push_back({std::move(literal), int(uses.size() - 1)});
            literal.clear();
            from = close + 2;
        }
        if (text.pieces.empty())
            return text;
        literal += QStringView(source).sliced(from);
        text.literalSize += literal.size();
        text.pieces.push_back({std::move(literal), -1});
        return text;
    }

    // The column a name stands for: a header name first, so a header that happens to be "2"
    // is still that column; then a column number. -1 when the list has no such column.
    int column(const Columns& columns, int name) const
    {
        if (columns.hasHeader) {
            const QString& wanted = names.at(name);
            for (qsizetype i = 0; i < columns.names.size(); ++i) {
                if (trimmedView(columns.names.at(i)) == wanted)
                    return int(i);
            }
        }
        const int number = numbers.at(size_t(name));
        if (number < 1)
            return -1;
        if (columns.hasHeader && number > columns.names.size())
            return -1;
        return number - 1;
    }
};

QString EmptyFieldText(const QString& name)
{
    return QStringLiteral("差し込み項目「") + name +
           QStringLiteral("」が空のため送信しませんでした");
}

QString MissingFieldText(const QString& name, const Columns& columns)
{
    if (columns.hasHeader)
        return QStringLiteral("差し込み項目「%1」がCSVファイルの見出し行にありません。").arg(name);
    return QStringLiteral("CSVファイルに見出し行がないため、差し込み項目「%1」を使えません。"
                          "見出し行を付けるか、{{2}} のように列の番号で指定して下さい。")
        .arg(name);
}

Template::Template(const QString& subject, const QString& senderName, const QString& body,
                   const QString& footer)
{
    auto compiled = std::make_shared<Compiled>();
    compiled->texts[Subject] = compiled->compile(subject);
    compiled->texts[SenderName] = compiled->compile(senderName);
    compiled->texts[Body] = compiled->compile(body);
    compiled->texts[Footer] = compiled->compile(footer);
    m_compiled = std::move(compiled);
}

bool Template::isPlain() const
{
    return m_compiled->uses.empty();
}

QStringList Template::fieldsUsed() const
{
    return m_compiled->names;
}

std::optional<QString> Template::missingField(const Columns& columns) const
{
    for (int i = 0; i < m_compiled->names.size(); ++i) {
        if (m_compiled->column(columns, i) < 0)
            return m_compiled->names.at(i);
    }
    return std::nullopt;
}

std::variant<Filled, EmptyField> Template::fill(const Columns& columns, const Row& row) const
{
    const Compiled& c = *m_compiled;
    // Each name is looked up once per row, however often the texts use it.
    constexpr int kInline = 16;
    std::array<const QString*, kInline> inlineValues{};
    std::vector<const QString*> moreValues;
    const QString** values = inlineValues.data();
    if (c.names.size() > kInline) {
        moreValues.resize(size_t(c.names.size()));
        values = moreValues.data();
    }
    for (int i = 0; i < c.names.size(); ++i) {
        const int col = c.column(columns, i);
        values[i] = col >= 0 && col < row.fields.size() && !isBlankOnly(row.fields.at(col))
                        ? &row.fields.at(col)
                        : nullptr;
    }

    std::array<QString, PartCount> out;
    for (int part = 0; part < PartCount; ++part) {
        const Compiled::Text& text = c.texts[size_t(part)];
        if (text.pieces.empty()) {
            out[size_t(part)] = text.plain;
            continue;
        }
        const bool header = part == Subject || part == SenderName;
        QString& filled = out[size_t(part)];
        filled.reserve(text.literalSize + 32 * qsizetype(text.pieces.size()));
        for (const Compiled::Piece& piece : text.pieces) {
            filled += piece.text;
            if (piece.use < 0)
                continue;
            const Compiled::Use& use = c.uses[size_t(piece.use)];
            const QString* value = values[use.name];
            if (!value) {
                if (!use.hasDefault)
                    return EmptyField{c.names.at(use.name)};
                filled += use.defaultValue;
            } else if (!hasLineBreak(*value)) {
                filled += *value;
            } else {
                filled += header ? withoutLineBreaks(*value) : withCrLf(*value);
            }
        }
    }
    return Filled{std::move(out[Subject]), std::move(out[SenderName]), std::move(out[Body]),
                  std::move(out[Footer])};
}

} // namespace merge
