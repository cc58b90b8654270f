#include "gui/main_window/write_form.h"

#include "core/compose/body_file.h"
#include "core/platform/process_launcher.h"
#include "core/settings/a_main_smail.h"
#include "core/text/trim.h"
#include "gui/platform/file_dialogs.h"
#include "gui/platform/message_boxes.h"

#include <QAction>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>

namespace {

const QString kCsvFilter = QStringLiteral("CSV(*.csv)|*.csv");
const QString kTxtFilter = QStringLiteral("Txt(*.txt)|*.txt");
const QString kAllFilter = QStringLiteral("ALL(*.*)|*.*");

// Where the attachment dialog starts: the root of the system drive on Windows, as it always
// did there; elsewhere there is no such drive and the operator's home folder stands in.
QString attachmentStartDir()
{
#ifdef Q_OS_WIN
    return QStringLiteral("c:\\");
#else
    return QDir::homePath();
#endif
}

} // namespace

void WriteForm::connectCompose()
{
    connect(cmdCSV, &QPushButton::clicked, this, &WriteForm::cmdCSV_Click);
    connect(cmdDoc, &QPushButton::clicked, this, &WriteForm::cmdDoc_Click);
    connect(AttachCommand, &QPushButton::clicked, this, &WriteForm::AttachCommand_Click);
    connect(mnDoc_Open, &QAction::triggered, this, &WriteForm::mnDoc_Open_Click);
    connect(mnDoc_Make, &QAction::triggered, this, &WriteForm::mnDoc_Make_Click);
    connect(mnDoc_Preview, &QAction::triggered, this, &WriteForm::mnDoc_Preview_Click);
}

QString WriteForm::bodyText() const
{
    // The raw text keeps what toPlainText() would alter (no-break spaces); the line breaks
    // become CR LF, so a loaded body reads back exactly as it was built.
    return compose::bodyWithCrLf(BodyText->document()->toRawText());
}

void WriteForm::cmdCSV_Click()
{
    if (m_unloaded)
        return;
    const std::optional<QString> chosen = platform::chooseFile(
        this, {platform::kHideReadOnly, m_appDir + QStringLiteral("/csv"), kCsvFilter}, m_appDir);
    if (m_unloaded || !chosen)
        return;
    ToText->setText(*chosen);
}

void WriteForm::cmdDoc_Click()
{
    if (m_unloaded)
        return;
    const std::optional<QString> chosen = platform::chooseFile(
        this, {platform::kHideReadOnly, m_appDir + QStringLiteral("/txt"), kTxtFilter}, m_appDir);
    if (m_unloaded || !chosen)
        return;

    // The file is read whole before the body is touched, so a file that cannot be read
    // leaves the operator's body as it was.
    QString reason;
    const std::optional<QString> body = compose::loadBodyFile(*chosen, &reason);
    if (!body) {
        platform::msgBox(this,
                         QStringLiteral("本文ファイルを読み込めませんでした。\n%1\n%2")
                             .arg(QDir::toNativeSeparators(*chosen), reason),
                         platform::MsgIcon::Exclamation);
        return;
    }
    BodyText->setPlainText(*body);
}

void WriteForm::mnDoc_Open_Click()
{
    cmdDoc_Click();
}

void WriteForm::mnDoc_Make_Click()
{
    if (m_unloaded)
        return;
    const QString editor = aMain_sMail::Settings.EDITPATH;
    if (compose::Trim(editor).isEmpty()) {
        platform::msgBox(this, QStringLiteral("エディターが指定されていません。"),
                         platform::MsgIcon::Exclamation);
        return;
    }
    // No shell in between: the command line is split into program and arguments.
    QString reason;
    if (!platform::startCommandLine(editor, &reason)) {
        platform::msgBox(
            this, QStringLiteral("エディターを起動できませんでした。\n%1\n%2").arg(editor, reason),
            platform::MsgIcon::Exclamation);
    }
}

void WriteForm::AttachCommand_Click()
{
    if (m_unloaded)
        return;
    const std::optional<QString> chosen = platform::chooseFile(
        this, {platform::kHideReadOnly, attachmentStartDir(), kAllFilter}, m_appDir);
    if (m_unloaded || !chosen)
        return;
    AttachText->setText(compose::appendAttachment(AttachText->text(), *chosen));
}
