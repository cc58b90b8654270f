#pragma once

#include "core/bulk/bulk_settings.h"
#include "core/settings/a_main_smail.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// The intake of returned mail (バウンス・配信停止の取り込み): the operator's mailbox is read over
// POP3, delivery reports and bounces are matched to the mails the journal knows, and the
// addresses that are gone for good, or whose owners asked to be left out, are added to the
// suppression list. It runs from its menu item and before every run.
namespace intake {

// The POP3 account the intake reads.
struct Account
{
    QString server; // as the POP3 setting is written: "host[:port]", "pop3s://..."
    QString user;
    QString password;
    bool apop = false;
    // The operator's own address (the settings' MAIL): the start and end notices come back to
    // this mailbox marked as generated, and are the operator's, not auto-replies to delete.
    QString ownAddress;
    // The name the mails already read are remembered under: user and server, so that another
    // account's UIDLs never hide a mail.
    QString key() const { return user + QLatin1Char('@') + server; }
};

// The account of the delivery options when they name a server, else the settings' POP3
// account; nullopt when neither has a server: the intake is off.
std::optional<Account> AccountFor(const bulk::BulkSettings& options,
                                  const aMain_sMail::SettingsRecord& settings);

struct Counts
{
    int bounces = 0;      // failed recipients of reports and bounces matched to a mail sent
    int suppressed = 0;   // addresses added to the suppression list by them
    int unsubscribes = 0; // unsubscribe requests
    int unrelated = 0;    // failed recipients this program never mailed (対象外)
    int autoReplies = 0;
    int deleted = 0;
};

// "取り込み結果：バウンス n件（配信停止リストに追加 h件）、配信停止依頼 u件、対象外 x件"
QString ResultText(const Counts& counts);

struct Outcome
{
    bool ok = false;
    // The POP3 login itself failed (as the POP before SMTP login does, it stops a run's start).
    bool loginFailed = false;
    QString error; // names the server or the file, and the reason
    Counts counts; // what was done before any failure, too
};

// appDir/log/suppression_added.log: "yy/mm/dd hh:nn:ss,address,reason" in code page 932, as the
// other logs are written.
QString AddedLogPath(const QString& appDir);

// Reads the account's mails not read before and acts on them. Blocks; runs on a worker thread.
// The options must be ones a run would accept (suppression on, its list readable). Every
// address added to the list is on disk, with its log line, before its mail is remembered as
// read, and a mail is deleted (with the option) only after that: a failure half-way leaves the
// rest for the next intake.
Outcome Run(const QString& appDir, const bulk::BulkSettings& options, const Account& account);

// What the window calls: Run, or what a test put in its place (the window's tests have no
// mailbox to read). setRunner returns the one it replaces; nullptr puts Run back.
using Runner = std::function<Outcome(const QString& appDir, const bulk::BulkSettings& options,
                                     const Account& account)>;
Runner setRunner(Runner runner);
Outcome Read(const QString& appDir, const bulk::BulkSettings& options, const Account& account);

// A refusal during the SMTP session of a run, as the run saw it.
struct Refusal
{
    QString address;
    int replyCode = 0;
    QString replyText;
};

// The refusals of a run that are hard bounces (550 5.1.1 and the like) go to the suppression
// list as a bounce report would; the rest are left alone. The counts' suppressed says how many
// were added.
Outcome SuppressRefusals(const QString& appDir, const bulk::BulkSettings& options,
                         const QList<Refusal>& refusals);

} // namespace intake
