// Per-domain pacing in a run: what holding the addresses of a paced domain costs in memory, and
// what it adds to each tick.
//
//   bench_pacing [--list N] [--held H] [--picks P]
//
// The list is made on the fly, as the run reads its file: N addresses, 3 of every 5 to
// docomo.ne.jp, the others spread over 50 other domains. Time is simulated: a tick every
// 100 ms, as the run's timer would give them, and a jump to the end of a wait when only held
// addresses are left.
//   - The whole list twice, each in a process of its own so that each has its own peak: without
//     rules (the run as it always was) and with docomo.ne.jp at a gap of 1 s, the others free.
//     Prints the peak resident memory (VmHWM of /proc/self/status), the most addresses held, the
//     mean and longest cost of a tick (next, and noteSent for a mail sent) and the ticks taken.
//     Then the paced run once more over the list sorted by domain, every docomo address first:
//     the longest tick is then one pick reading its whole share of held addresses.
//   - Picks with H addresses held: a pacer holding H addresses of docomo.ne.jp, then P ticks over
//     a list of one docomo address in ten, so that the number held stays near H. Prints the mean
//     time per pick (next and noteSent).
#include "core/pacing/pacer.h"

#include "peak_memory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

using pacing::Pacer;

const QDateTime kStart(QDate(2026, 12, 7), QTime(9, 0), Qt::UTC);
constexpr qint64 kTickMs = 100;

QString address(qint64 i, bool paced)
{
    return paced ? QStringLiteral("user%1@docomo.ne.jp").arg(i)
                 : QStringLiteral("user%1@example%2.jp").arg(i).arg(i % 50);
}

struct Run
{
    qint64 ticks = 0;
    qint64 sent = 0;
    qint64 mostHeld = 0;
    double meanMicros = 0;
    double longestMicros = 0;
};

// Ticks through a pacer until it is done.
Run runList(Pacer& pacer, const std::function<std::optional<Pacer::Entry>()>& source,
            qint64 maxTicks)
{
    Run run;
    QDateTime now = kStart;
    double total = 0;
    QElapsedTimer timer;
    while (run.ticks < maxTicks) {
        timer.start();
        const Pacer::Pick pick = pacer.next(now, source);
        if (pick.kind == Pacer::Pick::Send)
            pacer.noteSent(pick.domain, now);
        const double micros = double(timer.nsecsElapsed()) / 1e3;
        ++run.ticks;
        total += micros;
        run.longestMicros = std::max(run.longestMicros, micros);
        run.mostHeld = std::max(run.mostHeld, pacer.heldCount());
        if (pick.kind == Pacer::Pick::Done)
            break;
        run.sent += pick.kind == Pacer::Pick::Send ? 1 : 0;
        now = pick.kind == Pacer::Pick::Wait ? std::max(now.addMSecs(kTickMs), pick.waitUntil)
                                             : now.addMSecs(kTickMs);
    }
    run.meanMicros = total / double(run.ticks);
    return run;
}

// The whole list in a child process; prints its line there.
void wholeListInChild(const char* name, const QString& rules, qint64 listSize, bool sorted)
{
    std::fflush(stdout);
    const pid_t child = fork();
    if (child != 0) {
        int status = 0;
        waitpid(child, &status, 0);
        return;
    }
    Pacer pacer(*pacing::parseRules(rules, nullptr));
    qint64 read = 0;
    const Run run = runList(
        pacer,
        [&]() -> std::optional<Pacer::Entry> {
            if (read == listSize)
                return std::nullopt;
            ++read;
            return Pacer::Entry{read,
                                address(read, sorted ? read <= listSize / 5 * 3 : read % 5 < 3)};
        },
        listSize * 4);
    std::printf("  %-28s peak %7ld KiB, most held %7lld, %5.2f µs a tick (longest %6.0f µs), "
                "%lld ticks, %lld sent\n",
                name, bench::peakKiB(), run.mostHeld, run.meanMicros, run.longestMicros, run.ticks,
                run.sent);
    std::fflush(stdout);
    _exit(0);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    qint64 listSize = 1'000'000;
    qint64 held = 100'000;
    qint64 picks = 100'000;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--list"))
            listSize = std::max<qint64>(1, args[i + 1].toLongLong());
        else if (args[i] == QLatin1String("--held"))
            held = std::max<qint64>(1, args[i + 1].toLongLong());
        else if (args[i] == QLatin1String("--picks"))
            picks = std::max<qint64>(1, args[i + 1].toLongLong());
    }

    std::printf("the whole list: %lld addresses, 60 %% docomo.ne.jp, a tick every %lld ms\n",
                listSize, kTickMs);
    wholeListInChild("no rules", QString(), listSize, false);
    wholeListInChild("docomo.ne.jp at 1 s", QStringLiteral("docomo.ne.jp,1,0"), listSize, false);
    wholeListInChild("the same, sorted by domain", QStringLiteral("docomo.ne.jp,1,0"), listSize,
                     true);

    // Picks with `held` addresses held.
    Pacer pacer(*pacing::parseRules(QStringLiteral("docomo.ne.jp,1,0"), nullptr));
    qint64 read = 0;
    const auto source = [&]() -> std::optional<Pacer::Entry> {
        ++read;
        const bool paced = read <= held + 1 || read % 10 == 0;
        return Pacer::Entry{read, address(read, paced)};
    };
    QDateTime now = kStart;
    while (pacer.heldCount() < held) {
        const Pacer::Pick pick = pacer.next(now, source);
        if (pick.kind == Pacer::Pick::Send)
            pacer.noteSent(pick.domain, now);
        now = now.addMSecs(kTickMs);
    }
    const qint64 heldBefore = pacer.heldCount();
    qint64 fewest = heldBefore;
    QElapsedTimer timer;
    timer.start();
    for (qint64 i = 0; i < picks; ++i) {
        const Pacer::Pick pick = pacer.next(now, source);
        if (pick.kind == Pacer::Pick::Send)
            pacer.noteSent(pick.domain, now);
        fewest = std::min(fewest, pacer.heldCount());
        now = now.addMSecs(kTickMs);
    }
    std::printf("picks with %lld held (at least %lld, %lld at the end): %.2f µs a pick, "
                "%lld picks\n",
                heldBefore, fewest, pacer.heldCount(),
                double(timer.nsecsElapsed()) / 1e3 / double(picks), picks);
    return 0;
}
