#pragma once

// Answering the modal dialogs of the windows in tests. Message boxes go through
// platform::MessageBoxes, which ScopedGuiFakes scripts (answers, onShow); the dialogs of their
// own (settings, schedule, version, error notice) are real QDialogs that run a modal loop, and
// NextDialog acts on them from inside that loop.

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <functional>

namespace testing_support {

// Acts on the next modal dialog of type Dialog once it is open: `act` fills it in and presses
// its buttons. A dialog that `act` leaves open is rejected, so a failing test cannot hang in
// the modal loop. Modal dialogs other than Dialog, and `ignore`, are left alone. The helper
// stops looking when it goes out of scope, so a dialog that never opened cannot be acted on by
// a later step by accident.
//
//   NextDialog<frmTimerSet> script([](frmTimerSet& d) { d.cmdCancel->click(); });
//   form.mnOption_Timer->trigger();
//   QCOMPARE(script.opened(), 1);
template <class Dialog = QDialog> class NextDialog
{
public:
    explicit NextDialog(std::function<void(Dialog&)> act, QWidget* ignore = nullptr)
        : m_act(std::move(act)), m_ignore(ignore)
    {
        m_poll.setInterval(5);
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            auto* dialog = qobject_cast<Dialog*>(modal);
            if (!dialog || modal == m_ignore)
                return;
            m_poll.stop();
            ++m_opened;
            QPointer<QDialog> alive(dialog);
            m_act(*dialog);
            if (alive && alive->isVisible())
                alive->reject();
        });
        m_poll.start();
    }
    NextDialog(const NextDialog&) = delete;
    NextDialog& operator=(const NextDialog&) = delete;

    // How many dialogs it acted on: 0 or 1.
    int opened() const { return m_opened; }

private:
    std::function<void(Dialog&)> m_act;
    QWidget* m_ignore;
    QTimer m_poll;
    int m_opened = 0;
};

// The windows still alive, by class and object name.
inline QStringList leftoverWindows()
{
    QStringList out;
    for (const QWidget* w : QApplication::topLevelWidgets())
        out << QString::fromLatin1(w->metaObject()->className()) + QLatin1Char(' ') +
                   w->objectName();
    return out;
}

// For a test class's cleanup(), as Qt's own dialog tests do it: every window a test function
// made is gone once it has returned (deferred deletions are let run first).
inline void verifyNoWindowsLeft()
{
    QTRY_VERIFY2(QApplication::topLevelWidgets().isEmpty(),
                 qPrintable(leftoverWindows().join(QStringLiteral(", "))));
}

} // namespace testing_support
