#include "gui/results_window/frm_results.h"

#include "core/platform/clock.h"
#include "gui/platform/file_dialogs.h"
#include "gui/platform/message_boxes.h"
#include "gui/results_window/delivery_chart.h"
#include "gui/widgets/center_form.h"
#include "gui/widgets/controls.h"
#include "gui/widgets/fonts.h"
#include "gui/widgets/twips.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QTableView>

using journal::MailState;
using shell::makeButton;
using shell::makeCheck;
using shell::makeLabel;
using shell::placeTwips;

namespace shell {

// Rows of text for a table view. A view asks only for the rows it shows, so a list of tens of
// thousands of failed addresses opens as fast as one of ten.
class RowsModel : public QAbstractTableModel
{
public:
    RowsModel(QStringList headers, QList<int> rightAligned, QObject* parent)
        : QAbstractTableModel(parent), m_headers(std::move(headers)),
          m_rightAligned(std::move(rightAligned))
    {
    }

    void setRows(QList<QStringList> rows)
    {
        beginResetModel();
        m_rows = std::move(rows);
        endResetModel();
    }

    int rowCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_rows.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_headers.size());
    }
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid())
            return {};
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
            return m_rows.at(index.row()).value(index.column());
        if (role == Qt::TextAlignmentRole && m_rightAligned.contains(index.column()))
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
            return m_headers.value(section);
        return {};
    }

private:
    QStringList m_headers;
    QList<int> m_rightAligned;
    QList<QStringList> m_rows;
};

} // namespace shell

namespace {

const QString kStoredTime = QStringLiteral("yyyy-MM-ddTHH:mm:ss");

QString shownTime(const QString& stored)
{
    return journal::displayTime(stored, false);
}

QString number(qint64 n)
{
    return QString::number(n);
}

QTableView* makeTable(QWidget* parent, const char* name, shell::RowsModel* model)
{
    auto* view = new QTableView(parent);
    view->setObjectName(QString::fromLatin1(name));
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab leaves the table as it leaves every other control; the arrows move within it.
    view->setTabKeyNavigation(false);
    view->setWordWrap(false);
    view->setAlternatingRowColors(true);
    view->verticalHeader()->hide();
    // Rows as tight as the text allows, so that ten domains show without scrolling.
    view->verticalHeader()->setMinimumSectionSize(1);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
    // Rows of one height: the view then lays out tens of thousands of them without measuring.
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->horizontalHeader()->setStretchLastSection(true);
    view->horizontalHeader()->setHighlightSections(false);
    return view;
}

} // namespace

frmResults::frmResults(const QString& appDir, QWidget* parent) : QDialog(parent), m_appDir(appDir)
{
    setObjectName(QStringLiteral("frmResults"));
    setWindowTitle(QStringLiteral("ＫＥＺ－ＭＡＩＬＥＲ　配信結果"));
    setModal(true);
    setFont(shell::pGothicFont(9));
    buildControls();

    connect(cmdRetry, &QPushButton::clicked, this, &frmResults::cmdRetry_Click);
    connect(cmdCsv, &QPushButton::clicked, this, &frmResults::cmdCsv_Click);
    connect(CloseCommand, &QPushButton::clicked, this, &frmResults::CloseCommand_Click);
    connect(grdRuns->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { showRun(current.row()); });

    aMain_sMail::CenterForm(this);
    loadRuns();
}

frmResults::~frmResults() = default;

void frmResults::buildControls()
{
    setFixedSize(shell::twipsToPixels(this, 12600), shell::twipsToPixels(this, 9840));

    lblRuns = makeLabel(this, "lblRuns", QStringLiteral("配信の一覧(&N)"));
    placeTwips(lblRuns, 120, 120, 4000, 270);
    m_runsModel = new shell::RowsModel({QStringLiteral("開始"), QStringLiteral("終了"),
                                        QStringLiteral("状態"), QStringLiteral("全件数"),
                                        QStringLiteral("送信済み"), QStringLiteral("失敗"),
                                        QStringLiteral("結果不明"), QStringLiteral("件名")},
                                       {3, 4, 5, 6}, this);
    grdRuns = makeTable(this, "grdRuns", m_runsModel);
    placeTwips(grdRuns, 120, 390, 12360, 1530);

    lblCounts = makeLabel(this, "lblCounts", QString());
    placeTwips(lblCounts, 120, 2010, 12360, 270);

    picChart = new shell::DeliveryChart(this);
    picChart->setObjectName(QStringLiteral("picChart"));
    placeTwips(picChart, 120, 2370, 6120, 3780);

    lblDomains = makeLabel(this, "lblDomains", QStringLiteral("件数の多いドメイン（上位10）(&D)"));
    placeTwips(lblDomains, 6360, 2370, 6120, 270);
    m_domainsModel = new shell::RowsModel({QStringLiteral("ドメイン"), QStringLiteral("件数"),
                                           QStringLiteral("送信済み"), QStringLiteral("拒否"),
                                           QStringLiteral("一時エラー")},
                                          {1, 2, 3, 4}, this);
    grdDomains = makeTable(this, "grdDomains", m_domainsModel);
    placeTwips(grdDomains, 6360, 2640, 6120, 3510);

    lblFailed =
        makeLabel(this, "lblFailed", QStringLiteral("失敗した宛先と送信結果不明の宛先(&A)"));
    placeTwips(lblFailed, 120, 6240, 8000, 270);
    m_failedModel = new shell::RowsModel({QStringLiteral("行"), QStringLiteral("アドレス"),
                                          QStringLiteral("結果"), QStringLiteral("時刻"),
                                          QStringLiteral("サーバーの応答")},
                                         {0}, this);
    grdFailed = makeTable(this, "grdFailed", m_failedModel);
    placeTwips(grdFailed, 120, 6510, 12360, 2550);

    chkUncertain =
        makeCheck(this, "chkUncertain", QStringLiteral("送信結果不明の宛先も含める(&U)"));
    placeTwips(chkUncertain, 120, 9270, 3900, 300);
    cmdRetry = makeButton(this, "cmdRetry", QStringLiteral("失敗した宛先で再配信(&R)"));
    placeTwips(cmdRetry, 4080, 9180, 3000, 480);
    cmdCsv = makeButton(this, "cmdCsv", QStringLiteral("CSV に保存(&S)..."));
    placeTwips(cmdCsv, 7200, 9180, 2400, 480);
    CloseCommand = makeButton(this, "CloseCommand", QStringLiteral("閉じる(&C)"));
    placeTwips(CloseCommand, 11040, 9180, 1440, 480);

    lblRuns->setBuddy(grdRuns);
    lblDomains->setBuddy(grdDomains);
    lblFailed->setBuddy(grdFailed);
    // The pure column widths at the window's size; the last column takes the rest.
    const auto widths = [this](QTableView* view, std::initializer_list<int> twips) {
        int column = 0;
        for (int w : twips)
            view->setColumnWidth(column++, shell::twipsToPixels(this, w));
    };
    widths(grdRuns, {1800, 1800, 1000, 900, 1000, 800, 900});
    widths(grdDomains, {1920, 780, 960, 660});
    // The ten domains fit the width; their columns never need a scroll bar.
    grdDomains->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    widths(grdFailed, {700, 3600, 1100, 1800});

    shell::setTabChain(
        {grdRuns, grdDomains, grdFailed, chkUncertain, cmdRetry, cmdCsv, CloseCommand});
    grdRuns->setFocus();
}

void frmResults::loadRuns()
{
    const QString path = journal::JournalReport::pathIn(m_appDir);
    journal::JournalReport::OpenState state;
    QString error;
    m_report = journal::JournalReport::open(path, &state, &error);
    std::optional<QList<journal::RunRow>> runs;
    if (state == journal::JournalReport::OpenState::Opened)
        runs = m_report->runs(&error);
    else if (state == journal::JournalReport::OpenState::Missing)
        runs.emplace();
    if (!runs) {
        readFailed(error);
        return;
    }
    m_runs = *runs;
    QList<QStringList> rows;
    for (const journal::RunRow& run : m_runs) {
        rows << QStringList{
            shownTime(run.started),
            shownTime(run.ended),
            journal::runStateLabel(run.state),
            number(run.total),
            number(run.counts.of(MailState::Sent)),
            number(run.counts.of(MailState::Refused) + run.counts.of(MailState::Deferred)),
            number(run.counts.of(MailState::Uncertain) + run.counts.of(MailState::Sending)),
            run.subject};
    }
    m_runsModel->setRows(rows);
    if (m_runs.isEmpty()) {
        lblCounts->setText(QStringLiteral("配信の記録はまだありません。"));
        showRun(-1);
        return;
    }
    grdRuns->setCurrentIndex(m_runsModel->index(0, 0));
}

void frmResults::readFailed(const QString& reason)
{
    m_report.reset();
    m_runs.clear();
    m_runsModel->setRows({});
    showRun(-1);
    m_loadProblem =
        QStringLiteral("配信記録を読み込めませんでした。\n%1\n%2")
            .arg(QDir::toNativeSeparators(journal::JournalReport::pathIn(m_appDir)), reason);
    lblCounts->setText(QStringLiteral("配信記録を読み込めませんでした。"));
    shell::setForeground(lblCounts, Qt::red);
    if (isVisible()) {
        m_problemShown = true;
        platform::msgBox(this, m_loadProblem, platform::MsgIcon::Critical);
    }
}

const journal::RunRow* frmResults::selectedRun() const
{
    const int row = grdRuns->currentIndex().row();
    return row >= 0 && row < m_runs.size() ? &m_runs.at(row) : nullptr;
}

void frmResults::showRun(int row)
{
    const bool have = m_report && row >= 0 && row < m_runs.size();
    for (QWidget* w : {static_cast<QWidget*>(cmdRetry), static_cast<QWidget*>(cmdCsv),
                       static_cast<QWidget*>(chkUncertain)})
        w->setEnabled(have);
    if (!have) {
        picChart->setMinutes({});
        m_domainsModel->setRows({});
        m_failedModel->setRows({});
        return;
    }
    const journal::RunRow& run = m_runs.at(row);
    // A run of many addresses takes a moment to sum up.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QString error;
    const auto minutes = m_report->perMinute(run.id, &error);
    const auto domains = minutes ? m_report->topDomains(run.id, 10, &error) : std::nullopt;
    const auto failed = domains ? m_report->failedMails(run.id, &error) : std::nullopt;
    QApplication::restoreOverrideCursor();
    if (!failed)
        return readFailed(error);

    // The counts came with the list of runs, from the same snapshot.
    const journal::StateCounts* counts = &run.counts;
    QStringList parts;
    qint64 all = 0;
    for (MailState state :
         {MailState::Sent, MailState::Refused, MailState::Deferred, MailState::Uncertain,
          MailState::Sending, MailState::Pending, MailState::Skipped}) {
        parts << journal::mailStateLabel(state) + QLatin1Char(' ') + number(counts->of(state));
        all += counts->of(state);
    }
    lblCounts->setText(parts.join(QStringLiteral("　")) + QStringLiteral("　／全 %1件").arg(all));

    picChart->setMinutes(*minutes);
    QList<QStringList> domainRows;
    for (const journal::DomainCount& d : *domains) {
        domainRows << QStringList{
            d.domain.isEmpty() ? QStringLiteral("（ドメインなし）") : d.domain, number(d.mails),
            number(d.sent), number(d.refused), number(d.deferred)};
    }
    m_domainsModel->setRows(domainRows);
    QList<QStringList> failedRows;
    failedRows.reserve(failed->size());
    for (const journal::MailOutcome& mail : *failed) {
        // A reply of several lines shows on one.
        QString reply = mail.reply;
        reply.replace(QLatin1String("\r\n"), QLatin1String(" ")).replace(QLatin1Char('\n'), ' ');
        failedRows << QStringList{number(mail.line), mail.address,
                                  journal::mailStateLabel(mail.state), shownTime(mail.time), reply};
    }
    m_failedModel->setRows(failedRows);
}

void frmResults::cmdRetry_Click()
{
    const journal::RunRow* run = selectedRun();
    if (!run || !m_report)
        return;
    if (run->state == QLatin1String("running")) {
        platform::msgBox(this,
                         QStringLiteral("この配信はまだ終わっていないため、再配信のリストは作れま"
                                        "せん。"),
                         platform::MsgIcon::Exclamation);
        return;
    }
    if (m_listLocked && m_listLocked()) {
        platform::msgBox(this, QStringLiteral("配信中のため、宛先リストを変えられません。"),
                         platform::MsgIcon::Exclamation);
        return;
    }
    QString error;
    const std::optional<QStringList> addresses =
        m_report->retryAddresses(run->id, chkUncertain->isChecked(), &error);
    if (!addresses)
        return readFailed(error);
    if (addresses->isEmpty()) {
        platform::msgBox(this, QStringLiteral("再配信する宛先がありません。"),
                         platform::MsgIcon::Information);
        return;
    }
    const QString path = journal::retryListPath(m_appDir, platform::clock().now());
    const QString shown = QDir::toNativeSeparators(path);
    switch (journal::writeRetryList(path, *addresses, &error)) {
    case journal::RetryWrite::Exists:
        platform::msgBox(this,
                         QStringLiteral("同じ名前の再配信リストがすでにあります。上書きはしません。"
                                        "\n%1\n1分ほど待ってからもう一度押して下さい。")
                             .arg(shown),
                         platform::MsgIcon::Exclamation);
        return;
    case journal::RetryWrite::Failed:
        platform::msgBox(
            this, QStringLiteral("再配信リストを書き込めませんでした。\n%1\n%2").arg(shown, error),
            platform::MsgIcon::Critical);
        return;
    case journal::RetryWrite::Written: break;
    }
    emit retryListWritten(shown);
    platform::msgBox(this,
                     QStringLiteral("再配信リスト（%1件）を作り、宛先リストにしました。\n%2\n"
                                    "「送信」を押すと、新しい配信として送ります。")
                         .arg(addresses->size())
                         .arg(shown),
                     platform::MsgIcon::Information);
    accept();
}

void frmResults::cmdCsv_Click()
{
    const journal::RunRow* run = selectedRun();
    if (!run || !m_report)
        return;
    const QDateTime started = QDateTime::fromString(run->started, kStoredTime);
    const platform::SaveFileRequest request{
        m_appDir + QStringLiteral("/csv"),
        QStringLiteral("配信結果_%1.csv")
            .arg(started.isValid() ? started.toString(QStringLiteral("yyyyMMdd_HHmm"))
                                   : QString::number(run->id)),
        QStringLiteral("CSV(*.csv)|*.csv"), QStringLiteral("csv")};
    const std::optional<QString> chosen = platform::chooseSaveFile(this, request, m_appDir);
    if (!chosen)
        return;
    QString error;
    if (!journal::writeOutcomesCsv(*m_report, run->id, *chosen, &error)) {
        platform::msgBox(this,
                         QStringLiteral("CSVファイルを書き込めませんでした。\n%1\n%2")
                             .arg(QDir::toNativeSeparators(*chosen), error),
                         platform::MsgIcon::Critical);
        return;
    }
    platform::msgBox(
        this,
        QStringLiteral("CSVファイルに保存しました。\n%1").arg(QDir::toNativeSeparators(*chosen)),
        platform::MsgIcon::Information);
}

void frmResults::CloseCommand_Click()
{
    reject();
}

void frmResults::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_loadProblem.isEmpty() || m_problemShown)
        return;
    m_problemShown = true;
    platform::msgBox(this, m_loadProblem, platform::MsgIcon::Critical);
}

void frmResults::keyPressEvent(QKeyEvent* event)
{
    if (!shell::takeEnterInBox(event))
        QDialog::keyPressEvent(event);
}
