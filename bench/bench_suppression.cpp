// The suppression list (配信停止リスト) in a run: what reading a list of a million addresses at
// the start costs in time and memory, and what it adds to each tick of the run.
//
//   bench_suppression [--list N] [--ticks T] [--rounds R]
//
// Writes a suppression list of N addresses (code page 932, CR LF; one in a hundred has a
// Japanese domain) to a temporary folder, then:
//   - reads it R times the way a run starts (bulk::RunOptions::prepareRun over a bulk.ini that
//     switches it on), and prints the median time, the heap the options hold and the peak
//     resident memory;
//   - looks up 1,000,000 list addresses, half of them on the list, as a tick does (skipReason,
//     then noteSent for the ones that go out), and prints the time per address;
//   - runs the main window (offscreen) over T list addresses with a transport that answers at
//     once, and times each tick (Timer1_Timer, driven directly so no timer wait is counted) in
//     four setups: no bulk.ini; a suppression list of one address, every address going out;
//     the list of N, every address going out; the list of N, every address on it. The send and
//     error logs are on, as in bench_delivery. Each tick is timed on the wall clock and in CPU time
//     of the window's thread: the wall time includes the hand-over to the transport's thread and
//     back, whose wake-ups vary by tens of microseconds with the machine's load; the CPU time is
//     the program's own work. R rounds, the setups taking turns; the median tick of each round, and
//     the median over the rounds.
#include "core/bulk/bulk_run.h"
#include "core/platform/process_end.h"
#include "core/platform/text_files.h"
#include "core/transport/transport_thread.h"
#include "gui/main_window/write_form.h"
#include "gui/platform/message_boxes.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// The addresses of the suppression list; listedAddress(i) for i >= N is not on it.
QString listedAddress(int i)
{
    if (i % 100 == 99)
        return QStringLiteral("kaiin%1@例え.jp").arg(i);
    static const char* const domains[] = {"example.jp", "mail.example.co.jp", "example.com"};
    return QStringLiteral("user%1@%2").arg(i).arg(QLatin1String(domains[i % 3]));
}

// Bytes the program has taken from the heap and not given back.
double heapMiB()
{
    return double(mallinfo2().uordblks + mallinfo2().hblkhd) / (1 << 20);
}

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// Sends nothing and answers at once, so that a tick costs only the program's own work.
class InstantTransport final : public transport::MailTransport
{
public:
    transport::SendOutcome send(const transport::MailRequest&) override
    {
        return {true, {}, transport::FailureClass::None, false};
    }
    transport::LoginOutcome pop3Login(const transport::Pop3Request&) override { return {true, {}}; }
    void closeSession() override {}
};

class SilentBoxes final : public platform::MessageBoxes
{
public:
    platform::MsgAnswer show(QWidget*, const platform::MessageBoxRequest& request) override
    {
        if (request.text != QStringLiteral("送信が完了しました。"))
            std::fprintf(stderr, "box: %s\n", qPrintable(request.text));
        return platform::MsgAnswer::Ok;
    }
};

class NoEnd final : public platform::ProcessEnd
{
public:
    void endProcess() override {}
};

enum class Setup { NoBulkIni, OneAddressListAllSent, ListAllSent, ListAllSkipped };

// CPU time of the calling thread, in microseconds.
double threadCpuMicros()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

struct Ticks
{
    std::vector<double> wall; // µs from the tick's call to its return
    std::vector<double> cpu;  // µs the window's thread spent working in it
};

// One window run over `ticks` list addresses; each tick but the last (which ends the run).
Ticks windowTicks(const QString& appDir, QString stopList, Setup setup, int listSize, int ticks)
{
    QDir(appDir).mkpath(QStringLiteral("ini"));
    QDir(appDir).mkpath(QStringLiteral("csv"));
    QDir(appDir).mkpath(QStringLiteral("log"));
    // A long interval: the timer never fires by itself, the benchmark drives every tick.
    const QString settings =
        QStringLiteral("EDITPATH=\r\nSMTP=127.0.0.1:25\r\nPOP3=\r\nMAIL=bench@example.jp\r\n"
                       "USERID=\r\nIDPAS=\r\nAPOP=0\r\nSENDLOG=1\r\nSENDLOGPAS=%1\r\nERRLOG=1\r\n"
                       "ERRLOGMSG=0\r\nERRLOGPAS=%2\r\nSENDSPAN=600000\r\nPOP3TIME=0\r\n")
            .arg(appDir + QStringLiteral("/log/send.log"),
                 appDir + QStringLiteral("/log/error.log"));
    writeFile(appDir + QStringLiteral("/ini/kezmail.ini"), *platform::encodeCp932(settings));
    QFile::remove(appDir + QStringLiteral("/ini/bulk.ini"));
    if (setup == Setup::OneAddressListAllSent) {
        stopList = appDir + QStringLiteral("/csv/one.csv");
        writeFile(stopList, "stop@example.jp\r\n");
    }
    if (setup != Setup::NoBulkIni)
        writeFile(appDir + QStringLiteral("/ini/bulk.ini"),
                  "SUPPRESS=1\r\nSUPPRESSPATH=" + stopList.toUtf8() + "\r\n");
    QByteArray list;
    for (int i = 0; i < ticks; ++i) {
        // Spread over the whole list, so the look-ups do not stay in one corner of the set.
        const int n = int((qint64(i) * 7919) % listSize);
        list += *platform::encodeCp932(
                    listedAddress(setup == Setup::ListAllSkipped ? n : listSize + i)) +
                "\r\n";
    }
    const QString listPath = appDir + QStringLiteral("/csv/list.csv");
    writeFile(listPath, list);

    Ticks measured;
    WriteForm form(appDir);
    form.Form_Load();
    form.show();
    form.ToText->setText(listPath);
    form.SubjectText->setText(QStringLiteral("配信停止リストの試験"));
    form.txtFrom->setText(QStringLiteral("配信テスト"));
    form.BodyText->setPlainText(QStringLiteral("本文です。\r\n"));
    form.SendCommand->click();
    for (int i = 0; i < ticks && form.run.List; ++i) {
        QElapsedTimer timer;
        timer.start();
        const double cpuBefore = threadCpuMicros();
        form.Timer1_Timer();
        if (i + 1 < ticks) {
            measured.cpu.push_back(threadCpuMicros() - cpuBefore);
            measured.wall.push_back(double(timer.nsecsElapsed()) / 1e3);
        }
    }
    const int skipped = form.run.SkipCount;
    const int sent = form.run.SendCount;
    if (skipped + sent != ticks || (setup == Setup::ListAllSkipped) != (skipped == ticks))
        std::fprintf(stderr, "unexpected run: %d sent, %d skipped of %d\n", sent, skipped, ticks);
    return measured;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int listSize = 1'000'000;
    int ticks = 20'000;
    int rounds = 3;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--list"))
            listSize = std::max(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--ticks"))
            ticks = std::max(2, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--rounds"))
            rounds = std::max(1, args[i + 1].toInt());
    }

    QTemporaryDir dir;
    const QString stopList = dir.filePath(QStringLiteral("stop.csv"));
    {
        QByteArray bytes;
        for (int i = 0; i < listSize; ++i)
            bytes += *platform::encodeCp932(listedAddress(i)) + "\r\n";
        writeFile(stopList, bytes);
    }
    const QString readDir = dir.filePath(QStringLiteral("read"));
    QDir().mkpath(readDir + QStringLiteral("/ini"));
    writeFile(readDir + QStringLiteral("/ini/bulk.ini"),
              "SUPPRESS=1\r\nSUPPRESSPATH=" + stopList.toUtf8() + "\r\n");
    std::printf("suppression list: %d addresses, %.1f MiB\n", listSize,
                double(QFile(stopList).size()) / (1 << 20));

    // Reading at the start of a run.
    std::vector<double> readMs;
    double heldMiB = 0;
    const double peakBefore = peakRssMiB();
    for (int r = 0; r < rounds; ++r) {
        const double before = heapMiB();
        QElapsedTimer timer;
        timer.start();
        QString refusal;
        std::optional<bulk::RunOptions> options = bulk::RunOptions::prepareRun(readDir, &refusal);
        readMs.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (!options || options->suppressedCount() != listSize) {
            std::fprintf(stderr, "read failed: %s\n", qPrintable(refusal));
            return 1;
        }
        heldMiB = heapMiB() - before;
    }
    std::printf("read at the start: median %.0f ms (first %.0f ms), holding %.1f MiB of heap; "
                "peak resident memory %.0f MiB before, %.0f MiB after\n",
                median(readMs), readMs.front(), heldMiB, peakBefore, peakRssMiB());

    // The decision of a tick on its own.
    {
        QString refusal;
        std::optional<bulk::RunOptions> options = bulk::RunOptions::prepareRun(readDir, &refusal);
        const int probes = 1'000'000;
        std::vector<QString> addresses;
        addresses.reserve(probes);
        for (int i = 0; i < probes; ++i)
            addresses.push_back(
                listedAddress(i % 2 ? int((qint64(i) * 7919) % listSize) : listSize + i));
        QElapsedTimer timer;
        timer.start();
        int skipped = 0;
        for (const QString& address : addresses) {
            if (options->skipReason(address))
                ++skipped;
            else
                options->noteSent(address);
        }
        std::printf("look-up and memory of the run: %.2f µs per address (%d of %d on the list)\n",
                    double(timer.nsecsElapsed()) / 1e3 / probes, skipped, probes);
    }

    // Whole ticks of the window.
    const std::shared_ptr<transport::MailTransport> instant = std::make_shared<InstantTransport>();
    transport::TransportFactory previous =
        transport::setTransportFactory([instant] { return instant; });
    auto previousBoxes = platform::setMessageBoxes(std::make_unique<SilentBoxes>());
    auto previousEnd = platform::setProcessEnd(std::make_unique<NoEnd>());
    struct Row
    {
        Setup setup;
        const char* name;
        std::vector<double> wall, cpu; // the median tick of each round
    };
    Row rows[] = {{Setup::NoBulkIni, "no bulk.ini", {}, {}},
                  {Setup::OneAddressListAllSent, "a list of 1, every address sent", {}, {}},
                  {Setup::ListAllSent, "the list, every address sent", {}, {}},
                  {Setup::ListAllSkipped, "the list, every address on it", {}, {}}};
    for (int r = 0; r < rounds; ++r) {
        for (Row& row : rows) {
            QTemporaryDir appDir;
            const Ticks t = windowTicks(appDir.path(), stopList, row.setup, listSize, ticks);
            row.wall.push_back(median(t.wall));
            row.cpu.push_back(median(t.cpu));
        }
    }
    platform::setProcessEnd(std::move(previousEnd));
    platform::setMessageBoxes(std::move(previousBoxes));
    transport::setTransportFactory(std::move(previous));

    std::printf("window ticks (%d per run, %d rounds), instant transport, both logs on:\n", ticks,
                rounds);
    for (const Row& row : rows) {
        std::printf("  %-36s %6.1f µs per tick, of it %5.1f µs working on the window's thread\n",
                    row.name, median(row.wall), median(row.cpu));
    }
    return 0;
}
