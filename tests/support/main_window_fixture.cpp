#include "main_window_fixture.h"

#include "core/platform/text_files.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

namespace testing_support {

void writeSettingsFile(const TempAppDir& app, const aMain_sMail::SettingsRecord& s)
{
    const QString text = QStringLiteral("EDITPATH=%1\r\nSMTP=%2\r\nPOP3=%3\r\nMAIL=%4\r\n"
                                        "USERID=%5\r\nIDPAS=%6\r\nAPOP=%7\r\nSENDLOG=%8\r\n"
                                        "SENDLOGPAS=%9\r\n")
                             .arg(s.EDITPATH, s.SMTP, s.POP3, s.MAIL, s.USERID, s.IDPAS)
                             .arg(s.APOP)
                             .arg(s.SENDLOG)
                             .arg(s.SENDLOGPAS) +
                         QStringLiteral("ERRLOG=%1\r\nERRLOGMSG=%2\r\nERRLOGPAS=%3\r\n"
                                        "SENDSPAN=%4\r\nPOP3TIME=%5\r\n")
                             .arg(s.ERRLOG)
                             .arg(s.ERRLOGMSG)
                             .arg(s.ERRLOGPAS)
                             .arg(s.SENDSPAN)
                             .arg(s.POP3TIME);
    app.write(QStringLiteral("ini/kezmail.ini"), *platform::encodeCp932(text));
}

QList<preflight::CheckResult> preflightResults(const QString& marks)
{
    QList<preflight::CheckResult> out;
    for (int i = 0; i < marks.size(); ++i) {
        const QChar mark = marks[i];
        const preflight::Verdict verdict = mark == QChar(u'✓')   ? preflight::Verdict::Ok
                                           : mark == QChar(u'⚠') ? preflight::Verdict::Warning
                                                                 : preflight::Verdict::Failed;
        out.append({preflight::CheckId(i), verdict, QStringLiteral("check %1").arg(i + 1),
                    QStringLiteral("detail %1").arg(i + 1)});
    }
    return out;
}

WindowOptions unloadedWindow(const QByteArray& settingsFile)
{
    WindowOptions options;
    options.settingsFile = settingsFile;
    options.load = false;
    return options;
}

MainWindowFixture::MainWindowFixture(WindowOptions options) : clock(options.now)
{
    aMain_sMail::ResetProcessState();
    if (!options.realTransport) {
        transport = std::make_shared<RecordingTransport>();
        m_installed = std::make_unique<ScopedTransport>(transport);
        intakeScript = std::make_shared<IntakeScript>();
        // Called on the transport's thread while the window waits for it.
        m_previousIntake =
            intake::setRunner([script = intakeScript](const QString&, const bulk::BulkSettings&,
                                                      const intake::Account& account) {
                script->calls.append(account);
                return script->outcome;
            });
    }
    // Every window gets it, the ones against the real mail servers too: the tests send no
    // query to a DNS server beyond the machine.
    preflightScript = std::make_shared<PreflightScript>();
    m_previousPreflight =
        preflight::setRunner([script = preflightScript](const preflight::Inputs& inputs,
                                                        std::chrono::milliseconds limit) {
            script->calls.append(inputs);
            script->limits.append(limit);
            if (script->during)
                script->during();
            return script->results;
        });
    if (options.settingsFile) {
        if (!options.settingsFile->isEmpty())
            app.write(QStringLiteral("ini/kezmail.ini"), *options.settingsFile);
    } else {
        aMain_sMail::SettingsRecord s;
        s.SMTP = QStringLiteral("smtp.example.jp");
        s.POP3 = QStringLiteral("pop.example.jp");
        s.MAIL = kOperator;
        s.USERID = QStringLiteral("user");
        s.IDPAS = QStringLiteral("secret");
        s.SENDLOGPAS = app.file(QStringLiteral("log/send.log"));
        s.ERRLOGPAS = app.file(QStringLiteral("log/error.log"));
        s.SENDSPAN = 10;
        if (options.tweak)
            options.tweak(s);
        writeSettingsFile(app, s);
    }
    form = std::make_unique<WriteForm>(app.path());
    if (options.load) {
        form->Form_Load();
        form->show();
    }
}

namespace {

WindowOptions tweaked(std::function<void(aMain_sMail::SettingsRecord&)> tweak)
{
    WindowOptions options;
    options.tweak = std::move(tweak);
    return options;
}

} // namespace

MainWindowFixture::MainWindowFixture(std::function<void(aMain_sMail::SettingsRecord&)> tweak)
    : MainWindowFixture(tweaked(std::move(tweak)))
{
}

MainWindowFixture::~MainWindowFixture()
{
    // The window goes first: its transport thread ends with it, before the transport's
    // installation does.
    form.reset();
    if (m_previousIntake)
        intake::setRunner(*m_previousIntake);
    preflight::setRunner(m_previousPreflight);
}

QString MainWindowFixture::useList(const QByteArray& bytes, const QString& name)
{
    const QString path = app.write(QStringLiteral("csv/") + name, bytes);
    form->ToText->setText(path);
    return path;
}

void MainWindowFixture::fillMessage()
{
    form->SubjectText->setText(QStringLiteral("Hello"));
    form->txtFrom->setText(QStringLiteral("Taro"));
    form->BodyText->setPlainText(QStringLiteral("本文です。"));
}

QStringList MainWindowFixture::recipients() const
{
    return transport ? transport->recipients() : QStringList();
}

QStringList MainWindowFixture::subjects() const
{
    return transport ? transport->subjects() : QStringList();
}

QStringList MainWindowFixture::boxTexts()
{
    QStringList out;
    for (const platform::MessageBoxRequest& r : fakes.boxes().shown)
        out << r.text;
    return out;
}

QStringList MainWindowFixture::boxCaptions()
{
    QStringList out;
    for (const platform::MessageBoxRequest& r : fakes.boxes().shown)
        out << r.caption.value_or(QStringLiteral("<none>"));
    return out;
}

void MainWindowFixture::checkRefusals(QAbstractButton* button, const std::vector<Refusal>& refusals)
{
    for (const Refusal& refusal : refusals) {
        refusal.arrange();
        form->cmdCSV->setFocus();
        fakes.boxes().shown.clear();
        button->click();
        QCOMPARE(boxTexts(), QStringList({refusal.message}));
        QCOMPARE(fakes.boxes().shown.front().icon, platform::MsgIcon::Exclamation);
        QCOMPARE(boxCaptions(), QStringList({QStringLiteral("KEZ-MAILER")}));
        QCOMPARE(form->focusWidget(), refusal.focus ? refusal.focus : form->cmdCSV);
        QVERIFY(button->isEnabled());
    }
}

QStringList MainWindowFixture::logLines(const QString& relative) const
{
    QStringList lines = platform::decodeCp932(app.read(relative)).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace testing_support
