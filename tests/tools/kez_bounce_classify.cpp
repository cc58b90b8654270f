// Prints what the program makes of returned mails, one line a failed recipient:
// "address<TAB>verdict". Used by the tests that compare it with other bounce readers.
//   kez_bounce_classify [--mailto TEMPLATE] FILE...
#include "core/bounce/returned_mail.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString mailto;
    if (args.size() >= 2 && args[0] == QLatin1String("--mailto")) {
        mailto = args[1];
        args = args.mid(2);
    }
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (args.isEmpty()) {
        err << "usage: kez_bounce_classify [--mailto TEMPLATE] FILE...\n";
        return 2;
    }
    int status = 0;
    for (const QString& path : std::as_const(args)) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            err << path << ": " << file.errorString() << '\n';
            status = 1;
            continue;
        }
        const bounce::ReturnedMail mail = bounce::readReturnedMail(file.readAll(), mailto);
        for (const bounce::FailedRecipient& r : mail.recipients)
            out << r.address << '\t' << bounce::verdictName(r.verdict) << '\n';
    }
    return status;
}
