#pragma once

// A scripted SMTP server for the transport's tests, with the script-and-transcript API of
// fake_server.h. It serves every connection on a thread of its own, so a blocking libcurl call
// on the test thread never waits for the test's event loop.
//
// The server reads the script at the start of each connection and of each command, so a change
// takes effect on the next command.
//
//   testing_support::FakeSmtpServer server;
//   SmtpScript script;
//   script.rejectRecipients["nobody@example.jp"] = "550 5.1.1 User unknown";
//   server.setScript(script);
//   ... send to server.address() ...
//   QCOMPARE(server.messages().size(), 1);
//
// Besides the shared entries, the transcript shows "C: <DATA: n bytes>" for the message content;
// AUTH arguments are shown as "****".

#include "fake_server.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QStringList>

#include <atomic>
#include <memory>

namespace testing_support {

struct SmtpScript
{
    // The first line the server sends; a 4xx/5xx greeting ends the connection after it.
    QByteArray greeting = "220 fake.smtp.test ESMTP ready";
    // Lines after the first of the EHLO reply.
    QList<QByteArray> ehloCapabilities = {"8BITMIME", "SIZE 52428800"};

    // Replies that replace the usual 250/354. Empty = the usual reply. A reply starting with
    // "421" closes the connection after it is sent.
    QByteArray mailReply;    // to MAIL FROM
    QByteArray rcptReply;    // to every RCPT TO not listed in rejectRecipients
    QByteArray dataReply;    // to the DATA command
    QByteArray dataEndReply; // to the "." that ends the content
    // Recipient address (as between the angle brackets, compared case-insensitively) -> reply.
    QMap<QByteArray, QByteArray> rejectRecipients;

    // The Nth MAIL FROM on a connection (1-based) gets "421 4.3.2 ..." and the connection is
    // closed; 0 = never. 2 means "one message per connection, then 421".
    int reject421AtTransaction = 0;
    // The Nth MAIL FROM on a connection (1-based) makes the server close the connection without
    // a reply (it went away just as the client reused it); 0 = never.
    int dropAtTransaction = 0;
    // After this many accepted messages on a connection, the server closes it without a word
    // (an idle time-out as a real server has); 0 = never.
    int closeAfterMessages = 0;
    // Close the connection once this many bytes of message content have arrived; -1 = never.
    int dropDuringDataAfterBytes = -1;
    // From this command on the server reads but never answers again ("CONNECT" = not even a
    // greeting, "EHLO", "MAIL", "RCPT", "DATA", "." for the end of the content, or "QUIT"). Empty =
    // never.
    QByteArray silentFrom;
    // Wait before every reply (a slow server).
    int replyDelayMs = 0;
    // Wait this much longer before answering the "." that ends the content (a reply that comes
    // after the client gave up); the connection is served on afterwards.
    int dataEndDelayMs = 0;

    // TLS with the server's own self-signed certificate for the name "localhost" only (so
    // "127.0.0.1" is a wrong host name; certificatePath()): STARTTLS offered in EHLO, or TLS
    // from the first byte.
    bool offerStartTls = false;
    bool implicitTls = false;
    // When authUser is set, AUTH PLAIN is offered (only once TLS is up, when TLS is on) and
    // required before MAIL; other credentials get "535 5.7.8 ...".
    QByteArray authUser;
    QByteArray authPassword;
};

struct SmtpMessage
{
    int connection = 0;           // which connection carried it, counted from 1
    QByteArray mailFrom;          // between the angle brackets of MAIL FROM
    QList<QByteArray> recipients; // accepted RCPT TO addresses, in order
    QByteArray data;              // the content as on the wire, up to and without the final ".\r\n"
    bool accepted = false;        // the server answered the end of the content with 2xx
    bool overTls = false;
    QByteArray authenticatedUser; // empty without AUTH

    // The content with the transparency dots removed (what the sender composed).
    QByteArray content() const;
};

class FakeSmtpServer final : public ScriptedServer<SmtpScript>
{
public:
    FakeSmtpServer();
    explicit FakeSmtpServer(const SmtpScript& script);
    ~FakeSmtpServer() override;
    FakeSmtpServer(const FakeSmtpServer&) = delete;
    FakeSmtpServer& operator=(const FakeSmtpServer&) = delete;

    // The PEM file of the server's self-signed certificate, for a client that is told to
    // trust it.
    QString certificatePath() const;

    // Every message whose content ended with "." (accepted or not), in order.
    QList<SmtpMessage> messages() const;
    QList<SmtpMessage> acceptedMessages() const;
    // The messages go too.
    void clearRecord() override;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace testing_support
