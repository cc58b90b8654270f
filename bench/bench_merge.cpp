// Merge fields in a run: what a list with columns and four fields costs per mail against the
// same mails from a list of bare addresses, and whether memory stays flat as the list grows.
//
//   bench_merge [--rows N] [--rounds R]
//
// Two lists of the same N addresses are written to a temporary folder, as a spreadsheet saves
// them: a code page 932 CSV with a header row and 6 columns (メールアドレス,氏名,会社名,部署,役職,
// 電話), and the bare addresses one per line. Each list is then sent without a network, doing on
// one thread what a run does for each mail before the transport's socket: take the next row
// (the journal's intake), find it again by its line (the tick), fill the subject and the body
// (four fields: 会社名, 氏名, 部署, 役職) and build the mail's bytes, whose charset is chosen per
// mail. The bare list goes the run's old way: next address, the texts as typed, the same bytes.
// Every tenth CSV row holds a ① in its 氏名, so those mails go out in UTF-8.
//
// Each list and round runs in a process of its own, so each has its own peak resident memory
// (VmHWM), taken after the first 1,000 mails and at the end: rows read as the run reaches them
// keep the two equal. Prints the median time per mail of each way over the rounds and the
// difference, whose goal is at most 0.1 ms.
#include "core/delivery/recipient_list.h"
#include "core/merge/merge_fields.h"
#include "core/platform/text_files.h"
#include "core/transport/message_composer.h"

#include "peak_memory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr qint64 kEarly = 1000;

const QString kSubject = QStringLiteral("【{{会社名}}】{{氏名}}様　年末年始の営業日のご案内");
const QString kSenderName = QStringLiteral("ケズ商事　営業部");
// About the length of a business notice: the fields sit in its opening lines.
QString bodyTemplate()
{
    QString body = QStringLiteral("{{会社名}}\r\n{{部署}}　{{役職}}\r\n{{氏名}}様\r\n\r\n"
                                  "いつもお世話になっております。ケズ商事の山田です。\r\n");
    for (int i = 0; i < 12; ++i)
        body += QStringLiteral("年末年始の営業日と配送の締め切りについてお知らせいたします。"
                               "ご不明な点はお気軽にお問い合わせ下さい。\r\n");
    return body;
}

QString address(qint64 i)
{
    return QStringLiteral("user%1@example%2.jp").arg(i).arg(i % 50);
}

void writeLists(const QString& csvPath, const QString& barePath, qint64 rows)
{
    QFile csv(csvPath);
    QFile bare(barePath);
    if (!csv.open(QIODevice::WriteOnly) || !bare.open(QIODevice::WriteOnly))
        qFatal("bench_merge: cannot write the lists");
    QStringEncoder cp932(platform::kCp932);
    csv.write(cp932(QStringLiteral("メールアドレス,氏名,会社名,部署,役職,電話\r\n")));
    for (qint64 i = 1; i <= rows; ++i) {
        // A quoted company name with a comma, as a spreadsheet writes one.
        const QString company = i % 7 == 0 ? QStringLiteral("\"株式会社ケズ%1,東京支社\"").arg(i)
                                           : QStringLiteral("株式会社ケズ%1").arg(i);
        const QString name =
            i % 10 == 0 ? QStringLiteral("髙橋①%1").arg(i) : QStringLiteral("山田太郎%1").arg(i);
        const QString line = QStringLiteral("%1,%2,%3,営業第%4部,課長,03-1234-%5\r\n")
                                 .arg(address(i), name, company)
                                 .arg(i % 9)
                                 .arg(i % 10000, 4, 10, QLatin1Char('0'));
        // ① and 髙 are in code page 932 (Windows' rows), so nothing is lost here.
        csv.write(cp932(line));
        bare.write(address(i).toLatin1() + "\r\n");
    }
}

transport::OutgoingMail mail(const QString& to, const QString& subject, const QString& name,
                             const QString& body)
{
    transport::OutgoingMail m;
    m.fromName = name;
    m.fromAddress = QStringLiteral("info@kez.example.jp");
    m.toAddress = to;
    m.subject = subject;
    m.body = body;
    m.date = QDateTime(QDate(2026, 12, 8), QTime(9, 0), Qt::UTC);
    return m;
}

struct Result
{
    double msPerMail = 0;
    long earlyKiB = 0;
    long endKiB = 0;
    qint64 mails = 0;
    qint64 bytes = 0;
};

// One way in this process: merge or bare.
Result sendAll(const QString& path, bool merge)
{
    Result r;
    QString error;
    const QString body = bodyTemplate();
    QElapsedTimer timer;
    timer.start();
    auto sent = [&r](const std::optional<QByteArray>& bytes) {
        if (!bytes)
            qFatal("bench_merge: a mail was not built");
        r.bytes += bytes->size();
        if (++r.mails == kEarly)
            r.earlyKiB = bench::peakKiB();
    };
    if (merge) {
        std::unique_ptr<merge::RunRows> rows = merge::RunRows::open(path, &error);
        if (!rows)
            qFatal("bench_merge: %s", qPrintable(error));
        const merge::Template texts(kSubject, kSenderName, body, QString());
        while (const std::optional<merge::Row> next = rows->next()) {
            const std::optional<merge::Row> row = rows->rowAt(next->line);
            const auto filled = texts.fill(rows->columns(), *row);
            const auto* f = std::get_if<merge::Filled>(&filled);
            if (!f)
                qFatal("bench_merge: a row was left without its field");
            sent(transport::composeMessage(
                mail(row->fields.first(), f->subject, f->senderName, f->body), &error));
        }
        if (rows->hasError())
            qFatal("bench_merge: %s", qPrintable(rows->errorString()));
    } else {
        std::unique_ptr<delivery::RecipientList> list = delivery::RecipientList::open(path, &error);
        if (!list)
            qFatal("bench_merge: %s", qPrintable(error));
        // Texts as an operator would type them without fields: the template filled once with
        // a row like most of the list's (a five-digit number in the names), so both ways build
        // mails of the same length and mostly of the same charset.
        const merge::Columns columns{true,
                                     {QStringLiteral("メールアドレス"), QStringLiteral("氏名"),
                                      QStringLiteral("会社名"), QStringLiteral("部署"),
                                      QStringLiteral("役職"), QStringLiteral("電話")}};
        const merge::Row sample{2,
                                {address(54321), QStringLiteral("山田太郎54321"),
                                 QStringLiteral("株式会社ケズ54321"), QStringLiteral("営業第6部"),
                                 QStringLiteral("課長"), QStringLiteral("03-1234-4321")}};
        const auto typed = std::get<merge::Filled>(
            merge::Template(kSubject, kSenderName, body, QString()).fill(columns, sample));
        while (const std::optional<QString> to = list->readAddress())
            sent(transport::composeMessage(mail(*to, typed.subject, typed.senderName, typed.body),
                                           &error));
    }
    r.msPerMail = timer.nsecsElapsed() / 1e6 / double(r.mails);
    r.endKiB = bench::peakKiB();
    return r;
}

// sendAll in a child process, its result back through a pipe.
Result inChild(const QString& path, bool merge)
{
    std::fflush(stdout);
    int fds[2];
    if (pipe(fds) != 0)
        qFatal("bench_merge: pipe");
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        const Result r = sendAll(path, merge);
        if (write(fds[1], &r, sizeof r) != ssize_t(sizeof r))
            _exit(1);
        _exit(0);
    }
    close(fds[1]);
    Result r;
    const bool whole = read(fds[0], &r, sizeof r) == ssize_t(sizeof r);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!whole || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        qFatal("bench_merge: the %s run failed", merge ? "merge" : "bare");
    return r;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    qint64 rows = 100'000;
    int rounds = 3;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--rows"))
            rows = std::max<qint64>(kEarly, args[i + 1].toLongLong());
        else if (args[i] == QLatin1String("--rounds"))
            rounds = std::max(1, args[i + 1].toInt());
    }
    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("list.csv"));
    const QString bare = dir.filePath(QStringLiteral("bare.csv"));
    writeLists(csv, bare, rows);
    std::printf("%lld rows, 6 columns, 4 fields in subject and body; %d rounds\n", rows, rounds);

    std::vector<double> bareMs, mergeMs;
    for (int round = 0; round < rounds; ++round) {
        // Taking turns spreads a busy moment of the machine over both ways.
        for (const bool merge : {false, true}) {
            const Result r = inChild(merge ? csv : bare, merge);
            (merge ? mergeMs : bareMs).push_back(r.msPerMail);
            std::printf("  %-6s %.4f ms/mail, %lld mails, %.1f MiB of mail, peak %ld KiB after "
                        "%lld mails, %ld KiB at the end\n",
                        merge ? "fields" : "bare", r.msPerMail, r.mails, r.bytes / 1048576.0,
                        r.earlyKiB, kEarly, r.endKiB);
        }
    }
    const double b = median(bareMs);
    const double m = median(mergeMs);
    std::printf("median: bare %.4f ms/mail, with fields %.4f ms/mail, %+.4f ms a mail "
                "(goal at most +0.1)\n",
                b, m, m - b);
    return 0;
}
