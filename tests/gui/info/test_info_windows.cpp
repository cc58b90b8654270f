#include "fakes.h"
#include "gui_fakes.h"
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include "core/info/web_links.h"
#include "core/settings/a_main_smail.h"
#include "gui/info/err_mail_err_form.h"
#include "gui/info/frm_ver.h"
#include "gui/main_window/write_form.h"
#include "gui/widgets/twips.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

using testing_support::MainWindowFixture;
using testing_support::NextDialog;
using testing_support::ScopedFakeLauncher;
using testing_support::ScopedGuiFakes;

namespace {

#if defined(Q_OS_WIN)
const QString kBrowser = "C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE";
#elif defined(Q_OS_MACOS)
const QString kBrowser = "open";
#else
const QString kBrowser = "xdg-open";
#endif

QPoint centred(const QWidget* window)
{
    const QRect screen = window->screen()->geometry();
    // Centred as it loads, before it is shown: its frame is not known yet, so its own size
    // stands for the outer size.
    const QSize outer = window->size();
    return {screen.x() + qRound((screen.width() - outer.width()) / 2.0),
            screen.y() + qRound((screen.height() - outer.height()) / 2.0)};
}

struct NoticeSeen
{
    bool shown = false;
    QString caption, line1, line2, line3;
};

// Reads the error notice's three lines and closes it with its button.
std::function<void(ErrMailErr_Form&)> readNotice(NoticeSeen* seen)
{
    return [seen](ErrMailErr_Form& notice) {
        seen->shown = true;
        seen->caption = notice.windowTitle();
        seen->line1 = notice.Label1->text();
        seen->line2 = notice.Label2->text();
        seen->line3 = notice.Label3->text();
        notice.cmdEnd->click();
    };
}

} // namespace

class TestInfoWindows : public QObject
{
    Q_OBJECT
private slots:
    void init() { aMain_sMail::ResetProcessState(); }
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void urlsShareOneHost()
    {
        QCOMPARE(info::infoPageUrl(), QString(info::kWebHost) + "/~kez-mail/kezmailer/index.html");
        QCOMPARE(info::bbsPageUrl(),
                 QString(info::kWebHost) + "/~kez-mail/kezmailergate/kezmailergate.cgi");
        QVERIFY(QString(info::kWebHost).startsWith("http://"));
    }

    void boardMenuStartsTheBrowser()
    {
        ScopedFakeLauncher launcher;
        MainWindowFixture window;
        WriteForm& form = *window.form;

        form.mnEtc_Bbs->trigger();
        QCOMPARE(launcher->launches.size(), size_t(1));
        QCOMPARE(launcher->launches[0].program, kBrowser);
        QCOMPARE(launcher->launches[0].args, QStringList{info::bbsPageUrl()});
        QVERIFY(aMain_sMail::ErrProcName.isEmpty());
        QVERIFY(QApplication::activeModalWidget() == nullptr);
    }

    void failedBoardStartShowsTheNotice()
    {
        ScopedFakeLauncher launcher;
        MainWindowFixture window;
        WriteForm& form = *window.form;
        launcher->failWith = "No such file or directory";

        NoticeSeen seen;
        NextDialog<ErrMailErr_Form> notice(readNotice(&seen));
        form.mnEtc_Bbs->trigger();
        QVERIFY(seen.shown);
        QCOMPARE(seen.caption, QString("ＫＥＺ－ＭＡＩＬＥＲ　ＥＲＲ"));
        QCOMPARE(seen.line1, QString("mnEtc_Bbs_Click"));
        QCOMPARE(seen.line2, QString("エラーが発生しました。"));
        QCOMPARE(seen.line3, "No such file or directory\n" + info::bbsPageUrl());
        QCOMPARE(aMain_sMail::ErrProcName, QString("mnEtc_Bbs_Click"));
        QCOMPARE(aMain_sMail::ErrDescription, "No such file or directory\n" + info::bbsPageUrl());
        QVERIFY(!form.isUnloaded());
    }

    void versionDialog()
    {
        ScopedFakeLauncher launcher;
        MainWindowFixture window;
        WriteForm& form = *window.form;

        bool shown = false;
        QString message, url, urlFamily, caption;
        bool underlined = false;
        QPoint titleOffset, versionOffset, place, placeExpected;
        auto first = std::make_unique<NextDialog<frmVer>>([&](frmVer& dialog) {
            frmVer* ver = &dialog;
            shown = true;
            caption = ver->windowTitle();
            message = ver->lblMsg->text();
            url = ver->lblKezMailUrl->text();
            urlFamily = ver->lblKezMailUrl->font().family();
            underlined = ver->lblKezMailUrl->font().underline();
            titleOffset = ver->lblTitleShadow->pos() - ver->lblTitle->pos();
            versionOffset = ver->lblVerShadow->pos() - ver->lblVer->pos();
            place = ver->pos();
            ver->cmdEnd->click();
        });
        form.mnEtc_Ver->trigger();
        first.reset();
        QVERIFY(shown);
        const QPoint firstPlace = place;

        // A second opening is a fresh dialog, centred again.
        shown = false;
        NextDialog<frmVer> second([&](frmVer& dialog) {
            shown = true;
            place = dialog.pos();
            placeExpected = centred(&dialog);
            dialog.reject();
        });
        form.mnEtc_Ver->trigger();
        QVERIFY(shown);
        QCOMPARE(place, firstPlace);
        QCOMPARE(place, placeExpected);
        QCOMPARE(caption, QString("ＫＥＺ－ＭＡＩＬＥＲ　バージョン情報"));
        QCOMPARE(message.count('\r'), 1);
        QVERIFY(!message.contains('\n'));
        QVERIFY(message.endsWith("\r操作説明等の最新情報を参照できます。"));
        QVERIFY(!message.startsWith('\r'));
        QCOMPARE(url, info::infoPageUrl());
        QCOMPARE(urlFamily, QString("ＭＳ　Ｐゴシック"));
        QVERIFY(underlined);
        QCOMPARE(titleOffset,
                 QPoint(shell::twipsToPixels(&form, 60), shell::twipsToPixels(&form, 30)));
        QCOMPARE(versionOffset,
                 QPoint(shell::twipsToPixels(&form, 15), shell::twipsToPixels(&form, 30)));
    }

    void urlLabelOpensItsCaption()
    {
        ScopedGuiFakes fakes;
        ScopedFakeLauncher launcher;

        frmVer ver;
        ver.show();
        QVERIFY(QTest::qWaitForWindowExposed(&ver));
        // The click takes the caption as it is at that moment.
        ver.lblKezMailUrl->setText(info::bbsPageUrl());
        QTest::mouseClick(ver.lblKezMailUrl, Qt::LeftButton);
        QCOMPARE(launcher->launches.size(), size_t(1));
        QCOMPARE(launcher->launches[0].program, kBrowser);
        QCOMPARE(launcher->launches[0].args, QStringList{info::bbsPageUrl()});

        launcher->failWith = "Permission denied";
        NoticeSeen seen;
        NextDialog<ErrMailErr_Form> notice(readNotice(&seen));
        QTest::mouseClick(ver.lblKezMailUrl, Qt::LeftButton);
        QVERIFY(seen.shown);
        QCOMPARE(seen.line1, QString("lblKezMailUrl_Click"));
        QCOMPARE(seen.line2, QString("エラーが発生しました。"));
        QCOMPARE(seen.line3, "Permission denied\n" + info::bbsPageUrl());
        QCOMPARE(launcher->launches.size(), size_t(2));
        QVERIFY(ver.isVisible());
        // Enter on its one button closes it, as on every window's buttons.
        ver.cmdEnd->setFocus();
        QTest::keyClick(ver.cmdEnd, Qt::Key_Return);
        QVERIFY(!ver.isVisible());
    }

    // xdg-open starts, finds no browser and ends in failure only later: the notice comes then,
    // over the window that asked, or over the active one once that has gone.
    void browserThatFailsLaterShowsTheNotice()
    {
        ScopedFakeLauncher launcher;
        MainWindowFixture window;
        const QString reason = "xdg-open が終了コード 3 で終了しました。";
        struct Case
        {
            const char* procName;
            std::function<void()> click;
            QString url;
        };
        auto ver = std::make_unique<frmVer>(window.form.get());
        const Case cases[] = {
            {"mnEtc_Bbs_Click", [&] { window.form->mnEtc_Bbs->trigger(); }, info::bbsPageUrl()},
            {"lblKezMailUrl_Click", [&] { ver->lblKezMailUrl_Click(); }, info::infoPageUrl()},
            // The version dialog closed before xdg-open gave up.
            {"lblKezMailUrl_Click",
             [&] {
                 ver->lblKezMailUrl_Click();
                 ver.reset();
             },
             info::infoPageUrl()},
        };
        for (const Case& c : cases) {
            launcher->launches.clear();
            c.click();
            QCOMPARE(launcher->launches.size(), size_t(1));
            QVERIFY(launcher->launches[0].onFailure);
            QVERIFY(QApplication::activeModalWidget() == nullptr);
            NoticeSeen seen;
            NextDialog<ErrMailErr_Form> notice(readNotice(&seen));
            launcher->launches[0].onFailure(reason);
            QVERIFY(seen.shown);
            QCOMPARE(seen.line1, QString(c.procName));
            QCOMPARE(seen.line3, reason + "\n" + c.url);
        }
    }

    // The real start, with stand-ins for xdg-open on PATH: one missing, one that gives up the
    // way xdg-open does, one that crashes, one that opens the page.
    void realBrowserStartReportsEveryFailure()
    {
        QTemporaryDir bin;
        auto script = [&](const QString& name, const QByteArray& body) {
            QFile f(bin.filePath(name));
            QVERIFY(QDir().mkpath(QFileInfo(f).absolutePath()));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("#!/bin/sh\n" + body);
            f.close();
            QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        };
        const QByteArray path = qgetenv("PATH");
        struct Case
        {
            const char* name;
            const char* folder; // PATH holds only this folder
            QStringList shown;  // parts of the notice's third line
        };
        script("gives-up/xdg-open", "echo \"xdg-open: no method available for opening '$1'\" >&2\n"
                                    "exit 3\n");
        script("crashes/xdg-open", "kill -SEGV $$\n");
        script("opens/xdg-open", "printf '%s' \"$#:$1\" > \"$0.args\"\n");
        const Case cases[] = {
            {"missing", "none", {}},
            {"gives up",
             "gives-up",
             {"xdg-open が終了コード 3 で終了しました。",
              "xdg-open: no method available for opening"}},
            {"crashes", "crashes", {"xdg-open が異常終了しました。"}},
        };
        MainWindowFixture window;
        QStringList notices;
        QTimer closer;
        closer.setInterval(5);
        connect(&closer, &QTimer::timeout, [&] {
            if (auto* n = qobject_cast<ErrMailErr_Form*>(QApplication::activeModalWidget())) {
                notices << n->Label3->text();
                n->cmdEnd->click();
            }
        });
        closer.start();
        for (const Case& c : cases) {
            notices.clear();
            qputenv("PATH", bin.filePath(c.folder).toLocal8Bit());
            window.form->mnEtc_Bbs->trigger();
            QTRY_COMPARE_WITH_TIMEOUT(notices.size(), 1, 10000);
            const QStringList lines = notices[0].split('\n');
            QVERIFY2(lines.size() >= 2 && !lines[0].isEmpty(), c.name);
            QCOMPARE(lines.last(), info::bbsPageUrl());
            for (const QString& part : c.shown)
                QVERIFY2(notices[0].contains(part), qPrintable(notices[0]));
        }
        // Success: the page's URL as the one argument, and no notice, also after a failing
        // start made later has been reported.
        notices.clear();
        qputenv("PATH", bin.filePath("opens").toLocal8Bit());
        window.form->mnEtc_Bbs->trigger();
        QFile args(bin.filePath("opens/xdg-open.args"));
        QTRY_VERIFY(args.exists());
        qputenv("PATH", bin.filePath("gives-up").toLocal8Bit());
        window.form->mnEtc_Bbs->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(notices.size(), 1, 10000);
        QVERIFY2(notices[0].contains("終了コード 3"), qPrintable(notices[0]));
        qputenv("PATH", path);
        QVERIFY(args.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(args.readAll()), "1:" + info::bbsPageUrl());
    }
};

QTEST_MAIN(TestInfoWindows)
#include "test_info_windows.moc"
