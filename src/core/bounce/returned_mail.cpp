#include "core/bounce/returned_mail.h"

#include "core/bulk/bulk_headers.h"

#include <QHash>
#include <QRegularExpression>
#include <QUrl>

#include <memory>
#include <mutex>

// GLib's D-Bus declarations use a member named "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <gmime/gmime.h>
#pragma pop_macro("signals")

namespace bounce {
namespace {

// Nested multiparts beyond this are not looked into; no real report comes near it.
constexpr int kMaxDepth = 32;
// A delivery report names one recipient a group; a mail with more groups is not read further.
constexpr int kMaxGroups = 1000;

void initGMime()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

struct Unref
{
    void operator()(gpointer p) const
    {
        if (p)
            g_object_unref(p);
    }
};
template <typename T> using Ref = std::unique_ptr<T, Unref>;

QString utf8(const char* s)
{
    return s ? QString::fromUtf8(s) : QString();
}

QString header(GMimeObject* object, const char* name)
{
    return object ? utf8(g_mime_object_get_header(object, name)).trimmed() : QString();
}

bool isType(GMimeObject* object, const char* type, const char* subtype)
{
    GMimeContentType* ct = object ? g_mime_object_get_content_type(object) : nullptr;
    return ct && g_mime_content_type_is_type(ct, type, subtype);
}

// A leaf part's content with its transfer encoding undone.
QByteArray content(GMimeObject* object)
{
    if (!object || !GMIME_IS_PART(object))
        return {};
    GMimeDataWrapper* wrapper = g_mime_part_get_content(GMIME_PART(object));
    if (!wrapper)
        return {};
    Ref<GMimeStream> stream(g_mime_stream_mem_new());
    if (g_mime_data_wrapper_write_to_stream(wrapper, stream.get()) < 0)
        return {};
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.get()));
    return bytes ? QByteArray(reinterpret_cast<const char*>(bytes->data), bytes->len)
                 : QByteArray();
}

// A text part's words in Unicode, whatever its charset.
QString text(GMimeObject* object)
{
    if (!object || !GMIME_IS_TEXT_PART(object))
        return {};
    char* s = g_mime_text_part_get_text(GMIME_TEXT_PART(object));
    const QString out = utf8(s);
    g_free(s);
    return out;
}

// The parts of the mail itself: its leaves in order and the mails it carries, without looking
// inside those (a returned original's own parts are not the report's).
struct Parts
{
    QList<GMimeObject*> leaves;
    QList<GMimeMessage*> carried;
};

void collect(GMimeObject* object, int depth, Parts* parts)
{
    if (!object || depth > kMaxDepth)
        return;
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        const int n = g_mime_multipart_get_count(multipart);
        for (int i = 0; i < n; ++i)
            collect(g_mime_multipart_get_part(multipart, i), depth + 1, parts);
    } else if (GMIME_IS_MESSAGE_PART(object)) {
        if (GMimeMessage* m = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object)))
            parts->carried << m;
    } else {
        parts->leaves << object;
    }
}

using Fields = QHash<QString, QString>; // lower-case field name -> first value

// Blocks of header fields separated by blank lines, as a delivery status part holds them: the
// fields of the report, then one group for each recipient. Each block is read by GMime's
// header parser, which unfolds continuation lines and decodes encoded words.
QList<Fields> headerBlocks(QByteArray data)
{
    QList<Fields> blocks;
    while (blocks.size() < kMaxGroups) {
        // Blank lines (and lines of only blanks) between blocks.
        qsizetype at = 0;
        for (;;) {
            const qsizetype eol = data.indexOf('\n', at);
            const QByteArray line = data.mid(at, eol < 0 ? -1 : eol - at);
            if (!line.trimmed().isEmpty() || eol < 0)
                break;
            at = eol + 1;
        }
        data = data.mid(at);
        if (data.trimmed().isEmpty())
            break;
        Ref<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(data.constData(), data.size()));
        Ref<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
        Ref<GMimeObject> part(g_mime_parser_construct_part(parser.get(), nullptr));
        if (!part)
            break;
        GMimeHeaderList* list = g_mime_object_get_header_list(part.get());
        const int n = list ? g_mime_header_list_get_count(list) : 0;
        Fields fields;
        for (int i = 0; i < n; ++i) {
            GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
            const QString name = utf8(g_mime_header_get_name(h)).trimmed().toLower();
            if (!name.isEmpty() && !fields.contains(name))
                fields.insert(name, utf8(g_mime_header_get_value(h)).trimmed());
        }
        if (fields.isEmpty())
            break; // not header fields at all; nothing more to read
        blocks << fields;
        const QByteArray rest = content(part.get());
        if (rest.size() >= data.size())
            break;
        data = rest;
    }
    return blocks;
}

// "<id@host>" from a Message-ID, In-Reply-To or References value (the first id in it), or
// the bare id put in angle brackets.
QString messageIdIn(const QString& value)
{
    static const QRegularExpression bracketed(QStringLiteral("<[^<>\\s]+>"));
    const QRegularExpressionMatch m = bracketed.match(value);
    if (m.hasMatch())
        return m.captured();
    const QString bare = value.trimmed();
    if (bare.isEmpty() || bare.contains(QRegularExpression(QStringLiteral("[\\s<>]"))))
        return {};
    return QLatin1Char('<') + bare + QLatin1Char('>');
}

// "rfc822; user@example.jp" -> "user@example.jp".
QString typedAddress(const QString& value)
{
    QString address = value.section(QLatin1Char(';'), -1).trimmed();
    return bulk::PlainAddress(address);
}

// The addresses of an address header (To, Cc, Delivered-To, ...).
QStringList addressesIn(const QString& value)
{
    QStringList out;
    if (value.isEmpty())
        return out;
    const QByteArray bytes = value.toUtf8();
    Ref<InternetAddressList> list(internet_address_list_parse(nullptr, bytes.constData()));
    if (!list)
        return out;
    const int n = internet_address_list_length(list.get());
    for (int i = 0; i < n; ++i) {
        InternetAddress* a = internet_address_list_get_address(list.get(), i);
        if (a && INTERNET_ADDRESS_IS_MAILBOX(a))
            out << utf8(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a)));
    }
    return out;
}

QString collapsed(const QString& s)
{
    return s.simplified();
}

// One recipient group of a delivery report, or nullopt for a group that is no failure
// (delivered, relayed, expanded) or names nobody.
std::optional<FailedRecipient> reportedRecipient(const Fields& f)
{
    FailedRecipient r;
    r.address = typedAddress(f.value(QStringLiteral("final-recipient")));
    r.originalRecipient = typedAddress(f.value(QStringLiteral("original-recipient")));
    if (r.address.isEmpty())
        r.address = r.originalRecipient;
    if (r.address.isEmpty())
        return std::nullopt;
    r.action =
        f.value(QStringLiteral("action")).section(QLatin1Char('('), 0, 0).trimmed().toLower();
    r.status = enhancedStatusIn(f.value(QStringLiteral("status")));
    const QString diagnostic = f.value(QStringLiteral("diagnostic-code"));
    const bool smtp = diagnostic.section(QLatin1Char(';'), 0, 0)
                          .trimmed()
                          .compare(QLatin1String("smtp"), Qt::CaseInsensitive) == 0;
    r.diagnostic =
        collapsed(diagnostic.contains(QLatin1Char(';')) ? diagnostic.section(QLatin1Char(';'), 1)
                                                        : diagnostic);
    const int basic = smtp ? basicCodeIn(r.diagnostic) : 0;
    if (r.action.isEmpty()) {
        // A report without an action: the status tells whether it failed for good.
        const QString cls = r.status.left(1);
        if (cls == QLatin1String("5") || (r.status.isEmpty() && basic >= 500))
            r.action = QStringLiteral("failed");
        else if (cls == QLatin1String("4") || (r.status.isEmpty() && basic >= 400))
            r.action = QStringLiteral("delayed");
    }
    if (r.action == QLatin1String("delayed")) {
        r.verdict = Verdict::Unknown; // still being tried
        return r;
    }
    if (r.action != QLatin1String("failed"))
        return std::nullopt;
    r.verdict = classify(Failure{basic, r.status, r.diagnostic});
    if (r.verdict == Verdict::Unknown)
        r.verdict = Verdict::Ambiguous; // it failed, and says nothing more
    return r;
}

bool isLocalPart(const QString& address, const char* name)
{
    return address.section(QLatin1Char('@'), 0, 0)
               .compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
}

// The recipients a bounce in plain words names, each with the words that follow it: the
// lines from the one naming it to the next blank line or the next recipient.
QList<FailedRecipient> plainRecipients(const QString& failureText, const QStringList& excluded)
{
    static const QRegularExpression addressRe(
        QStringLiteral("[A-Za-z0-9.!#$%&'*+/=?^_`{|}~-]+@[A-Za-z0-9-]+(?:\\.[A-Za-z0-9-]+)+"));
    static const QRegularExpression codeRe(QStringLiteral("(?:^|[\\s:])([45][0-9]{2})[ -]"));
    auto candidates = [&](const QString& line) {
        QStringList out;
        for (const QRegularExpressionMatch& m : addressRe.globalMatch(line)) {
            const QString a = m.captured();
            if (isLocalPart(a, "mailer-daemon") || isLocalPart(a, "postmaster") ||
                excluded.contains(a, Qt::CaseInsensitive))
                continue;
            out << a;
        }
        return out;
    };

    const QStringList lines = failureText.split(QLatin1Char('\n'));
    QList<FailedRecipient> found;
    QStringList seen;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QStringList here = candidates(lines[i]);
        for (const QString& address : here) {
            if (seen.contains(address, Qt::CaseInsensitive))
                continue;
            seen << address;
            QStringList block{lines[i]};
            for (qsizetype j = i + 1; j < lines.size(); ++j) {
                if (lines[j].trimmed().isEmpty())
                    break;
                const QStringList next = candidates(lines[j]);
                bool other = false;
                for (const QString& a : next)
                    other = other || a.compare(address, Qt::CaseInsensitive) != 0;
                if (other)
                    break;
                block << lines[j];
            }
            FailedRecipient r;
            r.address = address;
            r.action = QStringLiteral("failed");
            r.diagnostic = collapsed(block.join(QLatin1Char(' ')));
            found << r;
        }
    }
    for (FailedRecipient& r : found) {
        // The words about one recipient first; a bounce that names just one may give its
        // reason in a paragraph of its own.
        QStringList texts{r.diagnostic};
        if (found.size() == 1)
            texts << collapsed(failureText);
        for (const QString& t : texts) {
            r.status = enhancedStatusIn(t);
            const int basic = codeRe.match(t).captured(1).toInt();
            r.verdict = classify(Failure{basic, r.status, t});
            if (r.verdict != Verdict::Unknown)
                break;
        }
        if (r.verdict == Verdict::Unknown)
            r.verdict = Verdict::Ambiguous;
    }
    return found;
}

// The unsubscribe template taken apart: its address (which may hold the placeholder) and the
// subject and body it asks for.
struct MailtoTemplate
{
    QString to;
    QString subject;
    QString body;
};

std::optional<MailtoTemplate> parseTemplate(const QString& stored)
{
    const QString t = bulk::MailtoTemplate(stored);
    if (!t.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive))
        return std::nullopt;
    const QString rest = t.mid(7);
    MailtoTemplate out;
    out.to = QUrl::fromPercentEncoding(rest.section(QLatin1Char('?'), 0, 0).toUtf8()).trimmed();
    if (!out.to.contains(QLatin1Char('@')))
        return std::nullopt;
    const QStringList query = rest.section(QLatin1Char('?'), 1).split(QLatin1Char('&'));
    for (const QString& item : query) {
        const QString key = item.section(QLatin1Char('='), 0, 0).toLower();
        const QString value = QUrl::fromPercentEncoding(item.section(QLatin1Char('='), 1).toUtf8());
        if (key == QLatin1String("subject"))
            out.subject = value;
        else if (key == QLatin1String("body"))
            out.body = value;
    }
    return out;
}

const QString kPlaceholder = QString::fromUtf16(bulk::kAddressPlaceholder);

// A template text as a pattern: its words as written (any run of blanks for a blank), the
// placeholder as the address.
QRegularExpression templatePattern(const QString& tmpl, const QString& addressPattern, bool whole)
{
    QStringList pieces = tmpl.split(kPlaceholder);
    for (QString& piece : pieces) {
        QStringList words =
            piece.split(QRegularExpression(QStringLiteral("\\s+")), Qt::KeepEmptyParts);
        for (QString& w : words)
            w = QRegularExpression::escape(w);
        piece = words.join(QLatin1String("\\s+"));
    }
    QString pattern = pieces.join(addressPattern);
    if (whole)
        pattern = QStringLiteral("\\A") + pattern + QStringLiteral("\\z");
    return QRegularExpression(pattern, QRegularExpression::CaseInsensitiveOption |
                                           QRegularExpression::UseUnicodePropertiesOption);
}

// The address a request names: the captured text, percent-decoded when a mail program left it
// encoded, or "" when it is no address.
QString requestedAddress(QString captured)
{
    captured = bulk::PlainAddress(captured);
    if (captured.contains(QLatin1String("%40"), Qt::CaseInsensitive))
        captured = QUrl::fromPercentEncoding(captured.toUtf8());
    while (!captured.isEmpty() && QStringLiteral(".,;:)>").contains(captured.back()))
        captured.chop(1);
    const qsizetype at = captured.lastIndexOf(QLatin1Char('@'));
    if (at <= 0 || at == captured.size() - 1 || captured.contains(QRegularExpression("\\s")))
        return {};
    return captured;
}

bool isAutoReply(GMimeObject* mail, const QString& subject)
{
    const QString submitted =
        header(mail, "Auto-Submitted").section(QLatin1Char(';'), 0, 0).trimmed();
    if (!submitted.isEmpty() && submitted.compare(QLatin1String("no"), Qt::CaseInsensitive) != 0)
        return true;
    if (!header(mail, "X-Autoreply").isEmpty() || !header(mail, "X-Autorespond").isEmpty())
        return true;
    if (header(mail, "Precedence").compare(QLatin1String("auto_reply"), Qt::CaseInsensitive) == 0)
        return true;
    return hasMarker(QStringLiteral("autoreply-subject"), subject);
}

} // namespace

QString kindName(Kind k)
{
    switch (k) {
    case Kind::DeliveryReport: return QStringLiteral("report");
    case Kind::Bounce: return QStringLiteral("bounce");
    case Kind::Unsubscribe: return QStringLiteral("unsubscribe");
    case Kind::AutoReply: return QStringLiteral("autoreply");
    case Kind::Other: break;
    }
    return QStringLiteral("other");
}

ReturnedMail readReturnedMail(const QByteArray& rawMessage, const QString& mailtoTemplate)
{
    initGMime();
    ReturnedMail out;
    if (rawMessage.trimmed().isEmpty())
        return out;
    Ref<GMimeStream> stream(
        g_mime_stream_mem_new_with_buffer(rawMessage.constData(), rawMessage.size()));
    Ref<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    Ref<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!message)
        return out;
    GMimeObject* mail = GMIME_OBJECT(message.get());
    GMimeObject* body = g_mime_message_get_mime_part(message.get());
    if (!body)
        return out;
    out.messageId = messageIdIn(utf8(g_mime_message_get_message_id(message.get())));
    const QString subject = utf8(g_mime_message_get_subject(message.get())).simplified();
    const QString from = header(mail, "From");
    out.fromAddresses = addressesIn(from);

    Parts parts;
    collect(body, 0, &parts);

    // The returned original: its headers or the whole of it, else what the mail answers.
    for (GMimeObject* leaf : std::as_const(parts.leaves)) {
        if (!out.originalMessageId.isEmpty())
            break;
        if (isType(leaf, "text", "rfc822-headers") || isType(leaf, "message", "global-headers")) {
            const QByteArray headers = content(leaf);
            const QList<Fields> blocks = headerBlocks(headers);
            if (!blocks.isEmpty())
                out.originalMessageId = messageIdIn(blocks[0].value(QStringLiteral("message-id")));
        }
    }
    for (GMimeMessage* carried : std::as_const(parts.carried)) {
        if (out.originalMessageId.isEmpty())
            out.originalMessageId = messageIdIn(utf8(g_mime_message_get_message_id(carried)));
    }

    QString plainText;
    for (GMimeObject* leaf : std::as_const(parts.leaves)) {
        if (isType(leaf, "text", "plain")) {
            plainText = text(leaf);
            break;
        }
    }
    plainText.replace(QLatin1String("\r\n"), QLatin1String("\n"));

    auto answered = [&] {
        if (!out.originalMessageId.isEmpty())
            return;
        out.originalMessageId = messageIdIn(header(mail, "In-Reply-To"));
        if (out.originalMessageId.isEmpty()) {
            const QStringList refs =
                header(mail, "References").split(QRegularExpression("\\s+"), Qt::SkipEmptyParts);
            if (!refs.isEmpty())
                out.originalMessageId = messageIdIn(refs.last());
        }
    };

    // A delivery report first, whatever its Auto-Submitted says: MTAs mark their reports so.
    for (GMimeObject* leaf : std::as_const(parts.leaves)) {
        if (!isType(leaf, "message", "delivery-status") &&
            !isType(leaf, "message", "global-delivery-status"))
            continue;
        out.kind = Kind::DeliveryReport;
        for (const Fields& group : headerBlocks(content(leaf))) {
            if (const std::optional<FailedRecipient> r = reportedRecipient(group))
                out.recipients << *r;
        }
    }
    if (out.kind == Kind::DeliveryReport) {
        answered();
        return out;
    }

    // A bounce in plain words, known by who sends it or its subject.
    if (hasMarker(QStringLiteral("bounce-sender"), from) ||
        hasMarker(QStringLiteral("bounce-subject"), subject)) {
        out.kind = Kind::Bounce;
        const qsizetype cut = markerAt(QStringLiteral("original-start"), plainText);
        const QString failureText = cut < 0 ? plainText : plainText.left(cut);
        // The mail's own correspondents, and whoever sent the returned original, are not the
        // failed recipients, however often the text names them.
        QStringList excluded = addressesIn(from);
        for (const char* name : {"To", "Reply-To", "Delivered-To", "X-Original-To"})
            excluded << addressesIn(header(mail, name));
        for (GMimeMessage* carried : std::as_const(parts.carried))
            for (const char* name : {"From", "Sender", "Return-Path"})
                excluded << addressesIn(header(GMIME_OBJECT(carried), name));
        if (cut >= 0) {
            static const QRegularExpression senderLine(
                QStringLiteral("^(?:From|Sender|Return-Path):(.*)$"),
                QRegularExpression::CaseInsensitiveOption | QRegularExpression::MultilineOption);
            for (const QRegularExpressionMatch& m : senderLine.globalMatch(plainText.mid(cut)))
                excluded << addressesIn(m.captured(1).trimmed());
        }
        out.recipients = plainRecipients(failureText, excluded);
        if (out.originalMessageId.isEmpty()) {
            static const QRegularExpression idLine(
                QStringLiteral("^\\s*Message-ID:\\s*(<[^<>\\s]+>)"),
                QRegularExpression::CaseInsensitiveOption | QRegularExpression::MultilineOption);
            out.originalMessageId =
                idLine.match(cut < 0 ? plainText : plainText.mid(cut)).captured(1);
        }
        answered();
        return out;
    }

    answered();
    const bool autoReply = isAutoReply(mail, subject);

    // A request sent to the unsubscribe address.
    if (const std::optional<MailtoTemplate> tmpl = parseTemplate(mailtoTemplate)) {
        const QRegularExpression toRe =
            templatePattern(tmpl->to, QStringLiteral("(.+)"), /*whole=*/true);
        QStringList to;
        for (const char* name :
             {"To", "Cc", "Delivered-To", "X-Original-To", "Envelope-To", "X-Envelope-To"})
            to << addressesIn(header(mail, name));
        bool addressed = false;
        QString requested;
        for (const QString& a : std::as_const(to)) {
            const QRegularExpressionMatch m = toRe.match(a);
            if (!m.hasMatch())
                continue;
            addressed = true;
            if (tmpl->to.contains(kPlaceholder))
                requested = requestedAddress(m.captured(1));
            if (!requested.isEmpty())
                break;
        }
        if (addressed) {
            const QString addressPattern = QStringLiteral("<?([^\\s<>]+)>?");
            if (requested.isEmpty() && tmpl->subject.contains(kPlaceholder))
                requested = requestedAddress(templatePattern(tmpl->subject, addressPattern, false)
                                                 .match(subject)
                                                 .captured(1));
            if (requested.isEmpty() && tmpl->body.contains(kPlaceholder))
                requested = requestedAddress(templatePattern(tmpl->body, addressPattern, false)
                                                 .match(plainText)
                                                 .captured(1));
            // Without an address in the request, the sender asks for itself; but an
            // auto-reply that happens to reach this address asks for nothing.
            if (requested.isEmpty() && !autoReply) {
                const QStringList senders = addressesIn(from);
                if (!senders.isEmpty())
                    requested = senders.first();
            }
            if (!requested.isEmpty()) {
                out.kind = Kind::Unsubscribe;
                out.unsubscribeAddress = requested;
                return out;
            }
        }
    }

    // Read receipts are automatic answers too.
    GMimeContentType* ct = g_mime_object_get_content_type(body);
    const bool receipt =
        ct && g_mime_content_type_is_type(ct, "multipart", "report") &&
        QString::fromUtf8(g_mime_content_type_get_parameter(ct, "report-type"))
                .compare(QLatin1String("disposition-notification"), Qt::CaseInsensitive) == 0;
    if (autoReply || receipt)
        out.kind = Kind::AutoReply;
    return out;
}

} // namespace bounce
