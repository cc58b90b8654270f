#pragma once

#include "core/pacing/pace_rule.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The delivery options of bulk senders (配信オプション): unsubscribe headers, bulk headers, the
// suppression list and DKIM signing. They live in ini/bulk.ini, apart from the fourteen-line
// settings file, whose save would drop keys it does not know.
namespace bulk {

inline constexpr int kDefaultJournalDays = 180;
inline constexpr int kMaxJournalDays = 36500;
inline constexpr int kDefaultSoftBounceLimit = 3;
// One soft bounce never suppresses an address: a mailbox that is full today is read tomorrow.
inline constexpr int kMinSoftBounceLimit = 2;
inline constexpr int kMaxSoftBounceLimit = 99;

struct BulkSettings
{
    // Templates of the unsubscribe addresses; "{address}" stands for the recipient. Empty =
    // not used.
    QString unsubscribeMailto;   // UNSUBMAILTO, "mailto:..."
    QString unsubscribeUrl;      // UNSUBURL, "https://..."
    bool precedenceBulk = false; // PRECEDENCE: "Precedence: bulk" on delivery and test mails
    bool autoSubmitted = false;  // AUTOSUBMITTED: "Auto-Submitted: auto-generated" on notices
    // ONCEPERRUN: one mail per address per run. On unless the operator switched it off: a
    // repeated list line must not send a person the same mail twice.
    bool oncePerRun = true;
    bool suppress = false;   // SUPPRESS: skip the addresses of the suppression list
    QString suppressionPath; // SUPPRESSPATH
    bool dkim = false;       // DKIM: sign every mail
    QString dkimDomain;      // DKIMDOMAIN, d=
    QString dkimSelector;    // DKIMSELECTOR, s=
    QString dkimKeyPath;     // DKIMKEY, PEM private key
    // JOURNALDAYS: runs of the delivery journal older than this many days are dropped at the
    // start of a run. Files written before the key existed lack it and mean the default.
    int journalDays = kDefaultJournalDays;
    // PACING: the per-domain gaps and hourly budgets of a run ("docomo.ne.jp,3,600;..."). Files
    // written before the key existed lack it and mean no rules: the run goes as before.
    QList<pacing::PaceRule> paceRules;

    // The intake of bounces and unsubscribe requests. The POP3 account it reads: INTAKEPOP,
    // INTAKEUSER and INTAKEPAS (the password in plain text, like the settings file's, in a file
    // only its owner reads); an empty server means the settings' POP3 account.
    QString intakeServer;
    QString intakeUser;
    QString intakePassword;
    // INTAKEDELETE: delete the bounces, unsubscribe requests and auto-replies read. Any other
    // mail stays whatever this says.
    bool intakeDelete = false;
    // SOFTLIMIT: soft bounces in a row, across runs, that suppress an address.
    int softBounceLimit = kDefaultSoftBounceLimit;
    // FOOTER: what advertising mail must show (sender, postal address, contact, how to opt out),
    // added after the body of delivery and test mails; "{address}", "{unsubscribe_url}" and
    // "{unsubscribe_mailto}" are filled per recipient. Empty = the bodies as typed.
    QString footer;
    // PREFLIGHTDNS: the DNS server the checks before a run ask, as an IP address; empty = the
    // computer's own resolver. For an office whose resolver answers the inside view of the
    // sender's domain rather than what receivers see.
    QString preflightDns;

    bool operator==(const BulkSettings&) const = default;
};

// What the dialog proposes for a key it has no value for: the bulk headers and the one mail
// per address are on, everything that needs a value of the operator's is off. A missing file
// means BulkSettings{}: only the one mail per address is on, so mails stay as they were.
BulkSettings DialogDefaults();

// appDir + "/ini/bulk.ini".
QString BulkFilePath(const QString& appDir);

enum class BulkFileState { Loaded, Missing, Unreadable };

struct LoadedBulkSettings
{
    // Loaded: the file's values. Missing: BulkSettings{}. Unreadable: what could be read,
    // line by line, over DialogDefaults(); for the dialog to show, never for a run.
    BulkSettings settings;
    BulkFileState state = BulkFileState::Missing;
    QStringList problems; // why the file is Unreadable, one line each, in file order
    QString reason;       // the problems as the message shows them
};

// Reads bulk.ini as the program writes it, and nothing else: UTF-8 (a byte-order mark is
// allowed), one KEY=value line for each key, every line ending in CR LF or LF; blank lines are
// passed over. A switch is 0 or 1. A file that cannot be opened, a bad byte, an unknown or
// repeated key, a switch of another value, a control character in a value, a last line without
// its line end, a bad PACING rule, a FOOTER with a broken escape, a PREFLIGHTDNS that is no IP
// address or a missing key (JOURNALDAYS, PACING, FOOTER and PREFLIGHTDNS, added later, may be
// missing) make it Unreadable: the options protect recipients, so a file read in part must never
// count as options switched off.
LoadedBulkSettings LoadBulkSettings(const QString& appDir);

// The message for a file that exists but could not be read, naming it and the reason and
// where to mend it.
QString UnreadableMessage(const QString& appDir, const QString& reason);

struct BulkSaveError
{
    QString message; // ready to show: names the file or the field and the reason
    QString key;     // the key whose value could not be written; empty for a file error
};

// Writes every key, with the same atomic, owner-only replacement as the settings file. A value
// holding a control character (a line break would split it into two keys) or pacing rules that
// would not read back refuse the save.
// False on failure, with the error in *error.
bool SaveBulkSettings(const QString& appDir, const BulkSettings& settings, BulkSaveError* error);

} // namespace bulk
