#include "core/intake/intake.h"

#include "core/bounce/bounce_classifier.h"
#include "core/bounce/returned_mail.h"
#include "core/bulk/bulk_headers.h"
#include "core/bulk/suppression.h"
#include "core/delivery/delivery_log.h"
#include "core/journal/journal.h"
#include "core/platform/clock.h"
#include "core/transport/pop3_client.h"
#include "core/transport/pop3_endpoint.h"

#include <QDir>

#include <mutex>

namespace intake {
namespace {

// A returned mail quotes the original, attachments and all, with some servers; one larger
// than this is no report of ours that would be worth reading.
constexpr qint64 kMaxMailBytes = 32LL << 20;

// The work on the suppression list and the journal that reports and refusals share.
class Suppressor
{
public:
    Suppressor(const QString& appDir, const bulk::BulkSettings& options, journal::Journal& journal,
               Outcome& outcome)
        : m_appDir(appDir), m_options(options), m_journal(journal), m_outcome(outcome)
    {
    }

    // Adds the address with its log line. False (with the outcome's error) when either failed.
    bool suppress(const QString& address, const QString& reason)
    {
        QString error;
        // Read once per intake, on the first address to add; the appends keep it current.
        if (!m_list) {
            m_list = bulk::SuppressionList::read(m_options.suppressionPath, &error);
            if (!m_list)
                return fail(error);
        }
        switch (
            bulk::AppendToSuppressionList(m_options.suppressionPath, address, &error, &*m_list)) {
        case bulk::AppendResult::Failed: return fail(error);
        case bulk::AppendResult::AlreadyListed: return true;
        case bulk::AppendResult::Added: break;
        }
        ++m_outcome.counts.suppressed;
        const QString line = delivery::LogStampNow() + QLatin1Char(',') +
                             delivery::EscapeControlCharacters(address) + QLatin1Char(',') +
                             delivery::EscapeControlCharacters(reason);
        const QString logPath = AddedLogPath(m_appDir);
        QDir().mkpath(QFileInfo(logPath).absolutePath());
        if (!delivery::AppendLogLine(logPath, line, &error))
            return fail(QStringLiteral("配信停止リストへの追加を記録できませんでした。\n%1\n%2")
                            .arg(QDir::toNativeSeparators(logPath), error));
        QString ignored;
        m_journal.forgetSoftBounces(bulk::AddressKey(address), &ignored);
        return true;
    }

    // One failed recipient of the mail `sent`, classified.
    bool failed(const journal::Journal::SentMail& sent, bounce::Verdict verdict,
                const QString& status, const QString& source)
    {
        const QString statusText = status.isEmpty() ? QStringLiteral("-") : status;
        switch (verdict) {
        case bounce::Verdict::Hard:
            return suppress(sent.address,
                            QStringLiteral("宛先不明 %1 %2").arg(statusText, source).trimmed());
        case bounce::Verdict::Soft:
        case bounce::Verdict::Ambiguous: {
            QString reason;
            const std::optional<int> count =
                m_journal.countSoftBounce(bulk::AddressKey(sent.address), sent.address, sent.run,
                                          statusText, platform::clock().now(), &reason);
            if (!count)
                return fail(journalFailure(reason));
            if (*count < m_options.softBounceLimit)
                return true;
            return suppress(sent.address, QStringLiteral("一時的なエラーが%1回続きました %2 %3")
                                              .arg(*count)
                                              .arg(statusText, source)
                                              .trimmed());
        }
        case bounce::Verdict::DomainHealth:
        case bounce::Verdict::Unknown: return true;
        }
        return true;
    }

    bool fail(const QString& error)
    {
        m_outcome.error = error;
        return false;
    }

    QString journalFailure(const QString& reason) const
    {
        return QStringLiteral("配信記録ファイルを読み書きできませんでした。\n%1\n%2")
            .arg(QDir::toNativeSeparators(m_journal.path()), reason);
    }

private:
    QString m_appDir;
    const bulk::BulkSettings& m_options;
    journal::Journal& m_journal;
    Outcome& m_outcome;
    std::optional<bulk::SuppressionList> m_list;
};

std::unique_ptr<journal::Journal> openJournal(const QString& appDir, Outcome& outcome)
{
    QString reason;
    std::unique_ptr<journal::Journal> journal = journal::Journal::open(appDir, &reason);
    if (!journal)
        outcome.error =
            QStringLiteral("配信記録ファイルを開けませんでした。\n%1\n%2")
                .arg(QDir::toNativeSeparators(journal::Journal::pathIn(appDir)), reason);
    return journal;
}

// The mail a failed recipient belongs to: the one the returned Message-ID names, when it went
// to this recipient (or the report names only one), else the newest mail to the address.
std::optional<journal::Journal::SentMail> matchMail(journal::Journal& journal,
                                                    const bounce::ReturnedMail& mail,
                                                    const bounce::FailedRecipient& recipient,
                                                    QString* reason)
{
    const QStringList addresses = {bulk::PlainAddress(recipient.address),
                                   bulk::PlainAddress(recipient.originalRecipient)};
    auto sameAddress = [&](const QString& sent) {
        for (const QString& a : addresses)
            if (!a.isEmpty() && bulk::SuppressionKey(bulk::AddressKey(a)) ==
                                    bulk::SuppressionKey(bulk::AddressKey(sent)))
                return true;
        return false;
    };
    if (!mail.originalMessageId.isEmpty()) {
        const std::optional<journal::Journal::SentMail> byId =
            journal.sentMailById(mail.originalMessageId, reason);
        if (!reason->isEmpty())
            return std::nullopt;
        if (byId && (mail.recipients.size() == 1 || sameAddress(byId->address)))
            return byId;
    }
    for (const QString& address : addresses) {
        if (address.isEmpty())
            continue;
        const std::optional<journal::Journal::SentMail> byAddress =
            journal.lastMailTo(address, reason);
        if (!reason->isEmpty() || byAddress)
            return byAddress;
    }
    return std::nullopt;
}

bool fromOperator(const bounce::ReturnedMail& mail, const Account& account)
{
    const QString own = bulk::PlainAddress(account.ownAddress);
    for (const QString& from : mail.fromAddresses)
        if (!own.isEmpty() && from.compare(own, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

bool isFailure(const bounce::FailedRecipient& recipient)
{
    return recipient.verdict != bounce::Verdict::Unknown;
}

} // namespace

std::optional<Account> AccountFor(const bulk::BulkSettings& options,
                                  const aMain_sMail::SettingsRecord& settings)
{
    if (!options.intakeServer.trimmed().isEmpty())
        return Account{options.intakeServer.trimmed(), options.intakeUser, options.intakePassword,
                       false, settings.MAIL};
    if (settings.POP3.trimmed().isEmpty())
        return std::nullopt;
    return Account{settings.POP3.trimmed(), settings.USERID, settings.IDPAS, settings.APOP != 0,
                   settings.MAIL};
}

QString ResultText(const Counts& counts)
{
    return QStringLiteral("取り込み結果：バウンス %1件（配信停止リストに追加 %2件）、配信停止依頼 "
                          "%3件、対象外 %4件")
        .arg(counts.bounces)
        .arg(counts.suppressed)
        .arg(counts.unsubscribes)
        .arg(counts.unrelated);
}

QString AddedLogPath(const QString& appDir)
{
    return appDir + QStringLiteral("/log/suppression_added.log");
}

Outcome Run(const QString& appDir, const bulk::BulkSettings& options, const Account& account)
{
    Outcome outcome;
    std::unique_ptr<journal::Journal> journal = openJournal(appDir, outcome);
    if (!journal)
        return outcome;
    Suppressor suppressor(appDir, options, *journal, outcome);

    transport::Pop3Endpoint endpoint;
    QString error;
    transport::Pop3Client pop3;
    auto loginFailed = [&](const QString& why) {
        outcome.loginFailed = true;
        outcome.error =
            QStringLiteral("取り込み用のPOP3サーバーにログインできませんでした。\n%1").arg(why);
        pop3.quit();
        return outcome;
    };
    if (!transport::parsePop3Server(account.server, &endpoint, &error))
        return loginFailed(error);
    if (!pop3.open(endpoint, &error))
        return loginFailed(error);
    if (!pop3.login(account.user, account.password,
                    account.apop ? transport::Pop3Client::Method::Apop
                                 : transport::Pop3Client::Method::UserPass,
                    &error))
        return loginFailed(error);

    QList<transport::Pop3Client::MailboxEntry> entries;
    if (!pop3.listMailbox(&entries, &error)) {
        outcome.error = QStringLiteral("受信メールの一覧を読めませんでした。\n%1").arg(error);
        pop3.quit();
        return outcome;
    }

    auto stop = [&](const QString& why) {
        if (outcome.error.isEmpty())
            outcome.error = why;
        // The deletions of the mails already dealt with still count.
        QString ignored;
        pop3.quitAndCommit(&ignored);
        return outcome;
    };

    for (const transport::Pop3Client::MailboxEntry& entry : entries) {
        QString reason;
        const std::optional<bool> seenUid =
            journal->intakeSeen(account.key(), entry.uid, {}, &reason);
        if (!seenUid)
            return stop(suppressor.journalFailure(reason));
        if (*seenUid)
            continue;
        if (entry.size > kMaxMailBytes) {
            // Never a report: remembered, so that it is not fetched again each time.
            if (!journal->rememberIntake(account.key(), entry.uid, {}, platform::clock().now(),
                                         &reason))
                return stop(suppressor.journalFailure(reason));
            continue;
        }
        QByteArray raw;
        if (!pop3.retrieve(entry.number, kMaxMailBytes, &raw, &error))
            return stop(QStringLiteral("受信メールを読めませんでした。\n%1").arg(error));
        const bounce::ReturnedMail mail = bounce::readReturnedMail(raw, options.unsubscribeMailto);

        // The same report fetched twice (from a second account, or sent again) counts once.
        const std::optional<bool> seenMail =
            journal->intakeSeen(QString(), QByteArray(), mail.messageId, &reason);
        if (!seenMail)
            return stop(suppressor.journalFailure(reason));
        const bool repeat = *seenMail && !mail.messageId.isEmpty();

        bool deletable = false;
        switch (mail.kind) {
        case bounce::Kind::DeliveryReport:
        case bounce::Kind::Bounce:
            deletable = true;
            for (const bounce::FailedRecipient& recipient : mail.recipients) {
                if (repeat || !isFailure(recipient))
                    continue;
                const std::optional<journal::Journal::SentMail> sent =
                    matchMail(*journal, mail, recipient, &reason);
                if (!reason.isEmpty())
                    return stop(suppressor.journalFailure(reason));
                if (!sent) {
                    ++outcome.counts.unrelated;
                    continue;
                }
                ++outcome.counts.bounces;
                if (!suppressor.failed(*sent, recipient.verdict, recipient.status, mail.messageId))
                    return stop(QString());
            }
            break;
        case bounce::Kind::Unsubscribe:
            deletable = true;
            if (repeat || mail.unsubscribeAddress.isEmpty())
                break;
            ++outcome.counts.unsubscribes;
            if (!suppressor.suppress(
                    mail.unsubscribeAddress,
                    QStringLiteral("配信停止依頼 %1").arg(mail.messageId).trimmed()))
                return stop(QString());
            break;
        case bounce::Kind::AutoReply:
            if (fromOperator(mail, account))
                break;
            deletable = true;
            ++outcome.counts.autoReplies;
            break;
        case bounce::Kind::Other: break;
        }

        if (!journal->rememberIntake(account.key(), entry.uid, mail.messageId,
                                     platform::clock().now(), &reason))
            return stop(suppressor.journalFailure(reason));
        if (deletable && options.intakeDelete) {
            if (!pop3.markDeleted(entry.number, &error))
                return stop(QStringLiteral("受信メールを削除できませんでした。\n%1").arg(error));
            ++outcome.counts.deleted;
        }
    }
    if (!pop3.quitAndCommit(&error)) {
        // Without the server's word the deletions may not have happened; nothing else is lost.
        outcome.error =
            QStringLiteral("POP3サーバーが受信メールの削除を確定しませんでした。\n%1").arg(error);
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}

namespace {

std::mutex& runnerMutex()
{
    static std::mutex mutex;
    return mutex;
}

Runner& installedRunner()
{
    static Runner runner;
    return runner;
}

} // namespace

Runner setRunner(Runner runner)
{
    std::lock_guard lock(runnerMutex());
    return std::exchange(installedRunner(), std::move(runner));
}

Outcome Read(const QString& appDir, const bulk::BulkSettings& options, const Account& account)
{
    Runner runner;
    {
        std::lock_guard lock(runnerMutex());
        runner = installedRunner();
    }
    return runner ? runner(appDir, options, account) : Run(appDir, options, account);
}

Outcome SuppressRefusals(const QString& appDir, const bulk::BulkSettings& options,
                         const QList<Refusal>& refusals)
{
    Outcome outcome;
    QList<Refusal> hard;
    for (const Refusal& refusal : refusals)
        if (bounce::classifyReply(refusal.replyCode, refusal.replyText) == bounce::Verdict::Hard)
            hard.append(refusal);
    if (hard.isEmpty()) {
        outcome.ok = true;
        return outcome;
    }
    std::unique_ptr<journal::Journal> journal = openJournal(appDir, outcome);
    if (!journal)
        return outcome;
    Suppressor suppressor(appDir, options, *journal, outcome);
    for (const Refusal& refusal : hard) {
        ++outcome.counts.bounces;
        const QString status = bounce::enhancedStatusIn(refusal.replyText);
        if (!suppressor.suppress(
                refusal.address,
                QStringLiteral("配信中に拒否 %1 %2").arg(refusal.replyCode).arg(status).trimmed()))
            return outcome;
    }
    outcome.ok = true;
    return outcome;
}

} // namespace intake
