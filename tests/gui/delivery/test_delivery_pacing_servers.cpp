// The pace per destination domain against the real SMTP sink of scripts/servers, through the
// real transport and on the real clock: the times the sink took each mail in (its own record)
// keep a paced domain's gap, while the other domains are not slowed.
#include "bulk_test_tools.h"
#include "core/platform/clock.h"
#include "main_window_fixture.h"
#include "modal_dialogs.h"
#include "servers_env.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QTest>

using Harness = testing_support::MainWindowFixture;
using testing_support::kOperator;

class TestDeliveryPacingServers : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void sinkSeesThePacedDomainsGap()
    {
        integration::ServersEnv env;
        QString errorText;
        if (!env.load(&errorText))
            QFAIL(qPrintable(errorText));
        const QString store = env.value("KEZ_SMTP_STORE");
        const QStringList before = integration::filesIn(store, "*.json");

        testing_support::WindowOptions options;
        options.realTransport = true;
        const QString server = env.smtpServer();
        options.tweak = [server](aMain_sMail::SettingsRecord& s) {
            s.SMTP = server;
            s.SENDSPAN = 100;
        };
        Harness h(options);
        // The fixture's clock stands still; this run waits on the real one, put in while no
        // mail is on its way and put back before the fixture ends.
        std::unique_ptr<platform::Clock> fixtureClock = platform::setClock(nullptr);
        const auto restore = qScopeGuard([&] { platform::setClock(std::move(fixtureClock)); });

        h.app.write(QStringLiteral("ini/bulk.ini"),
                    bulk_testing::completeBulkIni() + "PACING=docomo.ne.jp,2,0\r\n");
        h.fillMessage();
        h.useList("d1@docomo.ne.jp\r\na@example.jp\r\nd2@docomo.ne.jp\r\nb@example.jp\r\n"
                  "d3@docomo.ne.jp\r\nc@example.jp\r\n");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), 20000);

        QStringList stored = integration::filesIn(store, "*.json");
        for (const QString& name : before)
            stored.removeOne(name);
        QStringList to;
        QHash<QString, double> at;
        for (const QString& name : stored) {
            const QJsonObject meta =
                QJsonDocument::fromJson(integration::readAll(store + "/" + name)).object();
            const QString rcpt = meta.value("rcpt_tos").toArray().first().toString();
            QVERIFY2(meta.contains("received_unix"), qPrintable(name));
            to << rcpt;
            at.insert(rcpt, meta.value("received_unix").toDouble());
        }
        QCOMPARE(to, QStringList({kOperator, "d1@docomo.ne.jp", "a@example.jp", "b@example.jp",
                                  "c@example.jp", "d2@docomo.ne.jp", "d3@docomo.ne.jp",
                                  kOperator}));
        const double d1 = at.value("d1@docomo.ne.jp");
        const double d2 = at.value("d2@docomo.ne.jp");
        const double d3 = at.value("d3@docomo.ne.jp");
        QVERIFY2(d2 - d1 >= 2.0 && d3 - d2 >= 2.0,
                 qPrintable(QString("docomo at %1, %2, %3").arg(d1, 0, 'f', 3).arg(d2).arg(d3)));
        // The other domains went on at the interval meanwhile, well within docomo's gap.
        QVERIFY2(at.value("c@example.jp") - d1 < 2.0,
                 qPrintable(QString("d1 %1, c %2").arg(d1, 0, 'f', 3).arg(at.value("c@example.jp"))));
        // Nor is docomo held longer than its gap needs.
        QVERIFY2(d3 - d1 < 8.0, qPrintable(QString::number(d3 - d1)));
    }
};

QTEST_MAIN(TestDeliveryPacingServers)
#include "test_delivery_pacing_servers.moc"
