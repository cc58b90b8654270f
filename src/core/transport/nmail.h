#pragma once

#include "core/transport/mail_transport.h"
#include "core/transport/message_signer.h"

#include <QString>

// The program's mail transport. The entry points keep the names and the contract the program
// has always called: synchronous, on the UI thread; negative results mean failure, and
// NMailGetMessage describes the last failure.
//
// Server values: a bare host means plain SMTP on port 25 / POP3 on 110; "host:port" picks
// the port; "smtps://", "smtp://" (STARTTLS required), "pop3s://" and "pop3://" (STLS
// required) opt into TLS; user and password in an SMTP URL turn on SMTP AUTH.

// The size of the buffer the program hands NMailGetMessage, in characters, and the value of
// option 1 it sets at start-up.
inline constexpr int kErrorTextBufferSize = 8192;

int NMailInitializeWinSock();
// Option 1 is the size of the error text buffer, in characters.
int NMailSetOption(int option, int value);
// Closes the connection kept open between the mails of a run and releases libcurl.
int NMailEndWinSock();

// Returns a handle, or -1 when the connection failed.
int NMailPop3Connect(const QString& server);
// apop: -1 (or any non-zero) for APOP, 0 for USER/PASS. Negative result on failure.
int NMailPop3Authenticate(int handle, const QString& user, const QString& password, int apop);
int NMailPop3Close(int handle);
// One whole "POP before SMTP" login: connect, authenticate, quit, within the login's deadline.
// A failure's reason is in the outcome and, as for the calls above, in NMailGetMessage.
transport::LoginOutcome NMailPop3Login(const transport::Pop3Request& login);

// cc and bcc are the library's unused slots; pass nullptr. header: extra header fields, CR LF
// between them, written after the standard ones (nullptr or empty for none; see
// transport::parseExtraHeaders for what is refused). attachments: full paths joined by ",".
// signer, when given, signs the composed mail; a mail it cannot sign is not sent. Negative
// result on failure.
int NMailSmtpSendMail(const QString& server, const QString& to, const QString* cc,
                      const QString* bcc, const QString& from, const QString& subject,
                      const QString& body, const QString* header, const QString& attachments,
                      int flag, const transport::MessageSigner* signer = nullptr);

// Writes the description of the last failure into buffer, cut to size - 1 characters (size is
// the option-1 value the caller passes by reference). A NUL in it (a server may send one) is
// written as the four characters "\x00", the way the logs show control characters: a reader
// of the buffer takes its text to end at the first NUL.
int NMailGetMessage(int code, QString& buffer, int& size);

// The class of the last failure (None after a success), and whether that mail may have reached
// the server although the send failed. Both describe the same failure as NMailGetMessage.
transport::FailureClass NMailGetFailureClass();
bool NMailGetMayHaveArrived();
// The reply code of the server that refused the last mail; 0 when no reply refused it.
int NMailGetReplyCode();
