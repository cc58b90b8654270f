// The POP3 half of the transport entry points: a login for "POP before SMTP".
#include "core/transport/last_error.h"
#include "core/transport/nmail.h"
#include "core/transport/pop3_client.h"

#include <map>
#include <memory>

namespace {

// Handles are small positive integers for live sessions. They are not reused soon, so a
// stale handle held by a caller fails instead of reaching someone else's session.
struct Sessions
{
    std::map<int, std::unique_ptr<transport::Pop3Client>> live;
    int last = 0;

    int add(std::unique_ptr<transport::Pop3Client> client)
    {
        do {
            last = last >= 0x3fffffff ? 1 : last + 1;
        } while (live.count(last) != 0);
        live.emplace(last, std::move(client));
        return last;
    }
    transport::Pop3Client* find(int handle)
    {
        const auto it = live.find(handle);
        return it == live.end() ? nullptr : it->second.get();
    }
};

Sessions& sessions()
{
    static Sessions table;
    return table;
}

void reportBadHandle(int handle)
{
    transport::setLastError(
        QStringLiteral("POP3の接続が無効です (ハンドル %1)。接続していないか、既に閉じています。")
            .arg(handle));
}

} // namespace

int NMailPop3Connect(const QString& server)
{
    transport::setLastError(QString());
    transport::Pop3Endpoint endpoint;
    QString errorText;
    if (!transport::parsePop3Server(server, &endpoint, &errorText)) {
        transport::setLastError(errorText, transport::FailureClass::Local);
        return -1;
    }
    auto client = std::make_unique<transport::Pop3Client>();
    if (!client->open(endpoint, &errorText)) {
        transport::setLastError(errorText, transport::FailureClass::Connection);
        return -1;
    }
    return sessions().add(std::move(client));
}

int NMailPop3Authenticate(int handle, const QString& user, const QString& password, int apop)
{
    transport::Pop3Client* client = sessions().find(handle);
    if (!client) {
        reportBadHandle(handle);
        return -1;
    }
    transport::setLastError(QString());
    QString errorText;
    const auto method =
        apop != 0 ? transport::Pop3Client::Method::Apop : transport::Pop3Client::Method::UserPass;
    if (!client->login(user, password, method, &errorText)) {
        // Control characters are refused before anything is sent; every other failure is the
        // server's answer or the connection's.
        const bool local =
            transport::unsafeInPop3Command(user) || transport::unsafeInPop3Command(password);
        transport::setLastError(errorText, local ? transport::FailureClass::Local
                                                 : transport::FailureClass::Connection);
        return -1;
    }
    return 0;
}

int NMailPop3Close(int handle)
{
    auto& live = sessions().live;
    const auto it = live.find(handle);
    if (it == live.end()) {
        reportBadHandle(handle);
        return -1;
    }
    // Take the session out first: quitting may block, and the handle is dead either way.
    std::unique_ptr<transport::Pop3Client> client = std::move(it->second);
    live.erase(it);
    client->quit();
    return 0;
}

transport::LoginOutcome NMailPop3Login(const transport::Pop3Request& login)
{
    transport::LoginOutcome outcome;
    const int handle = NMailPop3Connect(login.server);
    if (handle < 0) {
        outcome.errorText = transport::lastError();
        return outcome;
    }
    outcome.ok =
        NMailPop3Authenticate(handle, login.user, login.password, login.apop ? -1 : 0) == 0;
    if (!outcome.ok)
        outcome.errorText = transport::lastError();
    // Saying goodbye never turns a login into a failure, nor hides why one failed.
    const transport::FailureClass failure = transport::lastFailureClass();
    NMailPop3Close(handle);
    transport::setLastError(outcome.errorText, failure);
    return outcome;
}
