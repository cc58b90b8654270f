#pragma once

#include <QString>

#include <optional>

// The parts of the composition choosers that need no window: reading a body file, the mail
// form of the body being edited, and the attachment list rule.
namespace compose {

// Reads a body file whole and returns its text with CR LF after every line, the last one
// included. A line ends at a carriage return, optionally followed by a line feed; a last
// line without a line end counts too. The file is code page 932 unless it is well-formed
// UTF-8 (a byte-order mark is allowed and dropped), since current editors save UTF-8.
// Returns nullopt when the file cannot be opened or read, with the system's reason in
// *errorText.
std::optional<QString> loadBodyFile(const QString& path, QString* errorText);

// The body as the mail carries it, from the editor's text: every line break becomes CR LF.
// An editor keeps paragraphs apart with "\n", U+2029 or U+2028, whatever line ends the text
// was given, so a loaded body comes back exactly as it was built.
QString bodyWithCrLf(const QString& editorText);

// The attachment box after choosing path: the path alone when the box holds only blanks,
// else the box unchanged (spaces included), "," and the path.
QString appendAttachment(const QString& current, const QString& path);

} // namespace compose
