#include "gui/bulk_dialog/frm_bulk_set.h"

#include "core/bulk/bulk_headers.h"
#include "core/bulk/bulk_settings.h"
#include "core/bulk/dkim_signer.h"
#include "core/platform/text_files.h"
#include "core/settings/a_main_smail.h"
#include "core/text/trim.h"
#include "gui/bulk_dialog/pace_rules_editor.h"
#include "gui/platform/file_dialogs.h"
#include "gui/platform/message_boxes.h"
#include "gui/widgets/center_form.h"
#include "gui/widgets/controls.h"
#include "gui/widgets/fonts.h"
#include "gui/widgets/twips.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

#include <optional>
#include <utility>

using shell::imeOff;
using shell::makeButton;
using shell::makeCheck;
using shell::makeEdit;
using shell::makeFrame;
using shell::makeLabel;
using shell::placeTwips;

namespace {

const QString kCaption = QStringLiteral("KEZ-MAILER");
const QString kListFilter = QStringLiteral("CSV(*.csv)|*.csv|Txt(*.txt)|*.txt|ALL(*.*)|*.*");
const QString kKeyFilter = QStringLiteral("PEM(*.pem)|*.pem|ALL(*.*)|*.*");

// A label that explains rather than names: smaller, wrapped.
QLabel* makeNote(QWidget* parent, const char* name, const QString& text)
{
    QLabel* label = makeLabel(parent, name, text);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// The text with a break opportunity after each folder separator: a label wraps only at blanks
// and between CJK characters, so a long path would otherwise run past its edge, cut mid-name.
QString wrappable(QString text)
{
    text.replace(QLatin1Char('/'), QStringLiteral("/\u200B"));
    text.replace(QLatin1Char('\\'), QStringLiteral("\\\u200B"));
    return text;
}

// Whether a file can be opened for reading, and why not.
std::optional<QString> unreadableReason(const QString& path)
{
    // A named pipe given here would hold the dialog until something wrote to it.
    QFile file;
    QString reason;
    if (!platform::openRegularFile(file, path, &reason))
        return reason;
    return std::nullopt;
}

// Tabs with less blank around their titles: with the style's own, the four titles need more
// than the dialog's width, and the last would hide behind scroll arrows.
class CompactTabStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;
    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override
    {
        const int value = QProxyStyle::pixelMetric(metric, option, widget);
        return metric == PM_TabBarTabHSpace ? value / 2 : value;
    }
};

} // namespace

frmBulkSet::frmBulkSet(const QString& appDir, QWidget* parent) : QDialog(parent), m_appDir(appDir)
{
    setObjectName(QStringLiteral("frmBulkSet"));
    setWindowTitle(QStringLiteral("ＫＥＺ－ＭＡＩＬＥＲ　配信オプション"));
    setModal(true);
    setFont(shell::pGothicFont(9));
    buildControls();

    connect(OkCommand, &QPushButton::clicked, this, &frmBulkSet::OkCommand_Click);
    connect(CancelCommand, &QPushButton::clicked, this, &frmBulkSet::CancelCommand_Click);
    connect(chkSuppress, &QCheckBox::stateChanged, this, &frmBulkSet::chkSuppress_Click);
    connect(chkDkim, &QCheckBox::stateChanged, this, &frmBulkSet::chkDkim_Click);
    connect(cmdSuppressPath, &QPushButton::clicked, this, &frmBulkSet::cmdSuppressPath_Click);
    connect(cmdDkimKey, &QPushButton::clicked, this, &frmBulkSet::cmdDkimKey_Click);
    connect(cmdCopyDns, &QPushButton::clicked, this, &frmBulkSet::cmdCopyDns_Click);
    for (QLineEdit* edit : {txtDkimDomain, txtDkimSelector, txtDkimKey})
        connect(edit, &QLineEdit::textChanged, this, &frmBulkSet::ShowDnsRecord);

    Form_Load();
}

void frmBulkSet::buildControls()
{
    // The options of old on the first tab, as they were laid out; the tab bar takes 480 twips.
    setFixedSize(shell::twipsToPixels(this, 10080), shell::twipsToPixels(this, 8880));
    const QFont boxFont = shell::gothicFont(9);
    tabOptions = new QTabWidget(this);
    tabOptions->setObjectName(QStringLiteral("tabOptions"));
    placeTwips(tabOptions, 60, 60, 9960, 8160);
    auto* tabStyle = new CompactTabStyle;
    tabStyle->setParent(this);
    tabOptions->tabBar()->setStyle(tabStyle);
    pagBasic = new QWidget;
    pagBasic->setObjectName(QStringLiteral("pagBasic"));
    tabOptions->addTab(pagBasic, QStringLiteral("配信停止と署名(&1)"));
    pagIntake = new QWidget;
    pagIntake->setObjectName(QStringLiteral("pagIntake"));
    tabOptions->addTab(pagIntake, QStringLiteral("バウンス・配信停止の取り込み(&2)"));
    pagPace = new QWidget;
    pagPace->setObjectName(QStringLiteral("pagPace"));
    tabOptions->addTab(pagPace, QStringLiteral("宛先ドメインごとの配信ペース(&3)"));
    pagFooter = new QWidget;
    pagFooter->setObjectName(QStringLiteral("pagFooter"));
    tabOptions->addTab(pagFooter, QStringLiteral("表示事項（フッター）(&4)"));

    // Unsubscribe.
    Frame1 = makeFrame(pagBasic, "Frame1", QStringLiteral("配信停止の案内 (List-Unsubscribe)"));
    placeTwips(Frame1, 120, 120, 9720, 1620);
    lblUnsubMailto = makeLabel(Frame1, "lblUnsubMailto", QStringLiteral("配信停止用メール(&M)"));
    placeTwips(lblUnsubMailto, 120, 330, 2160, 270);
    txtUnsubMailto = makeEdit(Frame1, "txtUnsubMailto");
    placeTwips(txtUnsubMailto, 2340, 300, 7260, 300);
    lblUnsubUrl = makeLabel(Frame1, "lblUnsubUrl", QStringLiteral("配信停止用URL(&U)"));
    placeTwips(lblUnsubUrl, 120, 690, 2160, 270);
    txtUnsubUrl = makeEdit(Frame1, "txtUnsubUrl");
    placeTwips(txtUnsubUrl, 2340, 660, 7260, 300);
    lblUnsubNote = makeNote(
        Frame1, "lblUnsubNote",
        QStringLiteral("例: mailto:stop@example.jp?subject=stop%20{address}　"
                       "https://example.jp/stop?a={address}\n"
                       "{address} は宛先のアドレスに置き換わります。URLを入れると、ワンクリック"
                       "での配信停止にも対応します。"));
    placeTwips(lblUnsubNote, 120, 1020, 9480, 540);
    lblUnsubMailto->setBuddy(txtUnsubMailto);
    lblUnsubUrl->setBuddy(txtUnsubUrl);

    // Bulk headers.
    Frame2 = makeFrame(pagBasic, "Frame2", QStringLiteral("ヘッダー"));
    placeTwips(Frame2, 120, 1830, 9720, 930);
    chkPrecedence = makeCheck(Frame2, "chkPrecedence",
                              QStringLiteral("配信メールとテスト送信に「Precedence: bulk」を付ける"
                                             "(&P)"));
    placeTwips(chkPrecedence, 120, 300, 9480, 270);
    chkAutoSubmitted = makeCheck(
        Frame2, "chkAutoSubmitted",
        QStringLiteral("開始・終了の通知に「Auto-Submitted: auto-generated」を付ける(&A)"));
    placeTwips(chkAutoSubmitted, 120, 600, 9480, 270);

    // Suppression.
    Frame3 = makeFrame(pagBasic, "Frame3", QStringLiteral("配信停止リスト"));
    placeTwips(Frame3, 120, 2850, 9720, 1320);
    chkSuppress = makeCheck(Frame3, "chkSuppress",
                            QStringLiteral("配信停止リストにあるアドレスには送信しない(&S)"));
    placeTwips(chkSuppress, 120, 300, 9480, 270);
    lblSuppressPath =
        makeLabel(Frame3, "lblSuppressPath", QStringLiteral("リストファイルのパス(&L)"));
    placeTwips(lblSuppressPath, 120, 630, 2160, 270);
    txtSuppressPath = makeEdit(Frame3, "txtSuppressPath");
    placeTwips(txtSuppressPath, 2340, 600, 6780, 300);
    cmdSuppressPath = makeButton(Frame3, "cmdSuppressPath", QStringLiteral("...."));
    placeTwips(cmdSuppressPath, 9180, 600, 420, 300);
    chkOncePerRun = makeCheck(Frame3, "chkOncePerRun",
                              QStringLiteral("同じ配信では同じアドレスに１通だけ送る(&N)"));
    placeTwips(chkOncePerRun, 120, 960, 9480, 270);
    lblSuppressPath->setBuddy(txtSuppressPath);

    // DKIM.
    Frame4 = makeFrame(pagBasic, "Frame4", QStringLiteral("DKIM署名"));
    placeTwips(Frame4, 120, 4260, 9720, 3300);
    chkDkim = makeCheck(Frame4, "chkDkim", QStringLiteral("すべてのメールにDKIM署名をする(&K)"));
    placeTwips(chkDkim, 120, 300, 9480, 270);
    lblDkimDomain = makeLabel(Frame4, "lblDkimDomain", QStringLiteral("署名ドメイン d=(&D)"));
    placeTwips(lblDkimDomain, 120, 630, 2160, 270);
    txtDkimDomain = makeEdit(Frame4, "txtDkimDomain");
    placeTwips(txtDkimDomain, 2340, 600, 3300, 300);
    lblDkimSelector = makeLabel(Frame4, "lblDkimSelector", QStringLiteral("セレクター s=(&E)"));
    placeTwips(lblDkimSelector, 5760, 630, 1560, 270);
    txtDkimSelector = makeEdit(Frame4, "txtDkimSelector");
    placeTwips(txtDkimSelector, 7380, 600, 2220, 300);
    lblDkimKey = makeLabel(Frame4, "lblDkimKey", QStringLiteral("秘密鍵ファイル(&F)"));
    placeTwips(lblDkimKey, 120, 990, 2160, 270);
    txtDkimKey = makeEdit(Frame4, "txtDkimKey");
    placeTwips(txtDkimKey, 2340, 960, 6780, 300);
    cmdDkimKey = makeButton(Frame4, "cmdDkimKey", QStringLiteral("...."));
    placeTwips(cmdDkimKey, 9180, 960, 420, 300);
    lblDnsName =
        makeLabel(Frame4, "lblDnsName", QStringLiteral("DNSに登録するTXTレコード（名前と値）(&T)"));
    placeTwips(lblDnsName, 120, 1350, 9480, 270);
    txtDnsName = makeEdit(Frame4, "txtDnsName");
    placeTwips(txtDnsName, 120, 1620, 9480, 300);
    txtDnsValue = makeEdit(Frame4, "txtDnsValue");
    placeTwips(txtDnsValue, 120, 1950, 8280, 300);
    cmdCopyDns = makeButton(Frame4, "cmdCopyDns", QStringLiteral("コピー(&C)"));
    placeTwips(cmdCopyDns, 8460, 1950, 1140, 300);
    // Room for four lines: a refused key's message names the file and the reason.
    lblDkimStatus = makeNote(Frame4, "lblDkimStatus", QString());
    placeTwips(lblDkimStatus, 120, 2280, 9480, 960);
    lblDkimDomain->setBuddy(txtDkimDomain);
    lblDkimSelector->setBuddy(txtDkimSelector);
    lblDkimKey->setBuddy(txtDkimKey);
    lblDnsName->setBuddy(txtDnsName);
    // Shown to be copied, never typed into.
    for (QLineEdit* edit : {txtDnsName, txtDnsValue}) {
        edit->setReadOnly(true);
        shell::setBackground(edit, QColor(224, 224, 224));
    }

    for (QLineEdit* edit : {txtUnsubMailto, txtUnsubUrl, txtSuppressPath, txtDkimDomain,
                            txtDkimSelector, txtDkimKey, txtDnsName, txtDnsValue})
        edit->setFont(boxFont);
    // Addresses, URLs and DNS names are typed in half-width characters.
    for (QLineEdit* edit : {txtUnsubMailto, txtUnsubUrl, txtDkimDomain, txtDkimSelector})
        imeOff(edit);

    buildIntakePage();
    buildPacePage();
    buildFooterPage();

    lblFileState = makeNote(this, "lblFileState", QString());
    placeTwips(lblFileState, 120, 8250, 6720, 540);
    CancelCommand = makeButton(this, "CancelCommand", QStringLiteral("中　止"));
    placeTwips(CancelCommand, 7080, 8310, 1320, 420);
    OkCommand = makeButton(this, "OkCommand", QStringLiteral("設　定"));
    placeTwips(OkCommand, 8520, 8310, 1320, 420);

    shell::setTabChain({txtUnsubMailto, txtUnsubUrl, chkPrecedence, chkAutoSubmitted, chkSuppress,
                        txtSuppressPath, cmdSuppressPath, chkOncePerRun, chkDkim, txtDkimDomain,
                        txtDkimSelector, txtDkimKey, cmdDkimKey, txtDnsName, txtDnsValue,
                        cmdCopyDns, CancelCommand, OkCommand});
    txtUnsubMailto->setFocus();
}

void frmBulkSet::buildPacePage()
{
    Frame6 = makeFrame(pagPace, "Frame6", QStringLiteral("宛先ドメインごとの配信ペース"));
    placeTwips(Frame6, 120, 120, 9720, 7440);
    ctlPaceRules = new PaceRulesEditor(Frame6);
    ctlPaceRules->setObjectName(QStringLiteral("ctlPaceRules"));
    auto* layout = new QVBoxLayout(Frame6);
    layout->addWidget(ctlPaceRules);
}

void frmBulkSet::Form_Load()
{
    aMain_sMail::CenterForm(this);

    const bulk::LoadedBulkSettings loaded = bulk::LoadBulkSettings(m_appDir);
    // A damaged file shows what its readable lines hold, so that a save does not wipe the
    // operator's addresses, paths and DKIM settings; a missing one shows what saving would
    // switch on.
    const bulk::BulkSettings s =
        loaded.state == bulk::BulkFileState::Missing ? bulk::DialogDefaults() : loaded.settings;
    m_keptSettings = s;
    switch (loaded.state) {
    case bulk::BulkFileState::Loaded: break;
    case bulk::BulkFileState::Missing:
        lblFileState->setText(QStringLiteral("配信オプションは未保存です（今は同じアドレスへの"
                                             "１通だけが有効）。「設　定」で保存すると、この内容"
                                             "で有効になります。"));
        break;
    case bulk::BulkFileState::Unreadable:
        m_damaged = true;
        m_loadProblem =
            QStringLiteral("配信オプションのファイルを読み込めませんでした。\n%1\n%2\n"
                           "読み込めた値だけを表示しています。直して保存するまで、"
                           "配信とテスト送信はできません。")
                .arg(QDir::toNativeSeparators(bulk::BulkFilePath(m_appDir)), loaded.reason);
        lblFileState->setText(
            QStringLiteral("ファイルが壊れています（問題%1件）。読み込めた値だけを表示して"
                           "います。確かめて「設　定」で保存して下さい。")
                .arg(loaded.problems.size()));
        shell::setForeground(lblFileState, Qt::red);
        break;
    }

    txtUnsubMailto->setText(s.unsubscribeMailto);
    txtUnsubUrl->setText(s.unsubscribeUrl);
    chkPrecedence->setChecked(s.precedenceBulk);
    chkAutoSubmitted->setChecked(s.autoSubmitted);
    chkSuppress->setChecked(s.suppress);
    txtSuppressPath->setText(s.suppressionPath);
    chkOncePerRun->setChecked(s.oncePerRun);
    chkDkim->setChecked(s.dkim);
    txtDkimDomain->setText(s.dkimDomain);
    txtDkimSelector->setText(s.dkimSelector);
    txtDkimKey->setText(s.dkimKeyPath);

    loadIntake(s);
    ctlPaceRules->setRules(s.paceRules);
    txtFooter->setPlainText(s.footer);

    SetSuppressEnabled();
    SetDkimEnabled();
    ShowDnsRecord();
}

void frmBulkSet::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_loadProblem.isEmpty() || m_problemShown)
        return;
    m_problemShown = true;
    platform::msgBox(this, m_loadProblem, platform::MsgIcon::Exclamation);
}

void frmBulkSet::SetSuppressEnabled()
{
    const bool on = chkSuppress->isChecked();
    txtSuppressPath->setEnabled(on);
    cmdSuppressPath->setEnabled(on);
}

void frmBulkSet::SetDkimEnabled()
{
    const bool on = chkDkim->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(txtDkimDomain), static_cast<QWidget*>(txtDkimSelector),
                       static_cast<QWidget*>(txtDkimKey), static_cast<QWidget*>(cmdDkimKey)})
        w->setEnabled(on);
}

void frmBulkSet::chkSuppress_Click()
{
    SetSuppressEnabled();
    ShowIntakeState();
}

void frmBulkSet::chkDkim_Click()
{
    SetDkimEnabled();
}

void frmBulkSet::ShowDnsRecord()
{
    const QString domain = compose::TrimSpaces(txtDkimDomain->text());
    const QString selector = compose::TrimSpaces(txtDkimSelector->text());
    const QString keyPath = compose::TrimSpaces(txtDkimKey->text());
    txtDnsName->clear();
    txtDnsValue->clear();
    cmdCopyDns->setEnabled(false);
    auto status = [this](const QString& text, bool problem) {
        lblDkimStatus->setText(text);
        shell::setForeground(lblDkimStatus,
                             problem ? Qt::red : palette().color(QPalette::WindowText));
    };
    if (domain.isEmpty() || selector.isEmpty() || keyPath.isEmpty()) {
        status(QStringLiteral("署名ドメイン、セレクター、秘密鍵ファイルを入れると、登録する"
                              "レコードを表示します。"),
               false);
        return;
    }
    QString problem;
    if (!bulk::CheckDkimDomain(domain, &problem) || !bulk::CheckDkimSelector(selector, &problem)) {
        status(problem, true);
        return;
    }
    QString error;
    const std::optional<bulk::DkimKey> key = bulk::ReadDkimKey(keyPath, &error);
    if (!key) {
        status(wrappable(error.replace(QLatin1Char('\n'), QLatin1Char(' '))), true);
        return;
    }
    txtDnsName->setText(bulk::DnsRecordName(selector, domain));
    txtDnsValue->setText(bulk::DnsRecordValue(*key));
    txtDnsName->setCursorPosition(0);
    txtDnsValue->setCursorPosition(0);
    cmdCopyDns->setEnabled(true);
    status(key->algorithm == bulk::DkimAlgorithm::Ed25519
               ? QStringLiteral("Ed25519 の鍵です。Ed25519 の署名を確かめない受信側も多いため、"
                                "RSA 鍵をお勧めします。")
               : QStringLiteral("RSA %1ビットの鍵です。").arg(key->bits),
           false);
}

void frmBulkSet::cmdSuppressPath_Click()
{
    const platform::OpenFileRequest request{platform::kHideReadOnly,
                                            m_appDir + QStringLiteral("/csv"), kListFilter};
    if (const std::optional<QString> chosen = platform::chooseFile(this, request, m_appDir))
        txtSuppressPath->setText(compose::TrimSpaces(*chosen));
}

void frmBulkSet::cmdDkimKey_Click()
{
    const platform::OpenFileRequest request{platform::kHideReadOnly,
                                            m_appDir + QStringLiteral("/ini"), kKeyFilter};
    if (const std::optional<QString> chosen = platform::chooseFile(this, request, m_appDir))
        txtDkimKey->setText(compose::TrimSpaces(*chosen));
}

void frmBulkSet::cmdCopyDns_Click()
{
    if (!txtDnsValue->text().isEmpty())
        QApplication::clipboard()->setText(txtDnsValue->text());
}

void frmBulkSet::OkCommand_Click()
{
    // Starts from the file's values, so a key without a box (JOURNALDAYS) keeps its value.
    bulk::BulkSettings s = m_keptSettings;
    s.unsubscribeMailto = compose::TrimSpaces(txtUnsubMailto->text());
    s.unsubscribeUrl = compose::TrimSpaces(txtUnsubUrl->text());
    s.precedenceBulk = chkPrecedence->isChecked();
    s.autoSubmitted = chkAutoSubmitted->isChecked();
    s.suppress = chkSuppress->isChecked();
    s.suppressionPath = compose::TrimSpaces(txtSuppressPath->text());
    s.oncePerRun = chkOncePerRun->isChecked();
    s.dkim = chkDkim->isChecked();
    s.dkimDomain = compose::TrimSpaces(txtDkimDomain->text());
    s.dkimSelector = compose::TrimSpaces(txtDkimSelector->text());
    s.dkimKeyPath = compose::TrimSpaces(txtDkimKey->text());

    // Checks in the order of the boxes; the first that fails says why and takes the focus
    // to its box.
    auto refuse = [this](const QString& message, QWidget* focus) {
        platform::msgBox(this, message, platform::MsgIcon::Exclamation);
        focus->setFocus();
    };
    QString problem;
    if (!bulk::CheckMailtoTemplate(s.unsubscribeMailto, &problem))
        return refuse(problem, txtUnsubMailto);
    if (!bulk::CheckUrlTemplate(s.unsubscribeUrl, &problem))
        return refuse(problem, txtUnsubUrl);
    if (s.suppress) {
        if (s.suppressionPath.isEmpty())
            return refuse(QStringLiteral("配信停止リストのパスが入力されていません。"),
                          txtSuppressPath);
        if (const std::optional<QString> reason = unreadableReason(s.suppressionPath))
            return refuse(QStringLiteral("配信停止リストを読み込めませんでした。\n%1\n%2")
                              .arg(QDir::toNativeSeparators(s.suppressionPath), *reason),
                          txtSuppressPath);
    }
    if (s.dkim) {
        if (s.dkimDomain.isEmpty())
            return refuse(QStringLiteral("DKIMの署名ドメインが入力されていません。"),
                          txtDkimDomain);
        if (!bulk::CheckDkimDomain(s.dkimDomain, &problem))
            return refuse(problem, txtDkimDomain);
        if (!bulk::CheckDkimAlignment(s.dkimDomain, aMain_sMail::Settings.MAIL, &problem))
            return refuse(problem, txtDkimDomain);
        if (s.dkimSelector.isEmpty())
            return refuse(QStringLiteral("DKIMのセレクターが入力されていません。"),
                          txtDkimSelector);
        if (!bulk::CheckDkimSelector(s.dkimSelector, &problem))
            return refuse(problem, txtDkimSelector);
        if (s.dkimKeyPath.isEmpty())
            return refuse(QStringLiteral("DKIMの秘密鍵ファイルのパスが入力されていません。"),
                          txtDkimKey);
        // The same check as the start of a run: a key the signer cannot use is refused now.
        QString error;
        if (!bulk::DkimSigner::create(s.dkimDomain, s.dkimSelector, s.dkimKeyPath, &error))
            return refuse(error, txtDkimKey);
    }

    if (!takeIntake(s))
        return;
    std::optional<QList<pacing::PaceRule>> rules = ctlPaceRules->rules(&problem);
    if (!rules) {
        // The editor made the bad row current; its table takes the focus.
        tabOptions->setCurrentWidget(pagPace);
        return refuse(problem, ctlPaceRules->tblPaceRules);
    }
    s.paceRules = std::move(*rules);
    if (!takeFooter(s))
        return;

    // What the file held beyond the lines it could read is lost by a save.
    if (m_damaged &&
        platform::msgBox(this,
                         QStringLiteral("配信オプションのファイルは一部しか読み込めませんでした。\n"
                                        "%1\n読み込めなかった行は失われます。"
                                        "画面の内容で上書きしますか？")
                             .arg(QDir::toNativeSeparators(bulk::BulkFilePath(m_appDir))),
                         platform::MsgIcon::Question,
                         platform::MsgButtons::YesNoDefaultNo) != platform::MsgAnswer::Yes)
        return;

    bulk::BulkSaveError error;
    if (!bulk::SaveBulkSettings(m_appDir, s, &error)) {
        platform::msgBox(this, error.message, platform::MsgIcon::Critical);
        shell::focusBoxOfKey(error.key, {{"UNSUBMAILTO", txtUnsubMailto},
                                         {"UNSUBURL", txtUnsubUrl},
                                         {"SUPPRESSPATH", txtSuppressPath},
                                         {"DKIMDOMAIN", txtDkimDomain},
                                         {"DKIMSELECTOR", txtDkimSelector},
                                         {"DKIMKEY", txtDkimKey},
                                         {"INTAKEPOP", txtIntakeServer},
                                         {"INTAKEUSER", txtIntakeUser},
                                         {"INTAKEPAS", txtIntakePass}});
        if (error.key == QLatin1String("FOOTER")) {
            tabOptions->setCurrentWidget(pagFooter);
            txtFooter->setFocus();
        }
        return;
    }
    accept();
}

void frmBulkSet::CancelCommand_Click()
{
    reject();
}

void frmBulkSet::keyPressEvent(QKeyEvent* event)
{
    if (!shell::takeEnterInBox(event))
        QDialog::keyPressEvent(event);
}
