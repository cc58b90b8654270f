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
    transport::Pop3Endpoint endpoint;
    QString errorText;
    if (!transport::parsePop3Server(server, &endpoint, &errorText)) {
        transport::setLastError(errorText);
        return -1;
    }
    auto client = std::make_unique<transport::Pop3Client>();
    if (!client->open(endpoint, &errorText)) {
        transport::setLastError(errorText);
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
    QString errorText;
    const auto method =
        apop != 0 ? transport::Pop3Client::Method::Apop : transport::Pop3Client::Method::UserPass;
    if (!client->login(user, password, method, &errorText)) {
        transport::setLastError(errorText);
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
