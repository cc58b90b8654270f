#pragma once

#include <QString>

#include <optional>

// The delivery options of bulk senders (配信オプション): unsubscribe headers, bulk headers, the
// suppression list and DKIM signing. They live in ini/bulk.ini, apart from the fourteen-line
// settings file, whose save would drop keys it does not know.
namespace bulk {

struct BulkSettings
{
    // Templates of the unsubscribe addresses; "{address}" stands for the recipient. Empty =
    // not used.
    QString unsubscribeMailto;   // UNSUBMAILTO, "mailto:..."
    QString unsubscribeUrl;      // UNSUBURL, "https://..."
    bool precedenceBulk = false; // PRECEDENCE: "Precedence: bulk" on delivery and test mails
    bool autoSubmitted = false;  // AUTOSUBMITTED: "Auto-Submitted: auto-generated" on notices
    bool oncePerRun = false;     // ONCEPERRUN: one mail per address per run
    bool suppress = false;       // SUPPRESS: skip the addresses of the suppression list
    QString suppressionPath;     // SUPPRESSPATH
    bool dkim = false;           // DKIM: sign every mail
    QString dkimDomain;          // DKIMDOMAIN, d=
    QString dkimSelector;        // DKIMSELECTOR, s=
    QString dkimKeyPath;         // DKIMKEY, PEM private key

    bool operator==(const BulkSettings&) const = default;
};

// What an existing bulk.ini means for a key it lacks: the bulk headers and the one mail per
// address are on, everything that needs a value of the operator's is off.
BulkSettings DefaultsOfExistingFile();

// appDir + "/ini/bulk.ini".
QString BulkFilePath(const QString& appDir);

enum class BulkFileState { Loaded, Missing, Unreadable };

struct LoadedBulkSettings
{
    BulkSettings settings; // everything off unless state is Loaded
    BulkFileState state = BulkFileState::Missing;
    QString reason; // why an existing file could not be read (Unreadable only)
};

// Reads bulk.ini: UTF-8 (a byte-order mark is allowed), KEY=value lines ending in CR LF, LF
// or CR; unknown keys are ignored and the last of a repeated key wins. A missing file, or one
// that cannot be read or is not UTF-8, leaves everything off.
LoadedBulkSettings LoadBulkSettings(const QString& appDir);

// The message for a file that exists but could not be read, naming it and the reason.
QString UnreadableMessage(const QString& appDir, const QString& reason);

struct BulkSaveError
{
    QString message; // ready to show: names the file or the field and the reason
    QString key;     // the key whose value could not be written; empty for a file error
};

// Writes every key, with the same atomic, owner-only replacement as the settings file. A value
// holding a control character (a line break would split it into two keys) refuses the save.
// False on failure, with the error in *error.
bool SaveBulkSettings(const QString& appDir, const BulkSettings& settings, BulkSaveError* error);

} // namespace bulk
