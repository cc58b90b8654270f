#!/usr/bin/python3
"""Parses one stored mail with Python's email package and prints what a mail reader would
show, as JSON: the decoded subject, sender name and address, body, attachment names and
digests, plus facts about the raw bytes (line ends, line lengths, 8-bit bytes, ISO-2022-JP
escapes). Usage: parse_mail.py MESSAGE.eml

ISO-2022-JP text is decoded the way Windows mail programs write it (JIS X 0208 plus the NEC
and NEC-selected IBM rows, which is where characters such as ①, ㈱ and 髙 live). Python's own
iso2022_jp codec knows JIS X 0208 only; it decodes everything it knows, and cp932 the rest.
"""

import email
import email.header
import email.policy
import email.utils
import hashlib
import json
import sys


def decode_jis(data):
    """ISO-2022-JP bytes → text; rows beyond JIS X 0208 are mapped to Shift_JIS, read as cp932."""
    out = []
    mode = "ascii"
    i = 0
    while i < len(data):
        if data[i] == 0x1B:
            seq = data[i:i + 3]
            if seq in (b"\x1b$B", b"\x1b$@"):
                mode = "jis"
            elif seq in (b"\x1b(B", b"\x1b(J"):
                mode = "ascii"
            elif seq == b"\x1b(I":
                mode = "kana"
            else:
                raise ValueError("unknown escape sequence %r" % seq)
            i += 3
            continue
        b = data[i]
        if mode == "jis" and b not in (0x0D, 0x0A):
            c1, c2 = data[i], data[i + 1]
            i += 2
            if not (0x21 <= c1 <= 0x7E and 0x21 <= c2 <= 0x7E):
                raise ValueError("bad JIS bytes %02x %02x" % (c1, c2))
            # JIS X 0208 itself first (so 1-33 stays WAVE DASH U+301C, as every reader shows
            # it); only the rows it leaves empty go through cp932.
            try:
                out.append((b"\x1b$B" + bytes([c1, c2]) + b"\x1b(B").decode("iso2022_jp"))
                continue
            except UnicodeDecodeError:
                pass
            s1 = ((c1 - 0x21) >> 1) + 0x81
            if s1 > 0x9F:
                s1 += 0x40
            if c1 & 1:
                s2 = c2 + 0x1F
                if s2 >= 0x7F:
                    s2 += 1
            else:
                s2 = c2 + 0x7E
            out.append(bytes([s1, s2]).decode("cp932"))
        elif mode == "kana":
            out.append(bytes([b + 0x80]).decode("cp932"))
            i += 1
        else:
            out.append(chr(b))
            i += 1
    return "".join(out)


def decode_bytes(data, charset):
    charset = (charset or "us-ascii").lower()
    if charset in ("iso-2022-jp", "iso2022jp", "iso-2022-jp-ms", "cp50220", "cp50221"):
        return decode_jis(data)
    return data.decode(charset)


def decode_header_value(raw):
    if raw is None:
        return None
    parts = []
    for chunk, charset in email.header.decode_header(str(raw)):
        if isinstance(chunk, str):
            parts.append(chunk)
        else:
            parts.append(decode_bytes(chunk, charset))
    return "".join(parts)


def header_charsets(raw):
    return sorted({(c or "").lower() for _, c in email.header.decode_header(str(raw)) if c})


def escapes(data):
    found = set()
    i = data.find(b"\x1b")
    while i >= 0:
        found.add(data[i + 1:i + 3].decode("latin-1"))
        i = data.find(b"\x1b", i + 1)
    return sorted(found)


def main():
    raw = open(sys.argv[1], "rb").read()
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    modern = email.message_from_bytes(raw, policy=email.policy.default)

    lines = raw.split(b"\r\n")
    result = {
        "header_names": [k for k in msg.keys()],
        "date": msg["Date"],
        "message_id": msg["Message-ID"],
        "mime_version": msg["MIME-Version"],
        "to": msg["To"],
        "raw_subject": msg["Subject"],
        "subject": decode_header_value(msg["Subject"]),
        "subject_charsets": header_charsets(msg["Subject"]),
        "content_type": msg.get_content_type(),
        "max_line_octets": max(len(line) for line in lines),
        "bare_cr_or_lf": any(b"\r" in line or b"\n" in line for line in lines),
        "eight_bit": any(b >= 0x80 for b in raw),
        "nul": b"\x00" in raw,
        "escapes": escapes(raw),
        "defects": [type(d).__name__ for d in modern.defects],
    }
    # Python's own strict reading, for the record: the UTF-8 path must match it.
    try:
        result["subject_strict"] = str(modern["Subject"])
    except Exception as e:  # noqa: BLE001 - any failure is worth reporting
        result["subject_strict"] = "error: %s" % e

    from_raw = msg["From"]
    name, address = email.utils.parseaddr(str(from_raw))
    result["raw_from"] = from_raw
    result["from_name"] = decode_header_value(name) if name else ""
    result["from_address"] = address

    result["body"] = None
    result["attachments"] = []
    for part in msg.walk():
        if part.is_multipart():
            continue
        filename = part.get_filename()
        disposition = (part.get("Content-Disposition") or "").split(";")[0].strip().lower()
        payload = part.get_payload(decode=True) or b""
        if filename is None and disposition != "attachment" and result["body"] is None:
            result["body"] = decode_bytes(payload, part.get_content_charset())
            result["body_charset"] = part.get_content_charset()
            result["body_transfer_encoding"] = part.get("Content-Transfer-Encoding")
            result["body_content_type"] = part.get_content_type()
            continue
        name_param = part.get_param("name")
        if isinstance(name_param, tuple):  # RFC 2231 form of name
            name_param = email.utils.collapse_rfc2231_value(name_param)
        result["attachments"].append({
            "filename": filename if filename is None else str(filename),
            "name": decode_header_value(name_param) if name_param else None,
            "content_type": part.get_content_type(),
            "transfer_encoding": part.get("Content-Transfer-Encoding"),
            "sha256": hashlib.sha256(payload).hexdigest(),
            "size": len(payload),
        })

    json.dump(result, sys.stdout, ensure_ascii=False, indent=1)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
