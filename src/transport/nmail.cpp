// PLACEHOLDER: to be written by the SMTP transport work.
#include "transport/nmail.h"

int NMailInitializeWinSock() { return 0; }
int NMailSetOption(int, int) { return 0; }
int NMailEndWinSock() { return 0; }
int NMailSmtpSendMail(const QString&, const QString&, const QString*, const QString*,
                      const QString&, const QString&, const QString&, const QString*,
                      const QString&, int) { return -1; }
int NMailGetMessage(int, QString& buffer, int&) { buffer.clear(); return 0; }
