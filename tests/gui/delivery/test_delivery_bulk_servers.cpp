// A run with the delivery options against the real SMTP sink of scripts/servers, through the
// real transport: the sink must not receive the suppressed and repeated addresses, the error
// log must name them, and every mail it stored is read back by Python's email package and
// verified by dkimpy (tests/integration/bulk_mail.py). The sink's times of receipt show the
// pace per destination domain.
#include "bulk_test_tools.h"
#include "core/bulk/dkim_signer.h"
#include "core/platform/clock.h"
#include "main_window_fixture.h"
#include "modal_dialogs.h"
#include "servers_env.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using Harness = testing_support::MainWindowFixture;
using bulk_testing::kAlreadySent;
using bulk_testing::kSuppressed;
using bulk_testing::strings;
using testing_support::kOperator;
using testing_support::kStamp;

namespace {

// A window that sends through the real SMTP sink, with both logs on.
testing_support::WindowOptions sinkWindow(const integration::ServersEnv& env)
{
    testing_support::WindowOptions options;
    options.realTransport = true;
    const QString server = env.smtpServer();
    options.tweak = [server](aMain_sMail::SettingsRecord& s) {
        s.SMTP = server;
        // No mailbox to read: the intake of returned mail is off, as for an operator without a
        // POP3 server (its own tests read the real one).
        s.POP3.clear();
        s.SENDLOG = 1;
        s.ERRLOG = 1;
    };
    return options;
}

// The mails the sink stored since `before` was listed, by their metadata files.
QStringList storedSince(const QString& store, const QStringList& before)
{
    QStringList stored = integration::filesIn(store, "*.json");
    for (const QString& name : before)
        stored.removeOne(name);
    return stored;
}

} // namespace

class TestDeliveryBulkServers : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void suppressedAndRepeatedAddressesNeverReachTheServer()
    {
        integration::ServersEnv env;
        QString errorText;
        if (!env.load(&errorText))
            QFAIL(qPrintable(errorText));
        const QString store = env.value("KEZ_SMTP_STORE");
        const QStringList before = integration::filesIn(store, "*.json");
        QTemporaryDir keys;
        const QString key = bulk_testing::makeKey(keys.path(), "rsa:2048");
        QVERIFY(!key.isEmpty());

        Harness h(sinkWindow(env));
        // Listed as the operator typed them: neither the domain's case nor the local part's
        // matters ("user4" is listed, so "User4" is not sent either).
        const QString stopList = h.app.write(
            "csv/stop.csv", "user3@example.jp\r\nuser4@example.jp\r\nuser5@example.jp\r\n"
                            "user8@Example.Jp\r\n");
        h.app.write("ini/bulk.ini",
                    bulk_testing::completeBulkIni(
                        "UNSUBMAILTO=mailto:stop@example.jp?subject=stop%20{address}\r\n"
                        "UNSUBURL=https://example.jp/stop?a={address}\r\n"
                        "SUPPRESS=1\r\nSUPPRESSPATH=" +
                        stopList.toUtf8() +
                        "\r\nDKIM=1\r\nDKIMDOMAIN=example.jp\r\nDKIMSELECTOR=kez2025\r\n"
                        "DKIMKEY=" +
                        key.toUtf8()));
        h.fillMessage();
        h.useList("user1@example.jp\r\nuser2@example.jp\r\nuser3@example.jp\r\n"
                  "User4@example.jp\r\nuser5@EXAMPLE.JP\r\nuser6@example.jp\r\n"
                  "reject7@example.jp\r\nuser8@example.jp\r\nuser9@example.jp\r\n"
                  "user1@Example.JP\r\nreject7@example.jp\r\nuser10@example.jp\r\n"
                  "user2@example.jp\r\n");
        h.form->cmdTestSend->click();
        QCOMPARE(h.boxTexts(), QStringList({"テスト配信が正常に行われました。"}));
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), 60000);

        // Two refusals by the server; the six skipped lines count nowhere.
        QCOMPARE(h.form->lblSndRec->text(), QString("7"));
        QCOMPARE(h.form->lblErrCnt->text(), QString("2"));
        QCOMPARE(h.boxTexts().last(),
                 QString("送信が完了しました。\n送信件数：7　配信エラー件数：2"));
        const QStringList delivered = {"user1@example.jp", "user2@example.jp", "user6@example.jp",
                                       "user9@example.jp", "user10@example.jp"};
        QStringList sendLines;
        for (const QString& address : delivered)
            sendLines << address + "," + kStamp;
        QCOMPARE(h.logLines("log/send.log"), sendLines);
        const QStringList errors = h.logLines("log/error.log");
        QCOMPARE(errors.size(), 8);
        QCOMPARE(errors.at(0), kSuppressed + ",user3@example.jp," + kStamp);
        QCOMPARE(errors.at(1), kSuppressed + ",User4@example.jp," + kStamp);
        QCOMPARE(errors.at(2), kSuppressed + ",user5@EXAMPLE.JP," + kStamp);
        QVERIFY2(errors.at(3).contains("550") &&
                     errors.at(3).endsWith(",reject7@example.jp," + kStamp),
                 qPrintable(errors.at(3)));
        QCOMPARE(errors.at(4), kSuppressed + ",user8@example.jp," + kStamp);
        QCOMPARE(errors.at(5), kAlreadySent + ",user1@Example.JP," + kStamp);
        // A refused address went nowhere, so its second line is tried again.
        QVERIFY2(errors.at(6).contains("550") &&
                     errors.at(6).endsWith(",reject7@example.jp," + kStamp),
                 qPrintable(errors.at(6)));
        QCOMPARE(errors.at(7), kAlreadySent + ",user2@example.jp," + kStamp);

        // What the server stored, in order: the test mail, the start notice, six mails, the end
        // notice.
        QStringList stored = storedSince(store, before);
        QStringList recipients;
        QStringList emls;
        for (const QString& name : stored) {
            const QString path = QDir(store).filePath(name);
            const QJsonObject meta = QJsonDocument::fromJson(integration::readAll(path)).object();
            recipients << meta.value("rcpt_tos").toArray().at(0).toString();
            emls << path.chopped(5) + ".eml";
        }
        const QStringList expected =
            QStringList{kOperator, kOperator} + delivered + QStringList{kOperator};
        QCOMPARE(recipients, expected);

        // Read back: each delivery mail (and the test mail) offers the unsubscribe of its own
        // recipient; the notices carry none and say they were generated.
        for (int i = 0; i < emls.size(); ++i) {
            const QJsonObject mail = bulk_testing::mailScript({"headers", emls.at(i)});
            const QByteArray dump = QJsonDocument(mail).toJson();
            QVERIFY2(mail.value("defects").toArray().isEmpty(), dump.constData());
            const bool notice = i == 1 || i == emls.size() - 1;
            if (notice) {
                QVERIFY2(mail.value("list_unsubscribe").isNull(), dump.constData());
                QVERIFY2(mail.value("precedence").isNull(), dump.constData());
                QCOMPARE(strings(mail.value("auto_submitted")), QStringList{"auto-generated"});
                continue;
            }
            const QJsonArray uris = mail.value("uris").toArray();
            QCOMPARE(uris.size(), 2);
            QVERIFY2(strings(uris.at(0).toObject().value("query").toObject().value("a")) ==
                         QStringList{recipients.at(i)},
                     dump.constData());
            QVERIFY2(strings(uris.at(1).toObject().value("query").toObject().value("subject")) ==
                         QStringList{"stop " + recipients.at(i)},
                     dump.constData());
            QCOMPARE(strings(mail.value("list_unsubscribe_post")),
                     QStringList{"List-Unsubscribe=One-Click"});
            QCOMPARE(strings(mail.value("precedence")), QStringList{"bulk"});
            QVERIFY2(mail.value("auto_submitted").isNull(), dump.constData());
        }

        // Every stored mail verifies against the record the dialog tells the operator to
        // publish.
        QString error;
        const std::optional<bulk::DkimKey> dkimKey = bulk::ReadDkimKey(key, &error);
        QVERIFY2(dkimKey, qPrintable(error));
        const QString record = bulk::DnsRecordValue(*dkimKey);
        const QString name = bulk::DnsRecordName("kez2025", "example.jp");
        for (const QString& eml : emls) {
            const QJsonObject result = bulk_testing::mailScript({"dkim", eml, record, name});
            QVERIFY2(result.value("verified").toBool(), QJsonDocument(result).toJson().constData());
        }
    }

    // The list as the run reads it: a list it cannot read stops the start with a box and
    // nothing reaches the sink; a UTF-16 list (Notepad's "Unicode") is read, in any case.
    void suppressionListFormats_data()
    {
        QTest::addColumn<QByteArray>("stopList"); // "FIFO": a named pipe instead
        QTest::addColumn<QString>("refusal");     // part of the reason; empty: the run goes on
        QByteArray random(2048, Qt::Uninitialized);
        QRandomGenerator generator(4242);
        for (char& c : random)
            c = char(generator.bounded(1, 256));
        QTest::newRow("random bytes") << random << "文字コードが分かりません";
        QTest::newRow("NUL bytes") << QByteArray("u\0s\0e\0r\0002\0@\0x\0.\0j\0p\0", 20) << "NUL";
        QTest::newRow("no line looks like an address")
            << QByteArray("name,mail\r\nTaro,none\r\n") << "メールアドレスの行がありません";
        QTest::newRow("FIFO") << QByteArray("FIFO") << "FIFO";
        QByteArray utf16("\xFF\xFE");
        for (const QChar c : QStringLiteral("# 停止\r\nUser2@Example.JP\r\nUSER4@example.jp\r\n")) {
            utf16.append(char(c.unicode() & 0xFF));
            utf16.append(char(c.unicode() >> 8));
        }
        QTest::newRow("UTF-16 with its mark, mixed case") << utf16 << QString();
    }

    void suppressionListFormats()
    {
        QFETCH(QByteArray, stopList);
        QFETCH(QString, refusal);
        integration::ServersEnv env;
        QString errorText;
        if (!env.load(&errorText))
            QFAIL(qPrintable(errorText));
        const QString store = env.value("KEZ_SMTP_STORE");
        const QStringList before = integration::filesIn(store, "*.json");

        Harness h(sinkWindow(env));
        h.fillMessage();
        h.useList("user1@example.jp\r\nuser2@example.jp\r\nuser3@example.jp\r\n"
                  "user4@example.jp\r\nuser5@example.jp\r\n");
        QString path = h.app.file("csv/stop.csv");
        if (stopList == "FIFO")
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        else
            path = h.app.write("csv/stop.csv", stopList);
        h.app.write("ini/bulk.ini",
                    bulk_testing::completeBulkIni("SUPPRESS=1\r\nSUPPRESSPATH=" + path.toUtf8()));

        h.form->SendCommand->click();
        QStringList stored;
        if (!refusal.isEmpty()) {
            QCOMPARE(h.boxTexts().size(), 1);
            const QStringList lines = h.boxTexts().first().split('\n');
            QCOMPARE(lines.value(0), QString("配信停止リストを読み込めませんでした。"));
            QCOMPARE(lines.value(1), QDir::toNativeSeparators(path));
            QVERIFY2(lines.value(2).contains(refusal), qPrintable(h.boxTexts().first()));
            QVERIFY(!h.form->run.started);
            QVERIFY(!h.ended());
            QCOMPARE(h.logLines("log/send.log"), QStringList());
            stored = storedSince(store, before);
            QCOMPARE(stored, QStringList());
            return;
        }
        QTRY_VERIFY2_WITH_TIMEOUT(h.ended(), qPrintable(h.boxTexts().join(" / ")), 60000);
        const QStringList delivered = {"user1@example.jp", "user3@example.jp", "user5@example.jp"};
        QStringList sendLines;
        for (const QString& address : delivered)
            sendLines << address + "," + kStamp;
        QCOMPARE(h.logLines("log/send.log"), sendLines);
        QCOMPARE(h.logLines("log/error.log"),
                 QStringList({kSuppressed + ",user2@example.jp," + kStamp,
                              kSuppressed + ",user4@example.jp," + kStamp}));
        // What the sink stored: the start notice, the three mails, the end notice.
        stored = storedSince(store, before);
        QStringList recipients;
        for (const QString& name : stored) {
            const QString meta = QDir(store).filePath(name);
            recipients << QJsonDocument::fromJson(integration::readAll(meta))
                              .object()
                              .value("rcpt_tos")
                              .toArray()
                              .at(0)
                              .toString();
        }
        QCOMPARE(recipients, QStringList{kOperator} + delivered + QStringList{kOperator});
    }

    void damagedBulkIniSendsNothing_data()
    {
        QTest::addColumn<QByteArray>("content"); // "@DIR@": a folder in its place
        const QByteArray good = bulk_testing::completeBulkIni(
            "SUPPRESS=1\nSUPPRESSPATH=/nonexistent/stop.csv\nDKIM=1\nDKIMDOMAIN=example.jp\n"
            "DKIMSELECTOR=kez\nDKIMKEY=/nonexistent/dkim.pem\n");
        auto with = [&good](const char* from, const QByteArray& to) {
            return QByteArray(good).replace(from, to);
        };
        QTest::newRow("a stray byte") << with("DKIMSELECTOR=kez", "DKIMSELECTOR=k\xffz");
        QTest::newRow("a Shift_JIS line")
            << with("SUPPRESSPATH=/nonexistent/stop.csv", "SUPPRESSPATH=\x94\x7A\x90\x4D.csv");
        QTest::newRow("truncated") << good.left(good.indexOf("SUPPRESS=1") + 8);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("an unknown key") << good + "SUPRESS=0\r\n";
        QTest::newRow("SUPPRESS=yes") << with("SUPPRESS=1", "SUPPRESS=yes");
        QTest::newRow("a folder") << QByteArray("@DIR@");
    }

    // Neither 送信 nor テスト送信 sends anything while bulk.ini cannot be read whole: the sink
    // stores nothing and no address is logged as sent. The same window then sends a test mail
    // once the file is mended, so the sink was there to store what would have gone.
    void damagedBulkIniSendsNothing()
    {
        QFETCH(QByteArray, content);
        integration::ServersEnv env;
        QString errorText;
        if (!env.load(&errorText))
            QFAIL(qPrintable(errorText));
        const QString store = env.value("KEZ_SMTP_STORE");
        const QStringList before = integration::filesIn(store, "*");

        Harness h(sinkWindow(env));
        const QString ini = h.app.file("ini/bulk.ini");
        if (content == "@DIR@")
            QVERIFY(QDir().mkpath(ini));
        else
            h.app.write("ini/bulk.ini", content);
        h.fillMessage();
        h.useList("user1@example.jp\r\nuser1@example.jp\r\nuser2@example.jp\r\n");

        for (QAbstractButton* button : {static_cast<QAbstractButton*>(h.form->SendCommand),
                                        static_cast<QAbstractButton*>(h.form->cmdTestSend)}) {
            h.fakes.boxes().shown.clear();
            button->click();
            QCOMPARE(h.boxTexts().size(), 1);
            const QStringList lines = h.boxTexts().first().split('\n');
            QCOMPARE(lines.first(), QString("配信オプションのファイルを読み込めませんでした。"));
            QCOMPARE(lines.at(1), QDir::toNativeSeparators(ini));
            QCOMPARE(lines.last(),
                     QString("メニューの「設定」→「配信オプション」で内容を確かめて下さい。"));
            QCOMPARE(h.fakes.boxes().shown.front().icon, platform::MsgIcon::Exclamation);
            QVERIFY(!h.form->run.started);
        }
        QCOMPARE(integration::filesIn(store, "*"), before);
        QVERIFY(h.logLines("log/send.log").isEmpty());
        QVERIFY(h.logLines("log/error.log").isEmpty());

        // Mended: the test mail goes out, and it is the only thing the sink got.
        if (content == "@DIR@")
            QVERIFY(QDir(ini).removeRecursively());
        h.app.write("ini/bulk.ini", bulk_testing::completeBulkIni());
        h.fakes.boxes().shown.clear();
        h.form->cmdTestSend->click();
        QCOMPARE(h.boxTexts(), QStringList({"テスト配信が正常に行われました。"}));
        QStringList added = storedSince(store, before);
        QCOMPARE(added.size(), 1);
        const QJsonObject meta =
            QJsonDocument::fromJson(integration::readAll(QDir(store).filePath(added.first())))
                .object();
        QCOMPARE(meta.value("rcpt_tos").toArray(), QJsonArray({kOperator}));
    }

    // The pace per destination domain on the real clock, timed by the sink's own record.
    void sinkSeesThePacedDomainsGap()
    {
        integration::ServersEnv env;
        QString errorText;
        if (!env.load(&errorText))
            QFAIL(qPrintable(errorText));
        const QString store = env.value("KEZ_SMTP_STORE");
        const QStringList before = integration::filesIn(store, "*.json");
        testing_support::WindowOptions options = sinkWindow(env);
        options.tweak = [server = env.smtpServer()](aMain_sMail::SettingsRecord& s) {
            s.SMTP = server;
            s.SENDSPAN = 100;
        };
        Harness h(options);
        // The fixture's clock stands still: the real one, while no mail is on its way.
        std::unique_ptr<platform::Clock> fixtureClock = platform::setClock(nullptr);
        const auto restore = qScopeGuard([&] { platform::setClock(std::move(fixtureClock)); });
        h.app.write("ini/bulk.ini",
                    bulk_testing::completeBulkIni() + "PACING=docomo.ne.jp,2,0\r\n");
        h.fillMessage();
        h.useList("d1@docomo.ne.jp\r\na@example.jp\r\nd2@docomo.ne.jp\r\nb@example.jp\r\n"
                  "d3@docomo.ne.jp\r\nc@example.jp\r\n");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), 20000);

        QStringList to;
        QHash<QString, double> at;
        for (const QString& name : storedSince(store, before)) {
            const QJsonObject meta =
                QJsonDocument::fromJson(integration::readAll(QDir(store).filePath(name))).object();
            to << meta.value("rcpt_tos").toArray().first().toString();
            at.insert(to.last(), meta.value("received_unix").toDouble(-1));
        }
        QCOMPARE(to,
                 QStringList({kOperator, "d1@docomo.ne.jp", "a@example.jp", "b@example.jp",
                              "c@example.jp", "d2@docomo.ne.jp", "d3@docomo.ne.jp", kOperator}));
        const double d1 = at["d1@docomo.ne.jp"], d2 = at["d2@docomo.ne.jp"],
                     d3 = at["d3@docomo.ne.jp"];
        const QString times = QString("d1 %1, d2 +%2, d3 +%3, c +%4")
                                  .arg(d1, 0, 'f', 3)
                                  .arg(d2 - d1)
                                  .arg(d3 - d1)
                                  .arg(at["c@example.jp"] - d1);
        // The gap held, no longer than it needs, while the other domains went on meanwhile.
        QVERIFY2(d1 > 0 && d2 - d1 >= 2.0 && d3 - d2 >= 2.0 && d3 - d1 < 8.0, qPrintable(times));
        QVERIFY2(at["c@example.jp"] - d1 < 2.0, qPrintable(times));
    }
};

QTEST_MAIN(TestDeliveryBulkServers)
#include "test_delivery_bulk_servers.moc"
