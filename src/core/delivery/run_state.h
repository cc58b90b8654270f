#pragma once

#include "core/delivery/recipient_list.h"

#include <QString>
#include <QtGlobal>

#include <memory>

namespace delivery {

// The state of one delivery run, kept by the main window from its load to its unload: the six
// values every handler of the run knows by name, the open list, the row of mails the server
// failed, the count of addresses the delivery options passed over, and the guards that keep the
// handlers from running into each other while one of them waits.
struct RunState
{
    qint16 SendFlag = 0;     // 1 from the first tick of a run on, 0 again at its end
    qint16 PauseFlag = 0;    // 1 while paused (the pause button may set it before a run, too)
    QString CurAddress;      // the recipient of the current tick: the trimmed list line
    qint32 SendCount = 0;    // mails attempted in this run, failures included
    qint32 ErrCount = 0;     // mails that failed in this run
    qint16 PopTickCount = 0; // Timer2 ticks since the last POP login
    // The recipient list, open from the start of the run to its end.
    std::unique_ptr<RecipientList> List;
    // Mails of the run in a row that failed at the connection level; a mail the server
    // answered, even with a refusal, ends the row. It carries over a pause.
    int connectionFailures = 0;

    // The start has locked the controls: a second start is refused.
    bool started = false;
    // A tick is running; the next waits until it is over.
    bool inTick = false;
    // The cancel question is open; no tick may start meanwhile.
    bool askingCancel = false;
    // Transport requests the window is waiting for (nested when a handler that runs during a
    // wait makes a request of its own). While any is open no tick starts, and a close waits.
    int transportWaits = 0;
    // A periodic POP login fell due while a request was on its way; it runs once the request
    // is done.
    bool loginDue = false;
    // The operator closed or cancelled while a request was on its way: the program ends as soon
    // as that request's results are written.
    bool closeRequested = false;

    // List addresses the delivery options passed over (on the suppression list, or already
    // sent in this run). They are in neither counter, but done for the run's progress.
    qint32 SkipCount = 0;
};

} // namespace delivery
