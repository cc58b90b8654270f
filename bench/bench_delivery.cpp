// Delivery benchmark: a real run of the main window (offscreen) with the real transport against
// a local SMTP server, and the same mails through a bare libcurl loop on one reused connection,
// once paced as the window paces them (a sleep of the interval before each mail) and once back
// to back. The window's time per mail beyond its interval is set against the paced loop's time
// per mail beyond its sleep: both then pay what an exchange costs after an idle interval, and
// the ratio is what the program itself adds.
//
// Every window run also measures how long the GUI thread went without processing events: a
// 10 ms timer on that thread notes how late each of its ticks came, and the longest lateness is
// the longest stall. Two more cases measure only that:
//   --silent-server         a server that accepts the connection and then says nothing, so
//                           every send lasts until the transport's time-out;
//   --throttled-attachment  a 10 MB attachment through a relay that passes about 1 MB/s.
//
//   bench_delivery [--count N] [--interval MS] [--rounds R] [--port PORT]
//   bench_delivery --silent-server [--count N]
//   bench_delivery --throttled-attachment [--count N] [--megabytes MB] [--rate BYTES_PER_S]
//   bench_delivery --journal [--count N]
//
// --journal measures the journal alone, in a folder under the current one (on the disk the
// program would use, not a memory file system): the start of an N-address run, the two writes
// of a mail ('sending' synced, the outcome not), the slowest of them (the window waits for
// it), the journal's size, and the time a resume takes to open the run.
//
// Without --port it starts Debian's aiosmtpd sink on a free loopback port
// (/usr/bin/python3 -m aiosmtpd -n -c aiosmtpd.handlers.Sink -l 127.0.0.1:PORT) and stops it
// at the end. With --port it uses a server already listening on 127.0.0.1:PORT, e.g. Postfix's
// "smtp-sink -c 127.0.0.1:PORT 100".
#include "core/journal/journal.h"
#include "core/platform/process_end.h"
#include "core/platform/text_files.h"
#include "core/transport/message_composer.h"
#include "core/transport/nmail.h"
#include "gui/main_window/write_form.h"
#include "gui/platform/message_boxes.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

const QString kSubject = QStringLiteral("ベンチマーク配信のお知らせ");
const QString kName = QStringLiteral("配信テスト");
const QString kFrom = QStringLiteral("bench@example.jp");
const QString kBody = QStringLiteral("これは配信速度を測るためのメールです。\r\n"
                                     "This mail measures the delivery speed.\r\n");

QString recipient(int i)
{
    return QStringLiteral("user%1@example.jp").arg(i, 6, 10, QLatin1Char('0'));
}

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Message boxes answer at once (the completion box would otherwise wait for a click).
class SilentBoxes final : public platform::MessageBoxes
{
public:
    platform::MsgAnswer show(QWidget*, const platform::MessageBoxRequest& request) override
    {
        if (request.caption != QStringLiteral("KEZ-MAILER") ||
            request.text != QStringLiteral("送信が完了しました。"))
            std::fprintf(stderr, "box: %s\n", qPrintable(request.text));
        return platform::MsgAnswer::Ok;
    }
};

// The window's unload ends the benchmark's wait instead of the process.
class EndLoop final : public platform::ProcessEnd
{
public:
    explicit EndLoop(QEventLoop* loop) : m_loop(loop) {}
    void endProcess() override
    {
        ended = true;
        m_loop->quit();
    }
    bool ended = false;

private:
    QEventLoop* m_loop;
};

quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

bool waitForListener(quint16 port, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200))
            return true;
        QThread::msleep(100);
    }
    return false;
}

struct Upload
{
    const QByteArray* data = nullptr;
    qsizetype pos = 0;
};

size_t readUpload(char* buffer, size_t size, size_t count, void* user)
{
    auto* upload = static_cast<Upload*>(user);
    const size_t left = size_t(upload->data->size() - upload->pos);
    const size_t n = std::min(left, size * count);
    std::memcpy(buffer, upload->data->constData() + upload->pos, n);
    upload->pos += qsizetype(n);
    return n;
}

// The same N mails through one libcurl handle that keeps its connection, back to back or with
// a pause before each. Returns seconds, or a negative value when a send failed.
double bareLoop(quint16 port, int count, int pauseMs)
{
    transport::OutgoingMail mail;
    mail.fromName = kName;
    mail.fromAddress = kFrom;
    mail.toAddress = recipient(0);
    mail.subject = kSubject;
    mail.body = kBody;
    mail.date = QDateTime::currentDateTime();
    QString error;
    const std::optional<QByteArray> message = transport::composeMessage(mail, &error);
    if (!message)
        return -1;

    curl_global_init(CURL_GLOBAL_DEFAULT); // the window's unload released libcurl
    CURL* curl = curl_easy_init();
    const QByteArray url = "smtp://127.0.0.1:" + QByteArray::number(port);
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, "<bench@example.jp>");
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readUpload);
    Upload upload{&*message, 0};
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);

    QElapsedTimer timer;
    timer.start();
    for (int i = 1; i <= count; ++i) {
        if (pauseMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        const QByteArray rcpt = '<' + recipient(i).toLatin1() + '>';
        curl_slist* list = curl_slist_append(nullptr, rcpt.constData());
        curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, list);
        upload.pos = 0;
        const CURLcode rc = curl_easy_perform(curl);
        curl_slist_free_all(list);
        if (rc != CURLE_OK) {
            std::fprintf(stderr, "bare loop: %s\n", curl_easy_strerror(rc));
            curl_easy_cleanup(curl);
            return -1;
        }
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    curl_easy_cleanup(curl);
    return seconds;
}

// The same N mails through the program's transport entry point in a plain loop: composition
// and the send, without the window, the timer or the logs.
double transportLoop(quint16 port, int count)
{
    NMailInitializeWinSock();
    const QString server = QStringLiteral("127.0.0.1:%1").arg(port);
    const QString from = kName + QLatin1Char('<') + kFrom + QLatin1Char('>');
    QElapsedTimer timer;
    timer.start();
    for (int i = 1; i <= count; ++i) {
        if (NMailSmtpSendMail(server, recipient(i), nullptr, nullptr, from, kSubject, kBody,
                              nullptr, QString(), 1) < 0) {
            QString text;
            int size = kErrorTextBufferSize;
            NMailGetMessage(0, text, size);
            std::fprintf(stderr, "transport loop: %s\n", qPrintable(text));
            NMailEndWinSock();
            return -1;
        }
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    NMailEndWinSock();
    return seconds;
}

// Notes how late each tick of a 10 ms timer on the GUI thread comes. A tick can only come when
// the thread processes events, so the longest lateness is the longest time the window could not
// paint or take a click.
class StallProbe final : public QObject
{
public:
    StallProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kPeriodMs);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_longestNs = std::max(m_longestNs, now - m_lastNs - kPeriodMs * 1000000);
            m_lastNs = now;
            ++m_ticks;
        });
    }
    void start()
    {
        m_longestNs = 0;
        m_ticks = 0;
        m_clock.start();
        m_lastNs = 0;
        m_timer.start();
    }
    // Stops, counting the time since the last tick as one more stall.
    void stop()
    {
        m_timer.stop();
        m_longestNs =
            std::max(m_longestNs, m_clock.nsecsElapsed() - m_lastNs - kPeriodMs * 1000000);
    }
    double longestMs() const { return double(m_longestNs) / 1e6; }
    int ticks() const { return m_ticks; }

private:
    static constexpr qint64 kPeriodMs = 10;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0;
    qint64 m_longestNs = 0;
    int m_ticks = 0;
};

struct RunSetup
{
    quint16 port = 0;
    int count = 1000;
    int intervalMs = 1;
    QString attachment; // a file path for AttachText, or empty
};

struct RunResult
{
    double seconds = -1; // from the end of the start to the unload
    double longestStallMs = 0;
    QString sent, errors; // the counters as the window showed them at the end
};

// A run of the main window over a list of count lines. The send button is pressed from inside
// the event loop, so that the probe sees the start notice too; the time runs from the end of
// the start (start notice sent, Timer1 enabled) to the window's unload (after the end notice).
RunResult windowRun(const QString& appDir, const RunSetup& setup)
{
    RunResult result;
    QDir(appDir).mkpath(QStringLiteral("ini"));
    QDir(appDir).mkpath(QStringLiteral("csv"));
    QDir(appDir).mkpath(QStringLiteral("log"));
    const QString settings = QStringLiteral("EDITPATH=\r\nSMTP=127.0.0.1:%1\r\nPOP3=\r\nMAIL=%2\r\n"
                                            "USERID=\r\nIDPAS=\r\nAPOP=0\r\nSENDLOG=1\r\n"
                                            "SENDLOGPAS=%3\r\nERRLOG=1\r\nERRLOGMSG=0\r\n"
                                            "ERRLOGPAS=%4\r\nSENDSPAN=%5\r\nPOP3TIME=0\r\n")
                                 .arg(setup.port)
                                 .arg(kFrom, appDir + QStringLiteral("/log/send.log"),
                                      appDir + QStringLiteral("/log/error.log"))
                                 .arg(setup.intervalMs);
    QFile ini(appDir + QStringLiteral("/ini/kezmail.ini"));
    if (!ini.open(QIODevice::WriteOnly))
        return result;
    ini.write(*platform::encodeCp932(settings));
    ini.close();

    const QString listPath = appDir + QStringLiteral("/csv/list.csv");
    {
        QFile list(listPath);
        if (!list.open(QIODevice::WriteOnly))
            return result;
        for (int i = 1; i <= setup.count; ++i)
            list.write(recipient(i).toLatin1() + "\r\n");
    }

    QEventLoop loop;
    auto end = std::make_unique<EndLoop>(&loop);
    EndLoop* ended = end.get();
    auto previousEnd = platform::setProcessEnd(std::move(end));
    auto previousBoxes = platform::setMessageBoxes(std::make_unique<SilentBoxes>());

    {
        WriteForm form(appDir);
        form.Form_Load();
        form.show();
        form.ToText->setText(listPath);
        form.SubjectText->setText(kSubject);
        form.txtFrom->setText(kName);
        form.BodyText->setPlainText(kBody);
        form.AttachText->setText(setup.attachment);
        // Three mails in a row that fail at the connection level pause the run (a silent server
        // of more than three mails); the benchmark resumes it as an operator would, with Rtry.
        QTimer resume;
        QObject::connect(&resume, &QTimer::timeout, &form, [&form, &setup] {
            if (form.run.PauseFlag == 0 || !form.txtTimerTime->isEnabled())
                return;
            form.txtTimerTime->setText(QString::number(std::max(100, setup.intervalMs)));
            form.cmdSendRtry->click();
        });
        resume.start(50);
        StallProbe probe;
        QElapsedTimer timer;
        QTimer::singleShot(0, &form, [&] {
            probe.start();
            form.SendCommand->click();
            timer.start();
            if (ended->ended)
                loop.quit();
        });
        if (!ended->ended)
            loop.exec();
        probe.stop();
        result.seconds = double(timer.nsecsElapsed()) / 1e9;
        result.longestStallMs = probe.longestMs();
        result.sent = form.lblSndRec->text();
        result.errors = form.lblErrCnt->text();
    }
    platform::setProcessEnd(std::move(previousEnd));
    platform::setMessageBoxes(std::move(previousBoxes));
    return result;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// One round's figures, in milliseconds per mail.
struct Round
{
    double windowPerMail = 0; // the window run, interval included
    double bare = 0;          // back to back
    double paced = 0;         // beyond the sleep before each mail
    double entry = 0;         // the transport entry point in a plain loop
    double stallMs = 0;       // the longest the GUI thread went without events in the window run
};

struct Options
{
    int count = 1000;
    int intervalMs = 1;
    int rounds = 3;
    quint16 port = 0;
    bool silentServer = false;
    bool throttledAttachment = false;
    bool journal = false;
    int megabytes = 10;
    double rate = 1000000; // bytes per second through the relay
};

// Debian's aiosmtpd sink on a free loopback port.
bool startSink(QProcess& sink, quint16* port)
{
    *port = freePort();
    sink.setProgram(QStringLiteral("/usr/bin/python3"));
    sink.setArguments({QStringLiteral("-m"), QStringLiteral("aiosmtpd"), QStringLiteral("-n"),
                       QStringLiteral("-c"), QStringLiteral("aiosmtpd.handlers.Sink"),
                       QStringLiteral("-l"), QStringLiteral("127.0.0.1:%1").arg(*port)});
    sink.start();
    return sink.waitForStarted() && waitForListener(*port, 10000);
}

void stopProcess(QProcess& process)
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
}

void printStall(const char* what, const RunResult& run, int count)
{
    std::printf("%s\n", what);
    std::printf("  window run         %.1f s after the start notice; sent %s, errors %s (of %d)\n",
                run.seconds, qPrintable(run.sent),
                qPrintable(run.errors.isEmpty() ? "0" : run.errors), count);
    std::printf("  longest GUI stall  %.1f ms (goal: at most 50 ms, %s)\n", run.longestStallMs,
                run.longestStallMs <= 50 ? "met" : "not met");
}

// A server that accepts connections (the kernel completes them from the listen queue) and
// never says a word: every send lasts until the transport gives up.
int silentServerCase(const Options& options)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 64) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        std::fprintf(stderr, "could not listen on 127.0.0.1\n");
        return 1;
    }
    QTemporaryDir appDir;
    RunSetup setup;
    setup.port = ntohs(addr.sin_port);
    setup.count = options.count;
    setup.intervalMs = options.intervalMs;
    const RunResult run = windowRun(appDir.path(), setup);
    ::close(listener);
    printStall("silent server (accepts, never answers; every send waits for the time-out)", run,
               options.count);
    return run.seconds < 0 ? 1 : 0;
}

// A large attachment through a relay that passes about options.rate bytes per second.
int throttledAttachmentCase(const Options& options)
{
    QProcess sink;
    quint16 sinkPort = 0;
    if (!startSink(sink, &sinkPort)) {
        std::fprintf(stderr, "could not start the aiosmtpd sink\n");
        return 1;
    }
    const quint16 relayPort = freePort();
    QProcess relay;
    relay.setProgram(QStringLiteral("/usr/bin/python3"));
    relay.setArguments({QStringLiteral(KEZ_BENCH_DIR "/throttle_relay.py"),
                        QString::number(relayPort), QString::number(sinkPort),
                        QString::number(options.rate, 'f', 0)});
    relay.start();
    if (!relay.waitForStarted() || !waitForListener(relayPort, 10000)) {
        std::fprintf(stderr, "could not start the throttling relay\n");
        stopProcess(sink);
        return 1;
    }

    QTemporaryDir appDir;
    const QString attachment = appDir.filePath(QStringLiteral("attachment.bin"));
    {
        QFile file(attachment);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        // Bytes that do not compress, as a photo or an archive would be.
        QByteArray block(1 << 20, Qt::Uninitialized);
        quint32 state = 2463534242u;
        for (int mb = 0; mb < options.megabytes; ++mb) {
            for (char& c : block) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                c = char(state);
            }
            file.write(block);
        }
    }
    RunSetup setup;
    setup.port = relayPort;
    setup.count = options.count;
    setup.intervalMs = options.intervalMs;
    setup.attachment = attachment;
    QElapsedTimer whole;
    whole.start();
    const RunResult run = windowRun(appDir.path() + QStringLiteral("/app"), setup);
    const double seconds = double(whole.nsecsElapsed()) / 1e9;
    stopProcess(relay);
    stopProcess(sink);
    char title[160];
    std::snprintf(title, sizeof title,
                  "%d MB attachment through a relay at %.0f bytes/s (%d mails and two notices, "
                  "%.1f s in all)",
                  options.megabytes, options.rate, options.count, seconds);
    printStall(title, run, options.count);
    return run.seconds < 0 ? 1 : 0;
}

int deliveryRounds(const Options& options)
{
    const int count = options.count;
    const int intervalMs = options.intervalMs;
    quint16 port = options.port;
    QProcess sink;
    if (port == 0 && !startSink(sink, &port)) {
        std::fprintf(stderr, "could not start the aiosmtpd sink\n");
        return 1;
    }

    // The four ways take turns, so that a busy spell of the machine weighs on all of them
    // rather than on whichever happened to run then.
    const long rssBefore = peakRssKiB();
    long rssAfterRun = 0;
    std::vector<Round> figures;
    for (int r = 0; r < options.rounds; ++r) {
        QTemporaryDir appDir;
        RunSetup setup;
        setup.port = port;
        setup.count = count;
        setup.intervalMs = intervalMs;
        const RunResult run = windowRun(appDir.path(), setup);
        if (run.sent != QString::number(count) || !run.errors.isEmpty())
            std::fprintf(stderr, "run: sent %s, errors %s\n", qPrintable(run.sent),
                         qPrintable(run.errors));
        if (r == 0)
            rssAfterRun = peakRssKiB();
        const double bare = run.seconds < 0 ? -1 : bareLoop(port, count, 0);
        const double paced = bare < 0 ? -1 : bareLoop(port, count, intervalMs);
        const double entry = paced < 0 ? -1 : transportLoop(port, count);
        if (entry < 0) {
            figures.clear();
            break;
        }
        figures.push_back({run.seconds * 1000 / count, bare * 1000 / count,
                           paced * 1000 / count - intervalMs, entry * 1000 / count,
                           run.longestStallMs});
    }
    stopProcess(sink);
    if (figures.empty()) {
        std::fprintf(stderr, "benchmark failed\n");
        return 1;
    }

    auto column = [&figures](double Round::*field) {
        std::vector<double> values;
        for (const Round& round : figures)
            values.push_back(round.*field);
        return values;
    };
    auto ratios = [&figures, intervalMs](double Round::*baseline) {
        std::vector<double> values;
        for (const Round& round : figures)
            values.push_back((round.windowPerMail - intervalMs) / (round.*baseline));
        return values;
    };
    const double perMail = median(column(&Round::windowPerMail));
    const double overhead = perMail - intervalMs;
    const double bare = median(column(&Round::bare));
    const double paced = median(column(&Round::paced));
    const double entry = median(column(&Round::entry));
    const double ratioPaced = median(ratios(&Round::paced));
    const double ratioBare = median(ratios(&Round::bare));
    const std::vector<double> stalls = column(&Round::stallMs);
    const double stallMax = *std::max_element(stalls.begin(), stalls.end());

    std::printf("recipients           %d, interval %d ms, median of %d round(s)\n", count,
                intervalMs, int(figures.size()));
    std::printf("window run           %.1f mails/s, %.3f ms/mail\n", 1000 / perMail, perMail);
    std::printf("overhead per mail    %.3f ms beyond the interval\n", overhead);
    std::printf("paced bare loop      %.3f ms/mail beyond a %d ms sleep before each mail\n", paced,
                intervalMs);
    std::printf("bare loop            %.1f mails/s, %.3f ms/mail, back to back\n", 1000 / bare,
                bare);
    std::printf("transport entry loop %.3f ms/mail, back to back (no window, no logs)\n", entry);
    std::printf("ratio to the paced bare loop         %.2f (goal: at most 1.50, %s)\n", ratioPaced,
                ratioPaced <= 1.5 ? "met" : "not met");
    std::printf("ratio to the back-to-back bare loop  %.2f\n", ratioBare);
    std::printf("longest GUI stall    %.1f ms median, %.1f ms at most over the rounds (goal: at "
                "most 50 ms, %s)\n",
                median(stalls), stallMax, stallMax <= 50 ? "met" : "not met");
    std::printf("peak memory          %ld KiB before the run, %ld KiB after the first run\n",
                rssBefore, rssAfterRun);
    return 0;
}

} // namespace

qint64 fileSize(const QString& path)
{
    return QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size();
}

int journalCase(const Options& options)
{
    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/bench-journal-XXXXXX"));
    QString reason;
    QElapsedTimer opening;
    opening.start();
    std::unique_ptr<journal::Journal> j = journal::Journal::open(dir.path(), &reason);
    const double openMs = opening.nsecsElapsed() / 1e6;
    if (!j) {
        std::fprintf(stderr, "journal: %s\n", qPrintable(reason));
        return 1;
    }
    QList<journal::ListAddress> addresses;
    for (int i = 0; i < options.count; ++i)
        addresses.append(
            {i + 1, QStringLiteral("recipient%1@example.jp").arg(i, 6, 10, QLatin1Char('0'))});
    journal::RunMessage message;
    message.list = {dir.path() + QStringLiteral("/csv/list.csv"), 3000000,
                    QStringLiteral("2026-12-01T09:00:00"), QString(64, QLatin1Char('0'))};
    message.subject = kSubject;
    message.senderName = QStringLiteral("差出人");
    message.body = QString(2000, QChar(0x3042));
    message.intervalMs = 100;
    QElapsedTimer timer;
    timer.start();
    const std::optional<qint64> id =
        j->beginRun(message, addresses, QDateTime::currentDateTime(), &reason);
    const double startMs = timer.nsecsElapsed() / 1e6;
    if (!id) {
        std::fprintf(stderr, "journal: %s\n", qPrintable(reason));
        return 1;
    }
    // The first mails of the run, written as the window writes them.
    const int mails = std::min(options.count, 2000);
    double sendingMax = 0, outcomeMax = 0, total = 0;
    for (int i = 0; i < mails; ++i) {
        const QDateTime now = QDateTime::currentDateTime();
        timer.restart();
        const bool marked = j->markSending(*id, i, now, &reason);
        const double sending = timer.nsecsElapsed() / 1e6;
        timer.restart();
        const bool recorded =
            j->recordOutcome(*id, i, journal::MailState::Sent, QString(), now, &reason);
        const double outcome = timer.nsecsElapsed() / 1e6;
        if (!marked || !recorded) {
            std::fprintf(stderr, "journal: %s\n", qPrintable(reason));
            return 1;
        }
        sendingMax = std::max(sendingMax, sending);
        outcomeMax = std::max(outcomeMax, outcome);
        total += sending + outcome;
    }
    const qint64 size = fileSize(j->path());
    const QString path = j->path();
    j.reset();
    const qint64 closedSize = fileSize(path);

    // A resume: open, find the run, settle its in-flight rows, read its rows, plan.
    timer.restart();
    j = journal::Journal::open(dir.path(), &reason);
    std::optional<journal::InterruptedRun> run = j ? j->interruptedRun(&reason) : std::nullopt;
    std::optional<QList<journal::MailRow>> settled =
        run ? j->settleInFlight(run->id, &reason) : std::nullopt;
    std::optional<QList<journal::MailRow>> rows =
        settled ? j->mailRows(run->id, &reason) : std::nullopt;
    if (!rows) {
        std::fprintf(stderr, "journal resume: %s\n", qPrintable(reason));
        return 1;
    }
    const journal::ResumePlan plan = journal::planResume(*rows);
    const double resumeMs = timer.nsecsElapsed() / 1e6;
    std::printf("journal, %d addresses: a new journal file opened in %.1f ms; start of the run "
                "%.0f ms; per mail %.2f ms ('sending' "
                "synced + outcome) over %d mails, slowest 'sending' %.2f ms, slowest outcome "
                "%.2f ms; size %.1f MB during the run, %.1f MB closed; resume opens the run in "
                "%.0f ms (%lld to send)\n",
                options.count, openMs, startMs, total / mails, mails, sendingMax, outcomeMax,
                size / 1e6, closedSize / 1e6, resumeMs, qlonglong(plan.toSend.size()));
    return 0;
}

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    Options options;
    bool countGiven = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        const QString value = i + 1 < args.size() ? args[i + 1] : QString();
        if (arg == QLatin1String("--silent-server")) {
            options.silentServer = true;
            continue;
        }
        if (arg == QLatin1String("--throttled-attachment")) {
            options.throttledAttachment = true;
            continue;
        }
        if (arg == QLatin1String("--journal")) {
            options.journal = true;
            continue;
        }
        ++i;
        if (arg == QLatin1String("--count")) {
            options.count = value.toInt();
            countGiven = true;
        } else if (arg == QLatin1String("--interval"))
            options.intervalMs = value.toInt();
        else if (arg == QLatin1String("--rounds"))
            options.rounds = value.toInt();
        else if (arg == QLatin1String("--port"))
            options.port = quint16(value.toUInt());
        else if (arg == QLatin1String("--megabytes"))
            options.megabytes = value.toInt();
        else if (arg == QLatin1String("--rate"))
            options.rate = value.toDouble();
        else
            options.count = 0; // unknown: show the usage
    }
    // The two stall cases send few mails: each of them takes seconds.
    if (!countGiven && (options.silentServer || options.throttledAttachment))
        options.count = 2;
    if (!countGiven && options.journal)
        options.count = 100000;
    if (options.count < 2 || options.intervalMs < 1 || options.rounds < 1 ||
        options.megabytes < 1 || options.rate <= 0) {
        std::fprintf(stderr,
                     "usage: bench_delivery [--count N>=2] [--interval MS>=1] [--rounds R>=1] "
                     "[--port P]\n"
                     "       bench_delivery --silent-server [--count N>=2]\n"
                     "       bench_delivery --throttled-attachment [--count N>=2] [--megabytes MB] "
                     "[--rate BYTES_PER_S]\n");
        return 2;
    }
    if (options.journal)
        return journalCase(options);
    if (options.silentServer)
        return silentServerCase(options);
    if (options.throttledAttachment)
        return throttledAttachmentCase(options);
    return deliveryRounds(options);
}
