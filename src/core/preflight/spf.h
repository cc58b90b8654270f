#pragma once

#include <QString>
#include <QStringList>

// Reading an SPF record (RFC 7208) the way a receiver would before it evaluates it: a record
// that does not parse is a permanent error there, and every mail fails SPF.
namespace preflight {

// RFC 7208 section 4.6.4: more terms that query DNS than this make the record a permanent error.
inline constexpr int kMaxSpfLookups = 10;

struct SpfRecord
{
    // The first term a receiver cannot read, and why (a Japanese clause); empty when it reads.
    QString badTerm;
    QString problem;
    // Terms that query DNS in this record itself: include, a, mx, ptr, exists, and redirect
    // when it is followed.
    int lookups = 0;
    // Domains whose own records count as well: include: targets in order, then redirect=.
    // A target holding a macro is counted but cannot be followed before a mail exists.
    QStringList followed;
    // "all" without a qualifier or with "+": every host of the internet may send as the domain.
    bool passAll = false;
};

// True when the TXT value is an SPF record at all: "v=spf1" in any case, then a space or the end.
bool IsSpfRecord(const QString& text);

SpfRecord ParseSpf(const QString& text);

} // namespace preflight
