// Every reader of a file the operator names refuses at once what is not a regular file: opening
// a FIFO for reading would wait for a writer forever, /dev/zero never ends, and a folder holds
// no text. And a file read whole into memory is refused beyond a sane size. Each read runs on a
// thread of its own under a deadline, so that a reader that hangs fails the test instead of
// holding CTest until its time-out.
#include "core/bulk/dkim_signer.h"
#include "core/bulk/suppression.h"
#include "core/compose/body_file.h"
#include "core/delivery/list_count.h"
#include "core/delivery/recipient_list.h"
#include "core/transport/message_composer.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include <sys/stat.h>

namespace {

// A reader: nullopt when it accepted the file, else the message it gave.
using Reader = std::function<std::optional<QString>(const QString& path)>;

template <typename T> std::optional<QString> refusal(const T& result, const QString& error)
{
    if (result)
        return std::nullopt;
    return error;
}

Reader reader(const QString& name)
{
    if (name == QLatin1String("suppression list"))
        return [](const QString& path) {
            QString error;
            return refusal(bulk::SuppressionList::read(path, &error), error);
        };
    if (name == QLatin1String("DKIM key"))
        return [](const QString& path) {
            QString error;
            return refusal(bulk::ReadDkimKey(path, &error), error);
        };
    if (name == QLatin1String("recipient list"))
        return [](const QString& path) {
            QString error;
            return refusal(delivery::RecipientList::open(path, &error), error);
        };
    if (name == QLatin1String("recipient count"))
        return [](const QString& path) {
            QString error;
            return refusal(delivery::CountRecipients(path, &error), error);
        };
    if (name == QLatin1String("body file"))
        return [](const QString& path) {
            QString error;
            return refusal(compose::loadBodyFile(path, &error), error);
        };
    if (name == QLatin1String("attachment"))
        return [](const QString& path) {
            transport::OutgoingMail mail;
            mail.fromAddress = QStringLiteral("kez@example.jp");
            mail.toAddress = QStringLiteral("taro@example.jp");
            mail.subject = QStringLiteral("s");
            mail.body = QStringLiteral("b\r\n");
            mail.attachmentPaths = {path};
            mail.date = QDateTime::currentDateTime();
            QString error;
            return refusal(transport::composeMessage(mail, &error), error);
        };
    return {};
}

} // namespace

class TestSpecialFiles : public QObject
{
    Q_OBJECT

private slots:
    void refusedAtOnce_data();
    void refusedAtOnce();

private:
    QTemporaryDir m_dir;
};

void TestSpecialFiles::refusedAtOnce_data()
{
    QTest::addColumn<QString>("reader");
    QTest::addColumn<QString>("kind");

    const QStringList readers = {"suppression list", "DKIM key",  "recipient list",
                                 "recipient count",  "body file", "attachment"};
    for (const QString& r : readers) {
        for (const char* kind : {"FIFO", "/dev/zero", "/dev/null", "folder"})
            QTest::newRow(qPrintable(r + ": " + kind)) << r << QString::fromLatin1(kind);
    }
    // Files read whole into memory: the key at most 64 KiB, the body at most 16 MiB.
    QTest::newRow("DKIM key: one byte beyond 64 KiB") << "DKIM key"
                                                      << "65537";
    QTest::newRow("body file: one byte beyond 16 MiB") << "body file"
                                                       << "16777217";
}

void TestSpecialFiles::refusedAtOnce()
{
    QFETCH(QString, reader);
    QFETCH(QString, kind);
    QVERIFY(m_dir.isValid());

    QString path;
    if (kind == QLatin1String("FIFO")) {
        path = m_dir.filePath(QStringLiteral("fifo-%1").arg(QTest::currentDataTag()));
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    } else if (kind == QLatin1String("folder")) {
        path = m_dir.path();
    } else if (kind.startsWith(QLatin1Char('/'))) {
        path = kind;
    } else {
        // A sparse file of that many bytes: quick to make, and as large as it says.
        path = m_dir.filePath(QStringLiteral("large"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(file.resize(kind.toLongLong()));
    }

    const Reader read = ::reader(reader);
    QVERIFY(read);
    auto done = std::make_shared<std::promise<std::optional<QString>>>();
    std::future<std::optional<QString>> result = done->get_future();
    // Detached: a reader that hangs cannot be joined, and the test must still end.
    std::thread([read, path, done] { done->set_value(read(path)); }).detach();
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
        qFatal("%s hung on %s", qPrintable(reader), qPrintable(path));

    const std::optional<QString> error = result.get();
    QVERIFY2(error, "accepted");
    QVERIFY2(!error->trimmed().isEmpty(), "refused without a reason");
    // The reason is said, not just "could not read": which kind of file it is, or its size.
    const bool sizeCase = kind.front().isDigit();
    const QString expected = sizeCase                        ? QStringLiteral("大きすぎます")
                             : kind == QLatin1String("FIFO") ? QStringLiteral("FIFO")
                             : kind == QLatin1String("folder") ? QStringLiteral("フォルダー")
                                                               : QStringLiteral("デバイス");
    // The attachment check has long had its own words for anything but a regular file.
    const bool attachmentText = reader == QLatin1String("attachment") && !sizeCase &&
                                error->contains(QStringLiteral("ファイルではありません"));
    QVERIFY2(error->contains(expected) || attachmentText, qPrintable(*error));
}

QTEST_GUILESS_MAIN(TestSpecialFiles)
#include "test_special_files.moc"
