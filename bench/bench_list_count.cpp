// The count of a recipient list's non-blank lines, made once at the start of a run so that
// the window's caption can show the total. A list of a million lines must count in well under
// a second, since the window does not answer meanwhile.
//
//   bench_list_count [--lines N] [--rounds R]
//
// Writes three lists of N lines to a temporary folder: ASCII addresses in code page 932 with
// every tenth line blank, lines that start with a kanji name in code page 932, and UTF-8 with a
// byte-order mark whose lines start with an ideographic space. Each is counted R times; the
// first count (the decoder tables are built then) and the median are printed, with the count
// itself and the throughput.
#include "core/delivery/list_count.h"
#include "core/platform/text_files.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

QString writeList(const QString& path, const QByteArray& head,
                  const std::function<QByteArray(int)>& line, int lines)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    QByteArray chunk = head;
    for (int i = 0; i < lines; ++i) {
        chunk += line(i);
        if (chunk.size() > (1 << 20)) {
            file.write(chunk);
            chunk.clear();
        }
    }
    file.write(chunk);
    return path;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    int lines = 1'000'000;
    int rounds = 5;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--lines"))
            lines = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--rounds"))
            rounds = std::max(1, args[i + 1].toInt());
    }

    QTemporaryDir dir;
    const QByteArray kanji = *platform::encodeCp932(QStringLiteral("山田太郎 <"));
    const QByteArray space = QStringLiteral("\u3000").toUtf8();
    struct List
    {
        const char* name;
        QString path;
    };
    const std::vector<List> lists = {
        {"ASCII, CP932, every 10th blank", writeList(
                                               dir.filePath("ascii.csv"), {},
                                               [](int i) {
                                                   return i % 10 == 9
                                                              ? QByteArray("  \r\n")
                                                              : "user" + QByteArray::number(i) +
                                                                    "@example.jp\r\n";
                                               },
                                               lines)},
        {"kanji names, CP932",
         writeList(
             dir.filePath("kanji.csv"), {},
             [&](int i) { return kanji + "u" + QByteArray::number(i) + "@example.jp>\r\n"; },
             lines)},
        {"UTF-8 BOM, ideographic space first",
         writeList(
             dir.filePath("utf8.csv"), "\xEF\xBB\xBF",
             [&](int i) { return space + "u" + QByteArray::number(i) + "@example.jp\n"; }, lines)},
    };

    std::printf("%d lines, %d rounds\n", lines, rounds);
    for (const List& list : lists) {
        std::vector<double> ms;
        qint64 count = -1;
        for (int r = 0; r < rounds; ++r) {
            QElapsedTimer timer;
            timer.start();
            count = delivery::CountRecipients(list.path).value_or(-1);
            ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        }
        const double first = ms.front();
        std::sort(ms.begin(), ms.end());
        const double median = ms[ms.size() / 2];
        const double mib = double(QFile(list.path).size()) / (1 << 20);
        std::printf("%-36s %8.1f MiB  count %9lld  first %7.1f ms  median %7.1f ms  %6.0f MiB/s\n",
                    list.name, mib, static_cast<long long>(count), first, median,
                    mib / (median / 1000.0));
    }
    return 0;
}
