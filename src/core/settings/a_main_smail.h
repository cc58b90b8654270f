#pragma once

#include <QString>
#include <QtGlobal>

// Process-wide values shared by every window: the settings record, the schedule values and
// the error report of a failed browser start.
namespace aMain_sMail {

// One field per key of ini/kezmail.ini, named after the key.
struct SettingsRecord
{
    QString SMTP;
    QString POP3;
    QString MAIL;
    QString USERID;
    QString IDPAS;
    qint16 APOP = 0;
    qint16 SENDLOG = 0;
    QString SENDLOGPAS;
    qint16 ERRLOG = 0;
    qint16 ERRLOGMSG = 0;
    QString ERRLOGPAS;
    qint32 SENDSPAN = 0;
    qint16 POP3TIME = 0;
    QString EDITPATH;

    bool operator==(const SettingsRecord&) const = default;
};

inline SettingsRecord Settings;

// Schedule chosen in the schedule dialog; in memory only.
inline qint16 ScheduleConfirmed = 0;
inline QString ScheduledTime;

// Filled by a handler whose browser start failed, read by the error notice window.
inline QString ErrProcName;
inline QString ErrDescription;

// Back to the state of a fresh process; for tests that run several "processes" in one.
inline void ResetProcessState()
{
    Settings = SettingsRecord{};
    ScheduleConfirmed = 0;
    ScheduledTime.clear();
    ErrProcName.clear();
    ErrDescription.clear();
}

} // namespace aMain_sMail
