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

std::optional<RunOptions> RunOptions::prepareRun(const QString& appDir, QString* refusal,
                                                 const QString& senderAddress)
{
    return prepare(appDir, senderAddress, true, refusal);
}

std::optional<RunOptions> RunOptions::prepareTestMail(const QString& appDir, QString* refusal,
                                                      const QString& senderAddress)
{
    return prepare(appDir, senderAddress, false, refusal);
}

std::optional<RunOptions> RunOptions::prepare(const QString& appDir, const QString& senderAddress,
                                              bool withSuppression, QString* refusal)
{
    // A file that exists but cannot be read whole may hold a suppression list or a signature
    // the operator counts on: nothing is sent until it is mended.
    const LoadedBulkSettings loaded = LoadBulkSettings(appDir);
    if (loaded.state == BulkFileState::Unreadable) {
        *refusal = UnreadableMessage(appDir, loaded.reason);
        return std::nullopt;
    }
    RunOptions options;
    options.m_settings = loaded.settings;
    const BulkSettings& s = options.m_settings;

    // The dialog refuses such values; a file edited by hand, or a MAIL changed since, can
    // still hold them.
    QString problem;
    auto wrongSetting = [&]() {
        *refusal = QStringLiteral("配信オプションの設定が正しくありません。\n%1\n%2")
                       .arg(QDir::toNativeSeparators(BulkFilePath(appDir)), problem);
        return std::nullopt;
    };
    if (!CheckMailtoTemplate(s.unsubscribeMailto, &problem) ||
        !CheckUrlTemplate(s.unsubscribeUrl, &problem))
        return wrongSetting();
    if (s.dkim) {
        options.m_signer = DkimSigner::create(s.dkimDomain, s.dkimSelector, s.dkimKeyPath, refusal);
        if (!options.m_signer)
            return std::nullopt;
        if (!CheckDkimAlignment(s.dkimDomain, senderAddress, &problem))
            return wrongSetting();
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

void RunOptions::decorate(transport::MailRequest& request, MailKind kind,
                          std::optional<QString> /*footer*/) const
{
    request.headers = headersFor(kind, request.to);
    request.signer = m_signer;
}

std::optional<QString> RunOptions::skipReason(const QString& address) const
{
    if (!m_settings.suppress && !m_settings.oncePerRun)
        return std::nullopt;
    const QByteArray key = AddressKey(address);
    // A blank line names nobody: whatever the run does with it, it is never "already sent".
    if (key.isEmpty())
        return std::nullopt;
    if (m_settings.suppress && m_suppression.containsKey(key))
        return SuppressedText();
    if (m_settings.oncePerRun && m_sent.containsKey(key))
        return AlreadySentText();
    return std::nullopt;
}

void RunOptions::noteSent(const QString& address)
{
    if (m_settings.oncePerRun)
        m_sent.remember(address);
}

} // namespace bulk
