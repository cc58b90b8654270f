#include "gui/info/frm_ver.h"

#include "core/info/web_links.h"
#include "gui/icon/app_icon.h"
#include "gui/info/err_mail_err_form.h"
#include "gui/widgets/center_form.h"
#include "gui/widgets/fonts.h"
#include "gui/widgets/twips.h"

#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStringList>

using shell::placeTwips;

namespace {

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    return label;
}

void setTextColor(QWidget* widget, const QColor& color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

// A label that breaks its line at a lone carriage return, as the message of this dialog has
// always been written; Qt's own labels break only at a line feed.
class CrBreakLabel final : public QLabel
{
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        QString shown = text();
        shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        painter.drawText(contentsRect(), int(alignment()) | Qt::TextWordWrap, shown);
    }
};

// An embossed text: the shadow copy is created first, so the top copy paints over it.
void emboss(QLabel* shadow, QLabel* top, const QFont& font, const QColor& shadowColor,
            const QColor& topColor)
{
    for (QLabel* label : {shadow, top})
        label->setFont(font);
    setTextColor(shadow, shadowColor);
    setTextColor(top, topColor);
    top->raise();
}

} // namespace

frmVer::frmVer(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmVer"));
    setWindowTitle(QStringLiteral("ＫＥＺ－ＭＡＩＬＥＲ　バージョン情報"));
    setFont(shell::pGothicFont(9));
    setFixedSize(shell::twipsToPixels(this, 6600), shell::twipsToPixels(this, 3660));

    picIcon = makeLabel(this, "picIcon", QString());
    placeTwips(picIcon, 240, 240, 540, 540);
    picIcon->setPixmap(shell::applicationIcon().pixmap(picIcon->size()));
    picIcon->setAlignment(Qt::AlignCenter);

    const QString title = QStringLiteral("ＫＥＺ－ＭＡＩＬＥＲ");
    lblTitleShadow = makeLabel(this, "lblTitleShadow", title);
    placeTwips(lblTitleShadow, 960 + 60, 180 + 30, 5400, 525);
    lblTitle = makeLabel(this, "lblTitle", title);
    placeTwips(lblTitle, 960, 180, 5400, 525);
    QFont titleFont = shell::pGothicFont(20);
    titleFont.setBold(true);
    emboss(lblTitleShadow, lblTitle, titleFont, QColor(0, 100, 0), QColor(144, 238, 144));

    const QString version = QStringLiteral("Ｖｅｒ　a1.10");
    lblVerShadow = makeLabel(this, "lblVerShadow", version);
    placeTwips(lblVerShadow, 960 + 15, 780 + 30, 2100, 330);
    lblVer = makeLabel(this, "lblVer", version);
    placeTwips(lblVer, 960, 780, 2100, 330);
    QFont versionFont = shell::pGothicFont(12);
    versionFont.setBold(true);
    emboss(lblVerShadow, lblVer, versionFont, Qt::black, Qt::white);

    lblSince = makeLabel(this, "lblSince", QStringLiteral("ＳＩＮＣＥ　2003/03/01"));
    placeTwips(lblSince, 3240, 840, 2220, 255);

    lblMaker1 = makeLabel(this, "lblMaker1", QStringLiteral("制作"));
    placeTwips(lblMaker1, 960, 1230, 900, 255);
    lblMaker2 = makeLabel(this, "lblMaker2", QStringLiteral("ＫＥＺ－ＭＡＩＬ　プロジェクト"));
    placeTwips(lblMaker2, 1860, 1230, 4500, 255);

    lblMsg = new CrBreakLabel(this);
    lblMsg->setObjectName(QStringLiteral("lblMsg"));
    lblMsg->setTextFormat(Qt::PlainText);
    placeTwips(lblMsg, 240, 1620, 6120, 555);
    lblMsg->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    lblUrl = makeLabel(this, "lblUrl", QStringLiteral("URL"));
    placeTwips(lblUrl, 240, 2280, 480, 255);
    lblKezMailUrl = makeLabel(this, "lblKezMailUrl", QString());
    placeTwips(lblKezMailUrl, 720, 2280, 5640, 255);
    setTextColor(lblKezMailUrl, Qt::blue);
    lblKezMailUrl->setCursor(Qt::PointingHandCursor);
    lblKezMailUrl->installEventFilter(this);

    Line1 = new QFrame(this);
    Line1->setObjectName(QStringLiteral("Line1"));
    Line1->setFrameShape(QFrame::HLine);
    Line1->setFrameShadow(QFrame::Sunken);
    placeTwips(Line1, 240, 2700, 6120, 30);

    cmdEnd = new QPushButton(QStringLiteral("ＯＫ"), this);
    cmdEnd->setObjectName(QStringLiteral("cmdEnd"));
    placeTwips(cmdEnd, 2610, 2940, 1380, 420);
    cmdEnd->setDefault(true);
    connect(cmdEnd, &QPushButton::clicked, this, &frmVer::cmdEnd_Click);

    Form_Load();
}

void frmVer::Form_Load()
{
    const QString message = QStringLiteral("ＫＥＺ－ＭＡＩＬＥＲのホームページ（下記ＵＲＬ）で") +
                            QLatin1Char('\r') +
                            QStringLiteral("操作説明等の最新情報を参照できます。");
    aMain_sMail::CenterForm(this);
    lblMsg->setText(message);

    QFont urlFont = shell::pGothicFont(9);
    QStringList families = urlFont.families();
    families.prepend(QStringLiteral("ＭＳ　Ｐゴシック"));
    urlFont.setFamilies(families);
    urlFont.setUnderline(true);
    lblKezMailUrl->setFont(urlFont);
    lblKezMailUrl->setText(info::infoPageUrl());
}

bool frmVer::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == lblKezMailUrl && event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        lblKezMailUrl_Click();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void frmVer::lblKezMailUrl_Click()
{
    info::openInBrowserOrReport(this, QStringLiteral("lblKezMailUrl_Click"), lblKezMailUrl->text());
}

void frmVer::cmdEnd_Click()
{
    accept();
}
