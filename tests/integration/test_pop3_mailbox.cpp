// Real delivery reports in a real mailbox: mails go through the private Postfix with the
// program's SMTP sender, Postfix bounces the unknown recipients to the operator's address, and
// the reports are read back over POP3 from Dovecot. Python's email package judges the reports.
#include "core/transport/pop3_client.h"
#include "core/transport/pop3_endpoint.h"
#include "core/transport/smtp_sender.h"
#include "core/transport/smtp_server.h"
#include "servers_env.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTest>

using integration::ServersEnv;
using transport::Pop3Client;

namespace {

const QString kOperator = QStringLiteral("operator@example.jp");
constexpr qint64 kMaxReport = 1 << 20;

QByteArray plainMail(const QString& to, const QString& subject)
{
    return "From: " + kOperator.toUtf8() + "\r\nTo: " + to.toUtf8() +
           "\r\nSubject: " + subject.toUtf8() +
           "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii"
           "\r\n\r\nA test mail.\r\n";
}

} // namespace

class TestPop3Mailbox : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void reportsOfUnknownRecipientsAreReadAndDeleted();
    void nothingIsRelayed();

private:
    // A logged-in session; fails the test otherwise.
    bool connect(Pop3Client* client);
    // UID -> entry of the mailbox now.
    QHash<QByteArray, Pop3Client::MailboxEntry> mailbox();
    QJsonObject judge(const QByteArray& raw);
    transport::SendOutcome send(const QString& to, const QString& subject);

    ServersEnv m_env;
    QString m_delivered;
};

void TestPop3Mailbox::initTestCase()
{
    QString errorText;
    if (!m_env.load(&errorText))
        QFAIL(qPrintable(errorText));
    for (const char* key :
         {"KEZ_POSTFIX_PORT", "KEZ_POSTFIX_DELIVERED", "KEZ_POSTFIX_LOG", "KEZ_OPERATOR_MAILDIR"})
        QVERIFY2(!m_env.value(QLatin1String(key)).isEmpty(), key);
    m_delivered = QDir(m_env.value(QStringLiteral("KEZ_POSTFIX_DELIVERED"))).filePath("new");
}

bool TestPop3Mailbox::connect(Pop3Client* client)
{
    transport::Pop3Endpoint endpoint;
    QString errorText;
    bool ok = transport::parsePop3Server(m_env.pop3Server(), &endpoint, &errorText) &&
              client->open(endpoint, &errorText) &&
              client->login(m_env.value(QStringLiteral("KEZ_POP3_USER")),
                            m_env.value(QStringLiteral("KEZ_POP3_PASSWORD")),
                            Pop3Client::Method::UserPass, &errorText);
    if (!ok)
        qWarning().noquote() << errorText;
    return ok;
}

QHash<QByteArray, Pop3Client::MailboxEntry> TestPop3Mailbox::mailbox()
{
    QHash<QByteArray, Pop3Client::MailboxEntry> byUid;
    Pop3Client client;
    QList<Pop3Client::MailboxEntry> entries;
    QString errorText;
    if (!connect(&client) || !client.listMailbox(&entries, &errorText)) {
        qWarning().noquote() << errorText;
        return byUid;
    }
    client.quit();
    for (const auto& entry : entries)
        byUid.insert(entry.uid, entry);
    return byUid;
}

QJsonObject TestPop3Mailbox::judge(const QByteArray& raw)
{
    QProcess reader;
    reader.start(QStringLiteral("/usr/bin/python3"),
                 {QDir(qEnvironmentVariable("KEZ_INTEGRATION_DIR")).filePath("read_report.py")});
    reader.write(raw);
    reader.closeWriteChannel();
    if (!reader.waitForFinished(30000) || reader.exitCode() != 0) {
        qWarning().noquote() << reader.readAllStandardError();
        return {};
    }
    return QJsonDocument::fromJson(reader.readAllStandardOutput()).object();
}

transport::SendOutcome TestPop3Mailbox::send(const QString& to, const QString& subject)
{
    QString errorText;
    const auto server = transport::parseSmtpServer(
        QStringLiteral("127.0.0.1:") + m_env.value(QStringLiteral("KEZ_POSTFIX_PORT")), &errorText);
    if (!server) {
        transport::SendOutcome outcome;
        outcome.errorText = errorText;
        return outcome;
    }
    transport::SmtpSender sender;
    const transport::SendOutcome outcome =
        sender.send(*server, kOperator, to, plainMail(to, subject));
    sender.close();
    return outcome;
}

void TestPop3Mailbox::reportsOfUnknownRecipientsAreReadAndDeleted()
{
    // Unique per run, so that what an earlier run left in the mailbox can't count.
    const QString tag = QString::number(QRandomGenerator::global()->generate());
    const QStringList known = {QStringLiteral("user%1@bounce.test").arg(tag),
                               QStringLiteral("user%1@bounce.test").arg(tag + "2")};
    const QStringList unknown = {QStringLiteral("ghost-%1-a@bounce.test").arg(tag),
                                 QStringLiteral("ghost-%1-b@bounce.test").arg(tag),
                                 QStringLiteral("ghost-%1-c@bounce.test").arg(tag)};
    const auto before = mailbox();
    const QStringList deliveredBefore = integration::filesIn(m_delivered, "*");

    for (const QString& to : known + unknown) {
        const transport::SendOutcome outcome = send(to, QStringLiteral("bounce test ") + tag);
        QVERIFY2(outcome.ok, qPrintable(to + QStringLiteral(": ") + outcome.errorText));
    }

    // Every report is one new mail in the operator's mailbox.
    QHash<QByteArray, Pop3Client::MailboxEntry> now;
    QList<QByteArray> fresh;
    for (QDeadlineTimer deadline(30000); !deadline.hasExpired(); QTest::qWait(200)) {
        now = mailbox();
        fresh.clear();
        for (auto it = now.cbegin(); it != now.cend(); ++it) {
            if (!before.contains(it.key()))
                fresh << it.key();
        }
        if (fresh.size() >= unknown.size())
            break;
    }
    QCOMPARE(fresh.size(), unknown.size());
    // The known users got theirs.
    QTRY_COMPARE(integration::filesIn(m_delivered, "*").size(),
                 deliveredBefore.size() + known.size());

    Pop3Client client;
    QVERIFY(connect(&client));
    QList<Pop3Client::MailboxEntry> entries;
    QString errorText;
    QVERIFY2(client.listMailbox(&entries, &errorText), qPrintable(errorText));
    QHash<QByteArray, QByteArray> rawByUid;
    QStringList reported;
    int firstNumber = 0;
    for (const auto& entry : std::as_const(entries)) {
        if (!fresh.contains(entry.uid))
            continue;
        QByteArray raw;
        QVERIFY2(client.retrieve(entry.number, kMaxReport, &raw, &errorText),
                 qPrintable(errorText));
        QCOMPARE(raw.size(), entry.size);
        rawByUid.insert(entry.uid, raw);
        if (firstNumber == 0)
            firstNumber = entry.number;

        const QJsonObject report = judge(raw);
        QCOMPARE(report.value("content_type").toString(), QStringLiteral("multipart/report"));
        QCOMPARE(report.value("report_type").toString(), QStringLiteral("delivery-status"));
        QCOMPARE(report.value("defects").toArray().size(), 0);
        const QJsonArray recipients = report.value("recipients").toArray();
        QCOMPARE(recipients.size(), 1);
        const QJsonObject recipient = recipients.first().toObject();
        QCOMPARE(recipient.value("status").toString(), QStringLiteral("5.1.1"));
        QCOMPARE(recipient.value("action").toString(), QStringLiteral("failed"));
        reported << recipient.value("final_recipient").toString();
    }
    reported.sort();
    QCOMPARE(reported, unknown);

    // Delete one; the deletion holds once QUIT is confirmed.
    const QByteArray gone = entries[firstNumber - 1].uid;
    QCOMPARE(entries[firstNumber - 1].number, firstNumber);
    QVERIFY2(client.markDeleted(firstNumber, &errorText), qPrintable(errorText));
    QVERIFY2(client.quitAndCommit(&errorText), qPrintable(errorText));

    Pop3Client again;
    QVERIFY(connect(&again));
    QVERIFY2(again.listMailbox(&entries, &errorText), qPrintable(errorText));
    QSet<QByteArray> uids;
    for (const auto& entry : std::as_const(entries))
        uids.insert(entry.uid);
    QVERIFY(!uids.contains(gone));
    // The others keep their UIDs and their bytes; clean them up as well.
    for (const auto& entry : std::as_const(entries)) {
        if (!rawByUid.contains(entry.uid) || entry.uid == gone)
            continue;
        QByteArray raw;
        QVERIFY2(again.retrieve(entry.number, kMaxReport, &raw, &errorText), qPrintable(errorText));
        QCOMPARE(raw, rawByUid.value(entry.uid));
        QVERIFY2(again.markDeleted(entry.number, &errorText), qPrintable(errorText));
        rawByUid.remove(entry.uid);
    }
    QCOMPARE(rawByUid.keys(), QList<QByteArray>{gone});
    QVERIFY2(again.quitAndCommit(&errorText), qPrintable(errorText));
}

void TestPop3Mailbox::nothingIsRelayed()
{
    const QString log = m_env.value(QStringLiteral("KEZ_POSTFIX_LOG"));
    const qint64 offset = integration::fileSize(log);
    const transport::SendOutcome outcome =
        send(QStringLiteral("someone@example.org"), QStringLiteral("must not leave"));
    QVERIFY(!outcome.ok);
    QCOMPARE(outcome.replyCode, 554);
    QTRY_VERIFY(integration::tail(log, offset).contains("Relay access denied"));
    // Over the whole run, every delivery Postfix made went to its own mailboxes.
    for (const QByteArray& line : integration::readAll(log).split('\n')) {
        const qsizetype at = line.indexOf(" relay=");
        if (at >= 0)
            QVERIFY2(line.mid(at).startsWith(" relay=virtual,") ||
                         line.mid(at).startsWith(" relay=none,"),
                     line.constData());
    }
}

QTEST_GUILESS_MAIN(TestPop3Mailbox)
#include "test_pop3_mailbox.moc"
