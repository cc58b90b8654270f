// The intake end to end: mails go out through the private Postfix to a domain where some users
// don't exist, Postfix mails its own delivery reports into the operator's Dovecot mailbox, and
// the intake reads them back over POP3 into the suppression list. Beside them in the mailbox: a
// vacation reply, an unrelated mail and an unsubscribe request, which the deletion must tell
// apart. A strict domain refuses an unknown user during the session instead.
#include "core/bulk/bulk_settings.h"
#include "core/intake/intake.h"
#include "core/journal/journal.h"
#include "core/platform/text_files.h"
#include "core/transport/nmail_transport.h"
#include "fakes.h"
#include "servers_env.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

using testing_support::TempAppDir;

namespace {

const QStringList kKnown = {"user1@bounce.test", "user2@bounce.test"};
const QStringList kUnknown = {"nosuch1@bounce.test", "nosuch2@bounce.test", "nosuch3@bounce.test"};

// Every file in the Maildir's new/ and cur/.
QStringList mailFiles(const QString& maildir)
{
    QStringList files;
    for (const char* sub : {"new", "cur"}) {
        const QDir dir(maildir + QLatin1Char('/') + QLatin1String(sub));
        for (const QString& name : dir.entryList(QDir::Files))
            files << dir.filePath(name);
    }
    return files;
}

QStringList filesHolding(const QString& maildir, const QByteArray& marker)
{
    QStringList found;
    for (const QString& path : mailFiles(maildir))
        if (integration::readAll(path).contains(marker))
            found << path;
    return found;
}

void dropIntoMaildir(const QString& maildir, const QString& name, const QByteArray& mail)
{
    const QString path = maildir + QStringLiteral("/new/") + name;
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(mail) == mail.size());
    file.close();
    // Dovecot's mail processes run as nobody.
    QVERIFY(QProcess::execute(QStringLiteral("chown"), {QStringLiteral("nobody:nogroup"), path}) ==
            0);
}

} // namespace

class TestIntake : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void bouncesAndUnsubscribesIntoTheList();

private:
    integration::ServersEnv m_env;
};

void TestIntake::initTestCase()
{
    QString error;
    QVERIFY2(m_env.load(&error), qPrintable(error));
    if (m_env.value(QStringLiteral("KEZ_POSTFIX_PORT")).isEmpty())
        QFAIL("the servers run without Postfix");
}

void TestIntake::bouncesAndUnsubscribesIntoTheList()
{
    TempAppDir app;
    const QString maildir = m_env.value(QStringLiteral("KEZ_OPERATOR_MAILDIR"));
    // Earlier tests' reports would count as 対象外 here: the box starts empty.
    for (const QString& path : mailFiles(maildir))
        QFile::remove(path);
    // Made by the first delivery otherwise; the mails dropped in below may come first.
    for (const char* sub : {"new", "cur", "tmp"})
        QVERIFY(QDir().mkpath(maildir + QLatin1Char('/') + QLatin1String(sub)));
    QCOMPARE(QProcess::execute(QStringLiteral("chown"),
                               {QStringLiteral("-R"), QStringLiteral("nobody:nogroup"), maildir}),
             0);

    // A hand-kept list in code page 932, which must stay as it is but for the new lines.
    const QByteArray listBefore =
        *platform::encodeCp932(QStringLiteral("# 配信停止\r\nold@example.org\r\n"));
    bulk::BulkSettings options;
    options.suppress = true;
    options.suppressionPath = app.write(QStringLiteral("csv/stop.csv"), listBefore);
    options.unsubscribeMailto = QStringLiteral("mailto:stop@example.jp?subject=stop%20{address}");
    options.intakeDelete = true;

    // The run: a journal row per address, each mail's Message-ID recorded as the window does.
    QString reason;
    std::unique_ptr<journal::Journal> log = journal::Journal::open(app.path(), &reason);
    QVERIFY2(log, qPrintable(reason));
    QList<journal::ListAddress> addresses;
    for (const QString& a : kKnown + kUnknown + QStringList{"nosuch@strict.test"})
        addresses.append({addresses.size() + 1, a});
    journal::RunMessage message;
    message.subject = QStringLiteral("お知らせ");
    const std::optional<qint64> run =
        log->beginRun(message, addresses, QDateTime::currentDateTime(), &reason);
    QVERIFY2(run, qPrintable(reason));

    const QString postfix = m_env.value(QStringLiteral("KEZ_POSTFIX_HOST")) + QLatin1Char(':') +
                            m_env.value(QStringLiteral("KEZ_POSTFIX_PORT"));
    QList<intake::Refusal> refusals;
    {
        transport::NMailTransport transport;
        for (qsizetype seq = 0; seq < addresses.size(); ++seq) {
            transport::MailRequest mail;
            mail.server = postfix;
            mail.to = addresses[seq].address;
            mail.from = QStringLiteral("配信係 <operator@example.jp>");
            mail.subject = QStringLiteral("お知らせ");
            mail.body = QStringLiteral("本文\r\n");
            QVERIFY(log->markSending(*run, seq, QDateTime::currentDateTime(), &reason));
            const transport::SendOutcome outcome = transport.send(mail);
            QVERIFY(!outcome.messageId.isEmpty());
            QVERIFY(log->recordOutcome(
                *run, seq, outcome.ok ? journal::MailState::Sent : journal::MailState::Refused,
                outcome.errorText, QDateTime::currentDateTime(), &reason, outcome.messageId));
            const bool strict = mail.to.endsWith(QLatin1String("strict.test"));
            QVERIFY2(outcome.ok != strict, qPrintable(mail.to + ": " + outcome.errorText));
            if (!outcome.ok)
                refusals.append({mail.to, outcome.replyCode, outcome.errorText});
        }
    }
    log.reset();

    // What a person's mailbox holds beside the reports. None of these may be deleted but the
    // auto-reply and the request; the unrelated one must survive.
    dropIntoMaildir(maildir, QStringLiteral("1.vacation"),
                    "From: user1@bounce.test\r\nTo: operator@example.jp\r\n"
                    "Subject: =?UTF-8?B?5LiN5Zyo44Gu44GK55+l44KJ44Gb?=\r\n"
                    "Auto-Submitted: auto-replied\r\nMessage-ID: <vacation.1@bounce.test>\r\n"
                    "Content-Type: text/plain; charset=UTF-8\r\n\r\n"
                    "\xE5\x87\xBA\xE5\xBC\xB5\xE4\xB8\xAD\xE3\x81\xA7\xE3\x81\x99\xE3\x80\x82\r\n");
    dropIntoMaildir(maildir, QStringLiteral("2.unrelated"),
                    "From: partner@example.org\r\nTo: operator@example.jp\r\n"
                    "Subject: Re: meeting\r\nMessage-ID: <unrelated.1@example.org>\r\n\r\n"
                    "See you on Monday.\r\n");
    // The run's own end notice comes back here too, marked as generated: the operator's mail.
    dropIntoMaildir(maildir, QStringLiteral("0.notice"),
                    "From: operator@example.jp\r\nTo: operator@example.jp\r\n"
                    "Subject: end\r\nAuto-Submitted: auto-generated\r\n"
                    "Message-ID: <notice.1@example.jp>\r\n\r\nDone.\r\n");
    dropIntoMaildir(maildir, QStringLiteral("3.unsubscribe"),
                    "From: user2@bounce.test\r\nTo: stop@example.jp\r\n"
                    "Subject: stop user2@bounce.test\r\nMessage-ID: <unsub.1@bounce.test>\r\n\r\n"
                    "\r\n");

    // Postfix reports the three unknown users within seconds.
    QTRY_COMPARE_WITH_TIMEOUT(filesHolding(maildir, "report-type=delivery-status").size(), 3,
                              60000);
    const QByteArray oneReport =
        integration::readAll(filesHolding(maildir, "report-type=delivery-status").first());

    const intake::Account account{m_env.pop3Server(), m_env.value(QStringLiteral("KEZ_POP3_USER")),
                                  m_env.value(QStringLiteral("KEZ_POP3_PASSWORD")), false,
                                  QStringLiteral("operator@example.jp")};
    intake::Outcome outcome = intake::Run(app.path(), options, account);
    QVERIFY2(outcome.ok, qPrintable(outcome.error));
    QCOMPARE(intake::ResultText(outcome.counts),
             QStringLiteral("取り込み結果：バウンス 3件（配信停止リストに追加 4件）、"
                            "配信停止依頼 1件、対象外 0件"));
    QCOMPARE(outcome.counts.autoReplies, 1);

    // The refusal of the session counts as a hard bounce at the run's end.
    outcome = intake::SuppressRefusals(app.path(), options, refusals);
    QVERIFY2(outcome.ok, qPrintable(outcome.error));
    QCOMPARE(outcome.counts.suppressed, 1);

    // The list: its old bytes untouched, one code page 932 line per address added.
    const QByteArray listAfter = integration::readAll(options.suppressionPath);
    QVERIFY(listAfter.startsWith(listBefore));
    QStringList added =
        platform::decodeCp932(listAfter.mid(listBefore.size())).split(QStringLiteral("\r\n"));
    QCOMPARE(added.takeLast(), QString());
    added.sort();
    QStringList expected = kUnknown + QStringList{"user2@bounce.test", "nosuch@strict.test"};
    expected.sort();
    QCOMPARE(added, expected);
    const QStringList logLines =
        platform::decodeCp932(integration::readAll(intake::AddedLogPath(app.path())))
            .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QCOMPARE(logLines.size(), 5);
    for (const QString& line : logLines)
        QVERIFY2(line.contains(QLatin1String(" 5.1.1")) ||
                     line.contains(QStringLiteral("配信停止依頼 <unsub.1@bounce.test>")),
                 qPrintable(line));

    // Deleted: the reports, the request and the auto-reply. Kept: the unrelated mail and the
    // operator's own notice.
    QTRY_COMPARE_WITH_TIMEOUT(mailFiles(maildir).size(), 2, 10000);
    QVERIFY(!filesHolding(maildir, "<unrelated.1@example.org>").isEmpty());
    QVERIFY(!filesHolding(maildir, "<notice.1@example.jp>").isEmpty());

    // The same report again, as a new mail of the box: read, but counted once.
    dropIntoMaildir(maildir, QStringLiteral("4.again"), oneReport);
    outcome = intake::Run(app.path(), options, account);
    QVERIFY2(outcome.ok, qPrintable(outcome.error));
    QCOMPARE(outcome.counts.bounces, 0);
    QCOMPARE(outcome.counts.suppressed, 0);
    QCOMPARE(integration::readAll(options.suppressionPath), listAfter);
}

QTEST_GUILESS_MAIN(TestIntake)
#include "test_intake.moc"
