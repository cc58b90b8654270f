// Returned mails as real mail systems write them: delivery reports, plain bounces, auto-replies,
// unsubscribe requests and the rest, and odd or malformed mails that must be read without harm.
#include "core/bounce/returned_mail.h"

#include <QFile>
#include <QTest>

using bounce::Kind;

namespace {

const QString kTemplate =
    QStringLiteral("mailto:unsub@sender.example.jp?subject=unsubscribe%20{address}");

QByteArray corpusFile(const QString& name)
{
    QFile file(qEnvironmentVariable("KEZ_SOURCE_DIR") + QStringLiteral("/tests/data/bounces/") +
               name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(file.fileName()));
    return file.readAll();
}

// "address verdict status action" for each failed recipient, in order.
QStringList recipientsOf(const bounce::ReturnedMail& mail)
{
    QStringList out;
    for (const bounce::FailedRecipient& r : mail.recipients)
        out << QStringList{r.address, bounce::verdictName(r.verdict), r.status, r.action}.join(
            QLatin1Char(' '));
    return out;
}

QByteArray mail(const QByteArray& headers, const QByteArray& body)
{
    return headers + "MIME-Version: 1.0\r\n\r\n" + body;
}

} // namespace

class TestReturnedMail : public QObject
{
    Q_OBJECT

private slots:
    void corpus_data();
    void corpus();
    void unsubscribeRequests_data();
    void unsubscribeRequests();
    void oddMails_data();
    void oddMails();
};

void TestReturnedMail::corpus_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("recipients");
    QTest::addColumn<QString>("original");
    QTest::addColumn<QString>("unsubscribe");
    QTest::addColumn<QString>("messageId");

    // Each row: file, kind, failed recipients, original's Message-ID, address to suppress, and
    // the mail's own Message-ID.
    // clang-format off
    QTest::newRow("Postfix DSN") << "report-postfix-user-unknown.eml" << "report"
        << QStringList{"nosuch@example.net hard 5.1.1 failed"}
        << "<20241203101529.000017.kez@sender.example.jp>" << "" << "<20241203011532.5B7E3C0456@mail.sender.example.jp>";
    QTest::newRow("Postfix report marked auto-replied, two recipients") << "report-postfix-auto-replied.eml" << "report"
        << QStringList{"jiro@example.org hard 5.1.1 failed", "saburo@example.org hard 5.2.1 failed"}
        << "<20241204090208.000031.kez@sender.example.jp>" << "" << "<20241204000211.9A0B1C0599@mail.sender.example.jp>";
    QTest::newRow("Gmail 5.1.1") << "report-gmail-no-such-user.eml" << "report"
        << QStringList{"missing.person.2024@gmail.com hard 5.1.1 failed"}
        << "<20241205194115.000102.kez@sender.example.jp>" << "" << "<6751835d.170a0220.3b2f1a.8e4cSMTPIN_ADDED_BROKEN@mx.google.com>";
    QTest::newRow("sendmail, 4.2.2 mailbox full after five days") << "report-sendmail-mailbox-full.eml" << "report"
        << QStringList{"full.box@example.com soft 4.2.2 failed"}
        << "<20241129101205.000007.kez@sender.example.jp>" << "" << "<202412040118.4B41Iq0x012345@relay.example.jp>";
    QTest::newRow("5.7.1 block list") << "report-blocked-5.7.1.eml" << "report"
        << QStringList{"shiro@example.com domain 5.7.1 failed"}
        << "<20241206142959.000044.kez@sender.example.jp>" << "" << "<20241206053002.3F4A5C0778@mail.sender.example.jp>";
    QTest::newRow("qmail plain bounce") << "bounce-qmail-plain.eml" << "bounce"
        << QStringList{"hanako.old@example.net hard 5.1.1 failed", "sales@retired-shop.example hard 5.1.2 failed"}
        << "<20241202171142.000003.kez@sender.example.jp>" << "" << "";
    QTest::newRow("old Exim plain bounce, no status code") << "bounce-exim-plain.eml" << "bounce"
        << QStringList{"gone@example.org hard  failed"}
        << "<20241207122011.000019.kez@sender.example.jp>" << "" << "<E1tJjkl-0003bC-9P@mx.example.org>";
    QTest::newRow("Japanese carrier, ISO-2022-JP") << "bounce-carrier-ja.eml" << "bounce"
        << QStringList{"taro.yamada-1985@carrier.example.ne.jp hard  failed"}
        << "<20241209210431.000052.kez@sender.example.jp>" << "" << "<20241209210438.MD0011@carrier.example.ne.jp>";
    QTest::newRow("vacation reply") << "autoreply-vacation.eml" << "autoreply" << QStringList{}
        << "<20241210085958.000061.kez@sender.example.jp>" << "" << "<dovecot-sieve-1733788812-12345-0@mx.example.co.jp>";
    QTest::newRow("absence notice known by its subject only") << "autoreply-absent-subject.eml" << "autoreply"
        << QStringList{} << "" << "" << "<CAOutlook-8f3e2a1b@example.co.jp>";
    QTest::newRow("unsubscribe naming the address") << "unsubscribe-template-address.eml" << "unsubscribe"
        << QStringList{} << "" << "hanako+news@example.com" << "<a9c1e2f3-unsub@mail.example.com>";
    QTest::newRow("unsubscribe without the address: the sender") << "unsubscribe-from-sender.eml" << "unsubscribe"
        << QStringList{} << "" << "kenji@example.net" << "<0f1e2d3c@mail.example.net>";
    QTest::newRow("a customer's reply that says 'does not exist'") << "other-customer-reply.eml" << "other"
        << QStringList{} << "<20241210085958.000061.kez@sender.example.jp>" << "" << "<5e6f7a8b-reply@example.co.jp>";
    // clang-format on
}

void TestReturnedMail::corpus()
{
    QFETCH(QString, file);
    QFETCH(QString, kind);
    QFETCH(QStringList, recipients);
    QFETCH(QString, original);
    QFETCH(QString, unsubscribe);
    QFETCH(QString, messageId);
    const bounce::ReturnedMail m = bounce::readReturnedMail(corpusFile(file), kTemplate);
    QCOMPARE(bounce::kindName(m.kind), kind);
    QCOMPARE(recipientsOf(m), recipients);
    QCOMPARE(m.originalMessageId, original);
    QCOMPARE(m.unsubscribeAddress, unsubscribe);
    QCOMPARE(m.messageId, messageId);
}

void TestReturnedMail::unsubscribeRequests_data()
{
    QTest::addColumn<QString>("mailtoTemplate");
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("address");

    const QByteArray from = "From: Taro <taro@example.jp>\r\n";
    QTest::newRow("address in the mailbox, percent-encoded")
        << "mailto:unsub+{address}@sender.example.jp"
        << mail(from + "To: unsub+hanako%40example.com@sender.example.jp\r\nSubject: x\r\n", "")
        << "unsubscribe"
        << "hanako@example.com";
    QTest::newRow("address in the body, reply prefix in the subject")
        << "mailto:stop@sender.example.jp?subject=stop&body=stop%20{address}"
        << mail(from + "To: stop@sender.example.jp\r\nSubject: Re: stop\r\n",
                "stop <jiro+a@example.net>\r\n")
        << "unsubscribe"
        << "jiro+a@example.net";
    QTest::newRow("Japanese subject, template as typed")
        << QStringLiteral("stop@sender.example.jp?subject=配信停止 {address}")
        << mail(from + "To: stop@sender.example.jp\r\nSubject: "
                       "=?UTF-8?B?6YWN5L+h5YGc5q2iIGhhbmFrb0BleGFtcGxlLmNvbQ==?=\r\n",
                "")
        << "unsubscribe"
        << "hanako@example.com";
    QTest::newRow("reached through Delivered-To only")
        << kTemplate
        << mail(from + "To: undisclosed-recipients:;\r\nDelivered-To: unsub@sender.example.jp\r\n"
                       "Subject: unsubscribe\r\n",
                "")
        << "unsubscribe"
        << "taro@example.jp";
    QTest::newRow("another mailbox is no request")
        << kTemplate
        << mail(from + "To: news@sender.example.jp\r\nSubject: unsubscribe hanako@example.com\r\n",
                "")
        << "other"
        << "";
    QTest::newRow("no template, no requests")
        << "" << mail(from + "To: unsub@sender.example.jp\r\nSubject: unsubscribe\r\n", "")
        << "other"
        << "";
    QTest::newRow("an auto-reply to the address asks for nobody")
        << kTemplate
        << mail(from + "To: unsub@sender.example.jp\r\nAuto-Submitted: auto-replied\r\n"
                       "Subject: Out of Office\r\n",
                "")
        << "autoreply"
        << "";
    QTest::newRow("an automatic request naming the address counts")
        << kTemplate
        << mail(from + "To: unsub@sender.example.jp\r\nAuto-Submitted: auto-generated\r\n"
                       "Subject: unsubscribe hanako@example.com\r\n",
                "")
        << "unsubscribe"
        << "hanako@example.com";
}

void TestReturnedMail::unsubscribeRequests()
{
    QFETCH(QString, mailtoTemplate);
    QFETCH(QByteArray, raw);
    QFETCH(QString, kind);
    QFETCH(QString, address);
    const bounce::ReturnedMail m = bounce::readReturnedMail(raw, mailtoTemplate);
    QCOMPARE(bounce::kindName(m.kind), kind);
    QCOMPARE(m.unsubscribeAddress, address);
}

void TestReturnedMail::oddMails_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("recipients");

    const QByteArray report = "From: MAILER-DAEMON@example.jp\r\nContent-Type: multipart/report; "
                              "report-type=delivery-status; boundary=b\r\n";
    QTest::newRow("empty") << QByteArray() << "other" << QStringList{};
    QTest::newRow("binary noise") << QByteArray("\x00\xff\xfe\x01\r\n\r\n\x80\x81", 10) << "other"
                                  << QStringList{};
    QTest::newRow("report cut off inside a group")
        << mail(report, "--b\r\nContent-Type: message/delivery-status\r\n\r\n"
                        "Reporting-MTA: dns; x\r\n\r\nFinal-Recipient: rfc822; a@example.net\r\n"
                        "Action: failed\r\nStatus: 5.1.1\r\nDiagnostic-Code: smtp; 550 5.")
        << "report" << QStringList{"a@example.net hard 5.1.1 failed"};
    QTest::newRow("groups without a recipient, delivered and relayed ones")
        << mail(report, "--b\r\nContent-Type: message/delivery-status\r\n\r\n"
                        "\r\n\r\n\r\nAction: failed\r\nStatus: 5.1.1\r\n\r\n"
                        "Final-Recipient: rfc822; ok@example.net\r\nAction: delivered\r\n"
                        "Status: 2.0.0\r\n\r\nFinal-Recipient: rfc822; r@example.net\r\n"
                        "Action: relayed\r\nStatus: 2.0.0\r\n\r\n"
                        "Final-Recipient: rfc822; d@example.net\r\nAction: delayed\r\n"
                        "Status: 4.4.1\r\n\r\n"
                        "Final-Recipient: rfc822; n@example.net\r\nAction: failed\r\n\r\n"
                        "--b--\r\n")
        << "report"
        << QStringList{"d@example.net unknown 4.4.1 delayed", "n@example.net ambiguous  failed"};
    QTest::newRow("status part that is no header block")
        << mail(report, "--b\r\nContent-Type: message/delivery-status\r\n\r\n"
                        ": : :\r\n\x01\x02 garbage without fields\r\n--b--\r\n")
        << "report" << QStringList{};
    QTest::newRow("plain bounce naming the original's sender")
        << mail("From: MAILER-DAEMON@mx.example.net\r\nTo: bounces@sender.example.jp\r\n"
                "Subject: failure notice\r\n",
                "Your message from news@sender.example.jp could not be delivered.\r\n\r\n"
                "<gone@example.net>:\r\nSorry, no mailbox here by that name. (#5.1.1)\r\n\r\n"
                "--- Below this line is a copy of the message.\r\n\r\n"
                "From: Shop <news@sender.example.jp>\r\nTo: gone@example.net\r\n")
        << "bounce" << QStringList{"gone@example.net hard 5.1.1 failed"};
    QByteArray deep = "From: x@example.jp\r\nContent-Type: multipart/mixed; boundary=b0\r\n"
                      "MIME-Version: 1.0\r\n\r\n";
    for (int i = 1; i < 200; ++i)
        deep += "--b" + QByteArray::number(i - 1) +
                "\r\nContent-Type: multipart/mixed; boundary=b" + QByteArray::number(i) +
                "\r\n\r\n";
    QTest::newRow("multiparts nested 200 deep") << deep << "other" << QStringList{};
}

void TestReturnedMail::oddMails()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, kind);
    QFETCH(QStringList, recipients);
    const bounce::ReturnedMail m = bounce::readReturnedMail(raw, kTemplate);
    QCOMPARE(bounce::kindName(m.kind), kind);
    QCOMPARE(recipientsOf(m), recipients);
}

QTEST_GUILESS_MAIN(TestReturnedMail)
#include "test_returned_mail.moc"
