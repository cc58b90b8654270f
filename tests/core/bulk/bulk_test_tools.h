#pragma once

// Keys and judges for the tests of the delivery options: keys come from the openssl command,
// mails are read by tests/integration/bulk_mail.py (Python's email package, urllib, dkimpy).

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QtDebug>

namespace bulk_testing {

// The error log's texts of a skipped list address, as the operator reads them.
inline const QString kSuppressed =
    QStringLiteral("配信停止リストに登録されているため送信しませんでした");
inline const QString kAlreadySent = QStringLiteral("同じ配信で送信済みのため送信しませんでした");
// The error log's first line of a run with the suppression list on, when the intake before it
// found nothing in the mailbox (an error-log line without an address).
inline const QString kNothingTakenIn =
    QStringLiteral("取り込み結果：バウンス 0件（配信停止リストに追加 0件）、配信停止依頼 0件、"
                   "対象外 0件,");

// A whole bulk.ini as the dialog saves it: every key, CR LF ends. Each line given replaces its
// key's line in place; the others keep the dialog's proposals.
inline QByteArray completeBulkIni(const QByteArray& lines = QByteArray())
{
    QList<QByteArray> out = {"UNSUBMAILTO=",  "UNSUBURL=",  "SUPPRESSPATH=", "DKIMDOMAIN=",
                             "DKIMSELECTOR=", "DKIMKEY=",   "PRECEDENCE=1",  "AUTOSUBMITTED=1",
                             "ONCEPERRUN=1",  "SUPPRESS=0", "DKIM=0"};
    for (const QByteArray& given : lines.split('\n')) {
        const QByteArray line = given.trimmed();
        const QByteArray key = line.left(line.indexOf('=') + 1);
        for (QByteArray& o : out)
            if (!key.isEmpty() && o.startsWith(key))
                o = line;
    }
    return out.join("\r\n") + "\r\n";
}

// Runs a program to its end; its standard output, or nothing (with a warning) when it failed.
inline std::optional<QByteArray> run(const QString& program, const QStringList& args,
                                     const QByteArray& input = QByteArray())
{
    QProcess process;
    process.start(program, args);
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning().noquote() << program << args << "failed:" << process.readAllStandardError();
        return std::nullopt;
    }
    return process.readAllStandardOutput();
}

// A private key made by the openssl command: "rsa:2048", "rsa:1024", "ed25519", "ec".
// Returns the path of the PEM file, empty on failure.
inline QString makeKey(const QString& dir, const QString& kind)
{
    const QString path =
        QDir(dir).filePath(QString(kind).replace(QLatin1Char(':'), u'-') + QStringLiteral(".pem"));
    QStringList args = {QStringLiteral("genpkey"), QStringLiteral("-out"), path};
    if (kind.startsWith(QLatin1String("rsa:")))
        args << QStringLiteral("-algorithm") << QStringLiteral("RSA") << QStringLiteral("-pkeyopt")
             << QStringLiteral("rsa_keygen_bits:") + kind.mid(4);
    else if (kind == QLatin1String("ed25519"))
        args << QStringLiteral("-algorithm") << QStringLiteral("ED25519");
    else if (kind == QLatin1String("ec"))
        args << QStringLiteral("-algorithm") << QStringLiteral("EC") << QStringLiteral("-pkeyopt")
             << QStringLiteral("ec_paramgen_curve:P-256");
    if (!run(QStringLiteral("openssl"), args))
        return QString();
    return path;
}

// The p= of the key's DNS record as the openssl command derives it: the DER public key for
// RSA, its last 32 octets (the bare key) for Ed25519.
inline QByteArray opensslPublicKey(const QString& keyPath, bool ed25519)
{
    const std::optional<QByteArray> der =
        run(QStringLiteral("openssl"),
            {QStringLiteral("pkey"), QStringLiteral("-in"), keyPath, QStringLiteral("-pubout"),
             QStringLiteral("-outform"), QStringLiteral("DER")});
    if (!der)
        return QByteArray();
    return (ed25519 ? der->right(32) : *der).toBase64();
}

// The mail with one octet of its body changed: the first letter or digit after the header,
// which no canonicalisation can take back (blanks could be).
inline QByteArray withOneBodyByteChanged(QByteArray mail)
{
    for (qsizetype i = mail.indexOf("\r\n\r\n") + 4; i > 3 && i < mail.size(); ++i) {
        const char c = mail.at(i);
        if ((c >= 'a' && c <= 'y') || (c >= 'A' && c <= 'Y') || (c >= '0' && c <= '8')) {
            mail[i] = char(c + 1);
            return mail;
        }
    }
    return QByteArray();
}

// The strings of a JSON array (bulk_mail.py gives each header's values as one).
inline QStringList strings(const QJsonValue& value)
{
    QStringList out;
    for (const QJsonValue& v : value.toArray())
        out << v.toString();
    return out;
}

// Runs bulk_mail.py and returns its JSON; empty when it failed.
inline QJsonObject mailScript(const QStringList& args)
{
    const QString script = QDir(qEnvironmentVariable("KEZ_SOURCE_DIR"))
                               .filePath(QStringLiteral("tests/integration/bulk_mail.py"));
    const std::optional<QByteArray> out =
        run(QStringLiteral("/usr/bin/python3"), QStringList{script} + args);
    return out ? QJsonDocument::fromJson(*out).object() : QJsonObject();
}

} // namespace bulk_testing
