#pragma once

#include "core/bulk/bulk_settings.h"

#include <QHostAddress>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>

// The checks before a mailing (配信前チェック): whether the sender's domain publishes what the
// large mailbox providers require of bulk senders (a host, SPF, DMARC, the DKIM key in use) and
// whether the mails carry a one-click unsubscribe address and the footer Japanese law requires
// of advertising mail. Nothing here blocks a run by itself; the window asks the operator.
namespace preflight {

enum class Verdict {
    Ok,      // ✓
    Warning, // ⚠: not known to be wrong, or not known at all (a DNS time-out)
    Failed,  // ✗
};

// In the order the window lists them.
enum class CheckId { MailHost, Spf, Dmarc, Dkim, Unsubscribe, Footer };

struct CheckResult
{
    CheckId id = CheckId::MailHost;
    Verdict verdict = Verdict::Warning;
    QString title;  // short Japanese name of the check, e.g. "SPF"
    QString detail; // one sentence of plain Japanese: what was found and what to publish or change
};

struct Inputs
{
    QString senderAddress;      // the settings' MAIL: its domain is the one checked
    bulk::BulkSettings options; // the delivery options as a run would read them
    // The DNS server to ask; a null address means the system's resolver. Tests point it at a
    // local server.
    QHostAddress nameserver;
};

// What a run and the window check: the sender address, the delivery options and the DNS server
// those options name (PREFLIGHTDNS), or the system's resolver when they name none.
Inputs InputsFor(const QString& senderAddress, const bulk::BulkSettings& options);

// The mail domain of the sender address, in the form DNS is asked in (lower case, a Japanese
// domain as xn--); empty when the address has none.
QString SenderDomain(const QString& senderAddress);

// Runs every check and returns one result per CheckId, in order. The DNS lookups run at once
// and share the time limit; a lookup still open at the limit, or one that times out, is a
// Warning, never a Failed. Spins a local event loop while the lookups run, so call it from
// the thread that owns the window.
QList<CheckResult> Run(const Inputs& inputs, std::chrono::milliseconds limit);

// True when any result is Failed.
bool AnyFailed(const QList<CheckResult>& results);

// What the window calls: Run, or what a test put in its place (the window's tests have no DNS
// server to ask). setRunner returns the one it replaces; nullptr puts Run back.
using Runner = std::function<QList<CheckResult>(const Inputs&, std::chrono::milliseconds)>;
Runner setRunner(Runner runner);
QList<CheckResult> Check(const Inputs& inputs, std::chrono::milliseconds limit);

} // namespace preflight
