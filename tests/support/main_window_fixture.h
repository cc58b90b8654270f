#pragma once

// The one way the GUI tests build a main window: a fresh application folder with its settings
// file, the GUI fakes (message boxes, file dialogs, process end), a fake clock, and a transport
// that records what it is asked (or, for the tests against the real servers, the real one).
//
//   testing_support::MainWindowFixture h([](aMain_sMail::SettingsRecord& s) { s.SENDLOG = 1; });
//   h.fillMessage();
//   h.useList("a@example.jp\r\nb@example.jp");
//   h.form->SendCommand->click();
//   QTRY_VERIFY(h.ended());
//   QCOMPARE(h.transport->recipients(), ...);

#include "fakes.h"
#include "gui_fakes.h"
#include "recording_transport.h"

#include "core/preflight/preflight.h"
#include "core/settings/a_main_smail.h"
#include "gui/main_window/write_form.h"

#include <QByteArray>
#include <QDateTime>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QAbstractButton;

namespace testing_support {

// The stamp every log line gets from the fixture's clock, and the operator's own address.
inline const QString kStamp = QStringLiteral("26/12/06 01:56:16");
inline const QString kOperator = QStringLiteral("op@example.jp");
// The question 中　止 asks while a run is on.
inline const QString kCancelQuestion = QStringLiteral("配信を中止しますか？");
// How long a test waits for a run of a few mails to end.
inline constexpr int kRunTimeout = 15000;

struct WindowOptions
{
    // The settings start as: SMTP smtp.example.jp, POP3 pop.example.jp with user "user" and
    // password "secret", MAIL = kOperator, SENDSPAN 10 ms, POP3TIME 0, logs off with paths
    // under log/. tweak may change them before the file is written.
    std::function<void(aMain_sMail::SettingsRecord&)> tweak;
    // When set, ini/kezmail.ini holds exactly these bytes instead (empty: there is no file).
    std::optional<QByteArray> settingsFile;
    // Run the load sequence and show the window; off for the tests of the load itself.
    bool load = true;
    QDateTime now = QDateTime(QDate(2026, 12, 6), QTime(1, 56, 16));
    // The real transport, for runs against the real servers; else a RecordingTransport.
    bool realTransport = false;
};

// A window that has not loaded yet, over an application folder whose settings file holds these
// bytes (empty: there is no file): for the tests of the load itself and of single controls.
WindowOptions unloadedWindow(const QByteArray& settingsFile = QByteArray());

// Results of the six checks, in their order, from their marks: "✓✓⚠✓✓✗". Each title and
// detail names its place ("check 1", "detail 1"), so a test can tell the rows apart.
QList<preflight::CheckResult> preflightResults(const QString& marks);

// Writes ini/kezmail.ini with the fourteen keys of record, as the settings dialog does.
void writeSettingsFile(const TempAppDir& app, const aMain_sMail::SettingsRecord& record);

class MainWindowFixture
{
public:
    explicit MainWindowFixture(WindowOptions options = {});
    // The default options with the settings changed by tweak.
    explicit MainWindowFixture(std::function<void(aMain_sMail::SettingsRecord&)> tweak);
    ~MainWindowFixture();
    MainWindowFixture(const MainWindowFixture&) = delete;
    MainWindowFixture& operator=(const MainWindowFixture&) = delete;

    // Writes the list under csv/ and puts its path into ToText.
    QString useList(const QByteArray& bytes, const QString& name = QStringLiteral("list.csv"));
    // Subject "Hello", sender name "Taro", a short body.
    void fillMessage();

    // What the recording transport was asked to send, in order.
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

    ScopedGuiFakes fakes;
    ScopedFakeClock clock;
    TempAppDir app;
    // Null with the real transport.
    std::shared_ptr<RecordingTransport> transport;
    // With the recording transport, the intake of returned mail reads no mailbox either: it
    // answers with intakeOutcome (by default: read, nothing found) and counts its calls.
    struct IntakeScript
    {
        intake::Outcome outcome{true, false, {}, {}};
        QList<intake::Account> calls;
    };
    std::shared_ptr<IntakeScript> intakeScript;
    // The checks before a run ask no DNS server either: they answer with results (by default
    // every check passed), record what they were given, and run `during` while "running".
    struct PreflightScript
    {
        QList<preflight::CheckResult> results = preflightResults(QStringLiteral("✓✓✓✓✓✓"));
        QList<preflight::Inputs> calls;
        QList<std::chrono::milliseconds> limits;
        std::function<void()> during;
    };
    std::shared_ptr<PreflightScript> preflightScript;
    std::unique_ptr<WriteForm> form;

private:
    std::unique_ptr<ScopedTransport> m_installed;
    std::optional<intake::Runner> m_previousIntake;
    preflight::Runner m_previousPreflight;
};

} // namespace testing_support
