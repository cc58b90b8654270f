#pragma once

#include <QString>

namespace transport {

// Where and how a POP3 login connects, read from the POP3 setting:
//   "host"               plain POP3 on port 110, no TLS (what the setting always meant);
//   "host:port"          plain POP3 on another port;
//   "pop3s://host[:port]" TLS from the first byte, port 995 unless given;
//   "pop3://host[:port]"  plain connect, then STLS, which the server must accept.
struct Pop3Endpoint
{
    enum class Security { None, ImplicitTls, StartTls };

    QString host;
    quint16 port = 110;
    Security security = Security::None;
};

// False, with a description in errorText, when the value can't name a server.
bool parsePop3Server(const QString& value, Pop3Endpoint* endpoint, QString* errorText);

} // namespace transport
