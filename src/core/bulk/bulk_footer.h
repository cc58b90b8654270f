#pragma once

#include "core/bulk/bulk_settings.h"

#include <QString>

#include <optional>

// The footer advertising mail must carry (広告メールの表示事項): who sends it, from where, whom
// to ask, and how to opt out. Delivery and test mails get it after the body; the operator's
// notices never do.
namespace bulk {

inline constexpr char16_t kUnsubscribeUrlPlaceholder[] = u"{unsubscribe_url}";
inline constexpr char16_t kUnsubscribeMailtoPlaceholder[] = u"{unsubscribe_mailto}";

// The check the dialog makes before it saves, and the start of a run again: true when
// settings.footer is usable (an empty one is), else false with the message in *problem. A
// "{...}" other than the three placeholders is named, since it would reach every recipient as
// typed; "{{...}}" belongs to the merge fields and is left to them. A placeholder whose
// template is not set is refused too: the footer would promise an opt-out address and show
// none.
bool CheckFooter(const BulkSettings& settings, QString* problem);

// The footer as one recipient gets it: "{address}" is the plain address, the unsubscribe
// placeholders the same URLs as the List-Unsubscribe field (empty when not set), every line
// break CR LF. Empty when the footer holds nothing to show.
QString FooterFor(const BulkSettings& settings, const QString& footer, const QString& recipient);

// The body with the footer after it, one empty line between; the body unchanged when the
// footer is empty.
QString WithFooter(const QString& body, const QString& footer);

// The footer as bulk.ini keeps it on one line: "\n", "\r", "\t" and "\\" stand for a line
// feed, a carriage return, a tab and a backslash.
QString EscapeFooter(const QString& footer);
// nullopt when a backslash is followed by anything else, or ends the line: the file was
// changed by hand or damaged, and guessing could show recipients a mangled footer.
std::optional<QString> UnescapeFooter(const QString& stored);

// The template "ひな形を入れる" puts in the box: the items the law asks for, with blanks for
// the operator. The opt-out line uses the URL when one is set (or neither is), else the mailto.
QString FooterTemplate(bool useMailto);

} // namespace bulk
