#pragma once

// A main window with its settings file, a scripted SMTP and POP3 server, scripted message
// boxes and a fixed clock, for the tests of a delivery run.

#include "fake_pop3_server.h"
#include "fake_smtp_server.h"
#include "fakes.h"
#include "gui_fakes.h"

#include "core/settings/a_main_smail.h"
#include "gui/main_window/write_form.h"

#include <QByteArray>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QAbstractButton;

namespace delivery_testing {

// The stamp every log line gets from the harness's clock.
inline const QString kStamp = QStringLiteral("26/12/06 01:56:16");
inline const QString kOperator = QStringLiteral("op@example.jp");

// Writes ini/kezmail.ini with the fourteen keys of record.
void writeSettingsFile(const testing_support::TempAppDir& app,
                       const aMain_sMail::SettingsRecord& record);

// The decoded value of a header of a received message (RFC 2047 words joined), unfolded.
QString headerText(const QByteArray& content, const QByteArray& name);

class Harness
{
public:
    // The settings start as: SMTP = the fake server, MAIL = kOperator, POP3 = the fake POP3
    // server with its account, SENDSPAN 10 ms, POP3TIME 0, logs off. tweak may change them
    // before the file is written and the window loads.
    explicit Harness(const std::function<void(aMain_sMail::SettingsRecord&)>& tweak = {});
    ~Harness();

    // Writes the list under csv/ and puts its path into ToText.
    QString useList(const QByteArray& bytes, const QString& name = QStringLiteral("list.csv"));
    // Subject "Hello", sender name "Taro", a short body.
    void fillMessage();

    // Envelope recipient of every message the server received, in order.
    QStringList recipients() const;
    QStringList subjects() const;
    QStringList boxTexts();
    QStringList boxCaptions();
    bool ended() { return fakes.processEnd().calls > 0; }
    // The lines of a file below the application folder, split at CR LF.
    QStringList logLines(const QString& relative) const;

    // A start the input checks refuse: what to change first, the message it gives, and the
    // control that gets the focus (nullptr: it stays on cmdCSV, where each attempt starts).
    struct Refusal
    {
        std::function<void()> arrange;
        QString message;
        QWidget* focus;
    };
    // Clicks `button` after each arrangement; each gives exactly one exclamation box with the
    // caption, puts the focus where the check says and leaves the button usable.
    void checkRefusals(QAbstractButton* button, const std::vector<Refusal>& refusals);

    testing_support::ScopedGuiFakes fakes;
    testing_support::ScopedFakeClock clock;
    testing_support::TempAppDir app;
    testing_support::FakeSmtpServer smtp;
    testing_support::FakePop3Server pop3;
    std::unique_ptr<WriteForm> form;
};

} // namespace delivery_testing
