#pragma once

#include "core/bulk/bulk_run.h"
#include "core/delivery/run_state.h"
#include "core/intake/domain_health.h"
#include "core/intake/intake.h"
#include "core/journal/journal.h"
#include "core/merge/list_rows.h"
#include "core/merge/merge_fields.h"
#include "core/pacing/pacer.h"
#include "core/platform/form_timer.h"
#include "core/transport/mail_transport.h"

#include <QDate>
#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <variant>

class QAction;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;

namespace transport {
class TransportThread;
}
namespace shell {
class RunTitle;
}

// The main window: holds the message being composed, offers every action through its buttons
// and menu, and owns the timers that drive a delivery. Its unload ends the process.
//
// The handlers live beside this file, one file per concern: write_form.cpp (layout, load,
// closing, settings menu), write_form_delivery.cpp, write_form_compose.cpp,
// write_form_schedule.cpp and write_form_info.cpp.
//
// Mails and POP3 logins run on the transport's own thread (transport::TransportThread), made at
// load and ended at unload. The handler that asked waits for the result in a local event loop
// (after at most TransportThread::kQuickWait without one), so the window paints and its buttons
// and timers work while a mail is on its way.
//
// Controls are named as their objectName() so that handlers and tests agree.
class WriteForm : public QMainWindow
{
    Q_OBJECT
public:
    // appDir: the application folder (ini/, csv/, txt/, log/ beside the executable).
    explicit WriteForm(const QString& appDir, QWidget* parent = nullptr);
    ~WriteForm() override;

    const QString& appDir() const { return m_appDir; }

    // The load sequence; may show the settings dialog modally before the window is shown.
    void Form_Load();

    // True once the window has unloaded and the process was told to end. Every handler
    // returns at once from then on (this only matters where the process end is a test's).
    bool isUnloaded() const { return m_unloaded; }
    // True from a close or a cancel (Yes) on: the window unloaded, or waits for the request on
    // its way to end before it does. No handler starts anything new meanwhile.
    bool isEnding() const { return m_unloaded || run.closeRequested; }

    // The ten controls a run (and an armed schedule) locks, in the order the run locks them.
    QList<QWidget*> runLockedControls() const;
    // The settings menu's items a run refuses until the application ends: a save in the
    // middle of a run would move its send log or change the options it has read.
    QList<QAction*> runLockedMenuItems() const;

    // --- shell
    void nmFile_End_Click();
    void mnOption_Click();
    void mnOption_Bulk_Click();
    // The checks before a mailing, of the settings and delivery options as saved.
    void mnOption_Preflight_Click();
    // The results window; a retry list it writes becomes the list path.
    void mnFile_Results_Click();
    // Reads the bounces and unsubscribe requests of the mailbox into the suppression list now.
    void mnFile_Intake_Click();

    // --- journal
    // Once the window shows: a run the journal still holds as running ended with the
    // program. Asks whether to go on with it; Yes fills the window from the journal, so the
    // next press of the send button continues that run.
    void offerResume();
    // The run the journal records, 0 when none; its id, for tests.
    qint64 journalRun() const { return m_journalRun; }

    // --- delivery
    void SendCommand_Click();
    void Timer1_Timer();
    void Timer2_Timer();
    // One POP before SMTP login; the run goes on whatever its outcome. A failure shows in
    // Label3 (its reason as the tool tip) until a login succeeds, and goes to the error log.
    transport::LoginOutcome Pop3Con();
    void cmdTestSend_Click();
    void cmdSendPouse_Click();
    void cmdSendRtry_Click();
    void CancelCommand_Click();

    // --- compose
    void cmdCSV_Click();
    void cmdDoc_Click();
    void mnDoc_Open_Click();
    void mnDoc_Make_Click();
    void AttachCommand_Click();
    // The merge preview: the mail of each data row of the list as the run will send it.
    void mnDoc_Preview_Click();
    // compose: the body as a mail carries it, CR LF after every line of the box (the box
    // itself keeps line breaks its own way).
    QString bodyText() const;

    // --- schedule
    void mnOption_Timer_Click();
    void timSend_Timer();

    // --- info
    void mnEtc_Ver_Click();
    void mnEtc_Bbs_Click();

    // Controls.
    QLabel* Label3 = nullptr;
    QGroupBox* fraTimerDisp = nullptr;
    QLabel* Label9 = nullptr;
    QLabel* lblSendTime = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* lblNowTime = nullptr;
    QPushButton* cmdTestSend = nullptr;
    QPushButton* cmdCSV = nullptr;
    QLineEdit* ToText = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* SubjectText = nullptr;
    QPushButton* SendCommand = nullptr;
    QLabel* Label8 = nullptr;
    QLineEdit* txtFrom = nullptr;
    QPushButton* CancelCommand = nullptr;
    QLabel* Label6 = nullptr;
    QLineEdit* txtSenderAdress = nullptr;
    QPushButton* AttachCommand = nullptr;
    QLineEdit* AttachText = nullptr;
    QLabel* lblAdres = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* lblSndRec = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* lblErrCnt = nullptr;
    QPushButton* cmdDoc = nullptr;
    QGroupBox* Frame2 = nullptr;
    QLineEdit* txtTimerTime = nullptr;
    QPushButton* cmdSendPouse = nullptr;
    QPushButton* cmdSendRtry = nullptr;
    QLabel* Label5 = nullptr;
    QPlainTextEdit* BodyText = nullptr;
    platform::FormTimer* Timer1 = nullptr;
    platform::FormTimer* Timer2 = nullptr;
    platform::FormTimer* timSend = nullptr;

    // Menus.
    QMenu* mnFile = nullptr;
    QAction* nmFile_End = nullptr;
    QAction* mnFile_Results = nullptr;
    QAction* mnFile_Intake = nullptr;
    QMenu* mnOptionMenu = nullptr;
    QAction* mnOption = nullptr;
    QAction* mnOption_Timer = nullptr;
    QAction* mnOption_Bulk = nullptr;
    QAction* mnOption_Preflight = nullptr;
    QMenu* mnDoc = nullptr;
    QAction* mnDoc_Make = nullptr;
    QAction* mnDoc_Open = nullptr;
    QAction* mnDoc_Preview = nullptr;
    QMenu* mnEtc = nullptr;
    QAction* mnEtc_Ver = nullptr;
    QAction* mnEtc_Bbs = nullptr;

    // The state of the delivery run.
    delivery::RunState run;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Why the window is closing; a close started by the cancel action or by the end of a run
    // does not ask the question again.
    enum class CloseOrigin { Request, CancelAction, RunEnd };

    void buildControls();
    void buildMenus();
    void connectShell();
    void connectDelivery();
    void connectCompose();
    void connectSchedule();
    void connectInfo();

    // Closes the window from code.
    void closeMainWindow(CloseOrigin origin);
    // Ends the transport and the process.
    void Form_Unload();
    // Lets pending window events run once. Returns false when the window is ending (see
    // isEnding()), in which case the caller must return at once.
    bool yieldEvents();

    // The input checks that the send button, the test button and the schedule menu make
    // before anything else, in their order: settings complete, MAIL one address, list path,
    // subject, sender name. A failed check shows its warning and moves the focus.
    // settingsCaption is the caption of the two settings boxes (the schedule menu gives them
    // none). False when a check failed or the window unloaded meanwhile.
    bool checkComposeInputs(const std::optional<QString>& settingsCaption);

    // Delivery internals.
    void SendNextMail();
    void SendStartNotice();
    void SendEndNotice();

    // delivery
    // One of the three mails to the operator's own address (test, start and end notice),
    // with what the delivery options add to that kind of mail. A failed POP login before the
    // test mail is shown in a box: the operator is watching.
    // filled: the texts of the test mail, filled from the list's first data row.
    void sendOperatorMail(const QString& subjectPrefix, const QString& failureCaption,
                          const QString& successText, const bulk::RunOptions& options,
                          bulk::MailKind kind,
                          const std::optional<merge::Filled>& filled = std::nullopt);
    // The delivery options (ini/bulk.ini) for a run, or for the test mail, read at its start.
    // nullopt when they refuse the start; the refusal has been shown.
    std::optional<bulk::RunOptions> readBulkOptions(bool forRun);
    // The checks before a mailing, at the send button: once per From domain and day. When one
    // failed the operator is asked whether to start anyway. False when the run must not start
    // (No, or the window is ending).
    bool preflightLetsRunStart(const bulk::BulkSettings& options);
    // No address is left in the list: the run ends, or pauses when the list could not be read.
    void listDone();
    // The list is done: end notice, completion message, close.
    void finishRun();
    // The list could not be read further: say so and pause the run.
    void listReadFailed();
    // One line for a log: whether it reached the file, and why not.
    struct LogAppend
    {
        QString path;
        QString line;
        QString failure;
        bool written = true;
    };
    // Appends line to the log at path (delivery::AppendLogLine: the whole line or nothing).
    static LogAppend appendLogLine(const QString& path, const QString& line);
    // The send log's line for address, when the send log is on (else nothing is written).
    static LogAppend appendSendLogLine(const QString& address);
    // The error log's line, when the error log is on (else nothing is written).
    static LogAppend appendErrorLogLine(const QString& errorText, const QString& address);
    // A log line could not be written: say so. paused: the run was paused for it.
    void logWriteFailed(const LogAppend& append, bool paused);
    // The server failed mail after mail at the connection level: the run is paused; say why.
    void serverDownPaused(const QString& lastReason);

    // merge fields (write_form_merge.cpp)
    // A run over a list with columns: the rows as the run reaches them, and the texts to fill.
    struct MergeRun
    {
        merge::Template texts;
        std::unique_ptr<merge::RunRows> rows;
    };
    // At the start of a run: a list whose first line that is not blank holds a comma becomes
    // *merge, with the window's texts and footer; a list of bare addresses leaves it empty and
    // runs as it always has.
    // False when the start is refused (said): the list cannot be read as CSV, holds no data
    // row, or lacks a field the mail uses.
    bool prepareMergeRun(const QString& listPath, const QString& footer,
                         std::optional<MergeRun>& merge);
    // The texts of row's mail, or the field it left empty. nullopt when the row could not be
    // read again: the run is paused, the row goes first when it goes on, and it has been said.
    std::optional<std::variant<merge::Filled, merge::EmptyField>>
    fillRow(const journal::MailRow& row);
    // The list (or, for a list with columns, its rows) could not be read: why.
    QString listErrorText() const;
    bool listHasError() const;
    // The window's subject, sender name and body, and the footer of options, with their fields.
    merge::Template mergeTemplate(const bulk::RunOptions& options) const;
    // The mail of the window's fields to `to`, decorated by options as a mail of kind; with
    // filled, its subject, sender name, body and footer are those texts.
    transport::MailRequest mergedMail(const QString& to, const QString& subjectPrefix,
                                      const std::optional<merge::Filled>& filled,
                                      const bulk::RunOptions& options, bulk::MailKind kind) const;
    // The list at listPath for filling a mail, or nullptr when it cannot be read (said).
    std::unique_ptr<merge::ListRows> openMergeList(const QString& listPath);
    // The list's first data row; nullopt when it has none or cannot be read (said).
    std::optional<merge::Row> firstMergeRow(merge::ListRows& rows, const QString& listPath);
    // The test mail's texts from the first data row of a list with columns; *filled stays
    // empty when the mail has no field or the list none (the mail goes as typed). False when
    // the test mail is refused (said): a field the list lacks, a first row without a value.
    bool testMailFields(const bulk::RunOptions& options, std::optional<merge::Filled>* filled);

    // journal (write_form_journal.cpp)
    // Opens the journal and records a new run of the window's message and the list at
    // listPath. False when the journal refuses it; the refusal has been shown.
    bool beginJournalRun(const QString& listPath);
    // The start of a run the operator chose to resume: counters, skipped repeats and in-flight
    // mails from the journal. False when it cannot go on (said).
    bool beginResumedRun();
    // Puts the resumed run's message into the window's fields.
    void fillFromJournal(const journal::RunMessage& message);
    // True when the window's fields still hold the resumed run's message.
    bool fieldsMatchJournal(const journal::RunMessage& message) const;
    // The list or an attachment changed since the interrupted run: say so; the run is marked
    // abandoned, and the send button starts a new one.
    void resumeRefused(const QString& changed);
    // Runs job on the transport's thread, where the journal's connection lives, and waits for
    // it as for a mail: the window goes on painting while the journal syncs.
    void onJournalThread(const std::function<void()>& job);
    // Closes the journal (on its thread).
    void closeJournal();
    // The next address of the run (list order), nullopt when none is left.
    std::optional<journal::MailRow> nextRecipient();
    bool noRecipientLeft();
    // The journal could not be written: say so (the run was paused for it).
    void journalWriteFailed(const QString& reason, bool paused);
    // The journal's run ends in state; the journal is closed.
    void endJournalRun(journal::RunState state);

    // The transport's thread, made on first use.
    transport::TransportThread& transportThread();
    // Runs job on the transport's thread and waits for it as TransportThread::wait() does; see
    // delivery::RunState::transportWaits for what may and may not run meanwhile.
    template <class Result>
    Result awaitTransport(std::function<Result(transport::MailTransport&)> job);
    // Called once a wait is over: a close asked for meanwhile goes ahead when no other wait is
    // open. True when the caller must stop (the window is ending).
    bool closeIfRequested();
    // A periodic login that fell due during a wait.
    void runDueLogin();

    QString m_appDir;
    bool m_unloaded = false;
    CloseOrigin m_closeOrigin = CloseOrigin::Request;
    std::unique_ptr<transport::TransportThread> m_transport;
    // The run's progress in the caption and on the launcher entry.
    std::unique_ptr<shell::RunTitle> m_runTitle;
    // The delivery options of the run, read at its start: the headers and signer of its mails,
    // the suppression list and the addresses it has sent to.
    std::optional<bulk::RunOptions> m_bulk;

    // journal
    std::unique_ptr<journal::Journal> m_journal;
    qint64 m_journalRun = 0;
    // The interrupted run the operator chose to go on with, until the send button starts it.
    std::optional<journal::InterruptedRun> m_resume;
    // This window sends m_journalRun, or has offered to resume it.
    std::unique_ptr<journal::RunLock> m_runLock;
    // A resumed run sends these rows (pending and deferred) in order; m_resumeNext is the next.
    bool m_resuming = false;
    QList<journal::MailRow> m_resumeQueue;
    qsizetype m_resumeNext = 0;
    // The list order of the next address a new run reads.
    qint64 m_nextSeq = 0;
    // The row nextRecipient() gave last: the pacer keeps only its position, the run needs its line.
    std::optional<journal::MailRow> m_lastRead;
    // Set for the length of a run over a list with columns.
    std::optional<MergeRun> m_merge;
    // A mail whose 'sending' row could not be written: it goes out first when the run goes on.
    std::optional<journal::MailRow> m_heldRow;
    // Added to the caption's count: a resumed run's deferred mails count again when retried.
    qint64 m_titleOffset = 0;
    // The journal's rows of the run: one per recipient of the list.
    qint64 m_runRows = 0;
    // The close box (not the cancel action) is closing the window: a run ends 'interrupted'.
    bool m_closeBox = false;

    // intake (write_form_intake.cpp)
    // The intake on the transport's thread; the window paints meanwhile. Label3 says so.
    intake::Outcome runIntake(const bulk::BulkSettings& options, const intake::Account& account);
    // Before a run: reads the mailbox so that the run starts from a fresh suppression list,
    // then reads the options again. False when the start is refused (said); *options is the
    // fresh options otherwise.
    bool intakeBeforeRun(std::optional<bulk::RunOptions>& options);
    // A mail of the run was refused or delivered: the hard refusals are kept for the run's end,
    // and a domain refusing mail after mail is blocked for the rest of the run.
    void noteRunOutcome(const QString& address, const transport::SendOutcome& outcome);
    // The next address belongs to a blocked domain: its row is left deferred, with its
    // error-log line. False when the journal could not be written (the run was paused).
    bool deferBlocked(const journal::MailRow& row, const QString& domain);
    // At the run's end: its hard refusals go to the suppression list. quiet: at unload, where
    // a failure only reaches the error log.
    void suppressRunRefusals(bool quiet);

    QList<intake::Refusal> m_refusals;
    intake::DomainHealth m_domainHealth;

    // pacing (write_form_pacing.cpp)
    // What the pacer gave for this tick.
    enum class PaceStep {
        Send,     // the row to send now
        Nothing,  // no domain is due yet: this tick sends nothing
        ListDone, // the list is read and nothing waits
        Stopped,  // the run was paused (said), or the window is ending
    };
    // A new pacer from the run's options, for a run that starts or is resumed.
    void startPacing();
    // The next row to send: a row the run owes first, else the first address of the list
    // whose domain is due. Addresses of blocked domains met on the way are left deferred.
    PaceStep pickRecipient(journal::MailRow& row);
    // The pacer learns how the mail to row went. When the server asked to slow down, the
    // domain pauses (pausedUntil valid) and a mail that surely did not arrive waits to go again.
    struct PaceNote
    {
        QString domain;
        QDateTime pausedUntil;
        bool goesAgain = false;
    };
    PaceNote notePaced(const journal::MailRow& row, const transport::SendOutcome& outcome);
    // Puts a due entry back and pauses the run: its address could not be read back.
    void addressLookupFailed(qint64 seq, const QString& domain, const QString& reason);

    // Hands the run's addresses out per domain; made at each start of a run.
    std::unique_ptr<pacing::Pacer> m_pacer;

    // preflight
    // The day each From domain last passed the checks, or the operator started despite them.
    QHash<QString, QDate> m_preflightPassed;
    // A start is on its way (checks, intake, journal): a second press of the send button, or
    // the schedule's start, must not begin another beside it.
    bool m_starting = false;

    // schedule
    // Counts every arming and disarming, so that a tick can tell whether the schedule it read
    // before its yield is still the armed one.
    quint64 m_scheduleArming = 0;
    bool m_inScheduleTick = false;
};
