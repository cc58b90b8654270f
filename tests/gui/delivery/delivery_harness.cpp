#include "delivery_harness.h"

#include "core/platform/text_files.h"
#include "core/transport/nmail.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTest>

namespace delivery_testing {

void writeSettingsFile(const testing_support::TempAppDir& app, const aMain_sMail::SettingsRecord& s)
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

QString headerText(const QByteArray& content, const QByteArray& name)
{
    const qsizetype headEnd = content.indexOf("\r\n\r\n");
    const QList<QByteArray> lines = content.left(headEnd).split('\n');
    QByteArray value;
    bool inHeader = false;
    for (QByteArray line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (inHeader && (line.startsWith(' ') || line.startsWith('\t'))) {
            value += line;
            continue;
        }
        if (inHeader)
            break;
        if (line.toLower().startsWith(name.toLower() + ':')) {
            inHeader = true;
            value = line.mid(name.size() + 1).trimmed();
        }
    }
    // Blanks between two encoded words are dropped; each word decodes on its own.
    static const QRegularExpression word(QStringLiteral("=\\?([^?]+)\\?[Bb]\\?([^?]*)\\?="));
    static const QRegularExpression gap(QStringLiteral("\\?=\\s+=\\?"));
    QString text = QString::fromLatin1(value);
    text.replace(gap, QStringLiteral("?==?"));
    QString out;
    qsizetype pos = 0;
    for (auto it = word.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        out += text.mid(pos, m.capturedStart() - pos);
        QStringDecoder decoder(m.captured(1).toLatin1().constData());
        out += decoder.decode(QByteArray::fromBase64(m.captured(2).toLatin1()));
        pos = m.capturedEnd();
    }
    out += text.mid(pos);
    return out;
}

Harness::Harness(const std::function<void(aMain_sMail::SettingsRecord&)>& tweak)
    : clock(QDateTime(QDate(2026, 12, 6), QTime(1, 56, 16)))
{
    aMain_sMail::ResetProcessState();
    aMain_sMail::SettingsRecord s;
    s.SMTP = smtp.address();
    s.POP3 = pop3.address();
    s.MAIL = kOperator;
    s.USERID = QStringLiteral("user");
    s.IDPAS = QStringLiteral("secret");
    s.SENDLOGPAS = app.file(QStringLiteral("log/send.log"));
    s.ERRLOGPAS = app.file(QStringLiteral("log/error.log"));
    s.SENDSPAN = 10;
    if (tweak)
        tweak(s);
    writeSettingsFile(app, s);
    form = std::make_unique<WriteForm>(app.path());
    form->Form_Load();
    form->show();
}

Harness::~Harness()
{
    if (!form->isUnloaded())
        NMailEndWinSock();
    form.reset();
}

QString Harness::useList(const QByteArray& bytes, const QString& name)
{
    const QString path = app.write(QStringLiteral("csv/") + name, bytes);
    form->ToText->setText(path);
    return path;
}

void Harness::fillMessage()
{
    form->SubjectText->setText(QStringLiteral("Hello"));
    form->txtFrom->setText(QStringLiteral("Taro"));
    form->BodyText->setPlainText(QStringLiteral("本文です。"));
}

QStringList Harness::recipients() const
{
    QStringList out;
    for (const testing_support::SmtpMessage& m : smtp.messages())
        out << QString::fromUtf8(m.recipients.value(0));
    return out;
}

QStringList Harness::subjects() const
{
    QStringList out;
    for (const testing_support::SmtpMessage& m : smtp.messages())
        out << headerText(m.content(), "Subject");
    return out;
}

QStringList Harness::boxTexts()
{
    QStringList out;
    for (const platform::MessageBoxRequest& r : fakes.boxes().shown)
        out << r.text;
    return out;
}

QStringList Harness::boxCaptions()
{
    QStringList out;
    for (const platform::MessageBoxRequest& r : fakes.boxes().shown)
        out << r.caption.value_or(QStringLiteral("<none>"));
    return out;
}

void Harness::checkRefusals(QAbstractButton* button, const std::vector<Refusal>& refusals)
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

QStringList Harness::logLines(const QString& relative) const
{
    QStringList lines = platform::decodeCp932(app.read(relative)).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace delivery_testing
