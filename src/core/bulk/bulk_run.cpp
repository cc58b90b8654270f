#include "core/bulk/bulk_run.h"

#include "core/bulk/dkim_signer.h"

#include <QDir>

namespace bulk {

QString SuppressedText()
{
    return QStringLiteral("配信停止リストに登録されているため送信しませんでした");
}

QString AlreadySentText()
{
    return QStringLiteral("同じ配信で送信済みのため送信しませんでした");
}

std::optional<RunOptions> RunOptions::prepareRun(const QString& appDir, QString* refusal)
{
    return prepare(appDir, true, refusal);
}

std::optional<RunOptions> RunOptions::prepareTestMail(const QString& appDir, QString* refusal)
{
    return prepare(appDir, false, refusal);
}

std::optional<RunOptions> RunOptions::prepare(const QString& appDir, bool withSuppression,
                                              QString* refusal)
{
    const LoadedBulkSettings loaded = LoadBulkSettings(appDir);
    // Whether the operator had switched on the suppression list or signing is unknown, so a
    // file that cannot be read stops the start rather than count as "everything off".
    if (loaded.state == BulkFileState::Unreadable) {
        *refusal = UnreadableMessage(appDir, loaded.reason);
        return std::nullopt;
    }
    RunOptions options;
    options.m_settings = loaded.settings;
    const BulkSettings& s = options.m_settings;

    // The dialog refuses such templates; a file edited by hand can still hold them.
    QString problem;
    if (!CheckMailtoTemplate(s.unsubscribeMailto, &problem) ||
        !CheckUrlTemplate(s.unsubscribeUrl, &problem)) {
        *refusal = QStringLiteral("配信オプションの設定が正しくありません。\n%1\n%2")
                       .arg(QDir::toNativeSeparators(BulkFilePath(appDir)), problem);
        return std::nullopt;
    }
    if (s.dkim) {
        options.m_signer = DkimSigner::create(s.dkimDomain, s.dkimSelector, s.dkimKeyPath, refusal);
        if (!options.m_signer)
            return std::nullopt;
    }
    if (withSuppression && s.suppress) {
        std::optional<SuppressionList> list = SuppressionList::read(s.suppressionPath, refusal);
        if (!list)
            return std::nullopt;
        options.m_suppression = std::move(*list);
    }
    return options;
}

QString RunOptions::headersFor(MailKind kind, const QString& recipient) const
{
    return ExtraHeaders(m_settings, kind, recipient);
}

void RunOptions::decorate(transport::MailRequest& request, MailKind kind) const
{
    request.headers = headersFor(kind, request.to);
    request.signer = m_signer;
}

std::optional<QString> RunOptions::skipReason(const QString& address) const
{
    if (m_settings.suppress && m_suppression.contains(address))
        return SuppressedText();
    if (m_settings.oncePerRun && m_sent.contains(address))
        return AlreadySentText();
    return std::nullopt;
}

void RunOptions::noteSent(const QString& address)
{
    if (m_settings.oncePerRun)
        m_sent.remember(address);
}

} // namespace bulk
