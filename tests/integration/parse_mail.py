#!/usr/bin/python3
"""Reads one stored mail with Python's email package and its stock codecs, and prints what a
mail reader shows, as JSON: the subject, sender name and address, body, attachment names and
digests, plus facts about the raw bytes (line ends, line lengths, 8-bit bytes, escapes, the
parser's defects). Usage: parse_mail.py MESSAGE.eml

Nothing here decodes text itself: a charset Python's codecs can't read shows as Python shows
it (raw encoded words, U+FFFD), so the comparison with what was typed fails.

The sender name is read twice. "from_name" follows RFC 2047 (email.utils.parseaddr, then
email.header.decode_header): the blank between two adjacent encoded words is dropped.
"from_name_modern" is the email.policy.default reading, which keeps a blank there.
"""

import email
import email.header
import email.policy
import email.utils
import hashlib
import json
import re
import sys


def unfold(value):
    return re.sub(r"\r?\n(?=[ \t])", "", str(value))


def decode_words(value):
    parts = []
    for chunk, charset in email.header.decode_header(value):
        parts.append(chunk if isinstance(chunk, str) else chunk.decode(charset or "ascii", errors="replace"))
    return "".join(parts)


def escapes(data):
    return sorted({data[i + 1:i + 3].decode("latin-1")
                   for i in range(len(data)) if data[i] == 0x1B})


def main():
    raw = open(sys.argv[1], "rb").read()
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    old = email.message_from_bytes(raw, policy=email.policy.compat32)

    head = raw.split(b"\r\n\r\n", 1)[0]
    lines = raw.split(b"\r\n")
    defects = [type(d).__name__ for part in msg.walk() for d in part.defects]
    result = {
        "header_names": list(msg.keys()),
        "date": str(msg["Date"]),
        "message_id": str(msg["Message-ID"]),
        "mime_version": str(msg["MIME-Version"]),
        "to": str(msg["To"]),
        "raw_subject": unfold(old["Subject"]),
        "raw_from": unfold(old["From"]),
        "subject": str(msg["Subject"]),
        "subject_charsets": sorted({(c or "").lower()
                                    for _, c in email.header.decode_header(unfold(old["Subject"]))
                                    if c}),
        "content_type": msg.get_content_type(),
        "max_line_octets": max(len(line) for line in lines),
        "max_header_line": max(len(line) for line in head.split(b"\r\n")),
        "bare_cr_or_lf": any(b"\r" in line or b"\n" in line for line in lines),
        "eight_bit": any(b >= 0x80 for b in raw),
        "nul": b"\x00" in raw,
        "escapes": escapes(raw),
        "defects": defects,
    }

    name, address = email.utils.parseaddr(unfold(old["From"]))
    result["from_name"] = decode_words(name) if name else ""
    result["from_charsets"] = sorted({(c or "").lower()
                                      for _, c in email.header.decode_header(name) if c})
    result["from_address"] = address
    addresses = msg["From"].addresses
    result["from_name_modern"] = addresses[0].display_name if addresses else None

    result["body"] = None
    result["attachments"] = []
    for part in msg.walk():
        if part.is_multipart():
            continue
        if not part.is_attachment() and result["body"] is None:
            result["body"] = part.get_content()
            result["body_charset"] = part.get_content_charset()
            result["body_transfer_encoding"] = part.get("Content-Transfer-Encoding")
            continue
        payload = part.get_payload(decode=True) or b""
        result["attachments"].append({
            "filename": part.get_filename(),
            "name": part["Content-Type"].params.get("name"),
            "content_type": part.get_content_type(),
            "transfer_encoding": part.get("Content-Transfer-Encoding"),
            "sha256": hashlib.sha256(payload).hexdigest(),
            "size": len(payload),
        })

    json.dump(result, sys.stdout, ensure_ascii=False, indent=1)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
