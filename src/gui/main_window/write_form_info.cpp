#include "gui/main_window/write_form.h"

#include "core/info/web_links.h"
#include "gui/info/err_mail_err_form.h"
#include "gui/info/frm_ver.h"

#include <QAction>

void WriteForm::connectInfo()
{
    connect(mnEtc_Ver, &QAction::triggered, this, &WriteForm::mnEtc_Ver_Click);
    connect(mnEtc_Bbs, &QAction::triggered, this, &WriteForm::mnEtc_Bbs_Click);
}

void WriteForm::mnEtc_Ver_Click()
{
    if (m_unloaded)
        return;
    frmVer dialog(this);
    dialog.exec();
}

void WriteForm::mnEtc_Bbs_Click()
{
    if (m_unloaded)
        return;
    info::openInBrowserOrReport(this, QStringLiteral("mnEtc_Bbs_Click"), info::bbsPageUrl());
}
