#!/usr/bin/python3
"""Reads what a bulk sender's mail carries, with tools nobody on the project wrote, and prints
it as JSON.

  bulk_mail.py headers MESSAGE.eml
      The List-Unsubscribe, List-Unsubscribe-Post, Precedence and Auto-Submitted fields as
      Python's email package reads them, and each unsubscribe URI taken apart by urllib
      (percent-decoding included).
  bulk_mail.py dkim MESSAGE.eml TXT_RECORD NAME
      Verifies the DKIM signature with dkimpy. Its DNS look-up is answered from TXT_RECORD
      (the record's text) for the name NAME ("sel._domainkey.example.jp") and nothing else, so
      nothing leaves the machine. Prints whether it verified, the names asked for and the
      signature's tags.
"""

import email
import email.policy
import json
import re
import sys
import urllib.parse


def headers(path):
    raw = open(path, "rb").read()
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    head = raw.split(b"\r\n\r\n", 1)[0]

    def field(name):
        values = msg.get_all(name)
        return None if values is None else [str(v) for v in values]

    result = {
        "header_names": list(msg.keys()),
        "defects": [type(d).__name__ for d in msg.defects],
        "header_ascii": all(b < 0x80 for b in head),
        "max_header_line": max(len(line) for line in head.split(b"\r\n")),
        "list_unsubscribe": field("List-Unsubscribe"),
        "list_unsubscribe_post": field("List-Unsubscribe-Post"),
        "precedence": field("Precedence"),
        "auto_submitted": field("Auto-Submitted"),
        "uris": [],
    }
    for value in result["list_unsubscribe"] or []:
        for uri in re.findall(r"<([^>]*)>", value):
            parts = urllib.parse.urlsplit(uri)
            result["uris"].append({
                "uri": uri,
                "scheme": parts.scheme,
                "host": parts.hostname,
                "path": urllib.parse.unquote(parts.path),
                "query": urllib.parse.parse_qs(parts.query, keep_blank_values=True),
            })
    return result


def dkim_check(path, record, name):
    import dkim
    import dkim.util

    raw = open(path, "rb").read()
    queried = []

    def dnsfunc(qname, timeout=5):
        queried.append(qname.decode() if isinstance(qname, bytes) else qname)
        wanted = name.rstrip(".") + "."
        got = queried[-1] if queried[-1].endswith(".") else queried[-1] + "."
        return record.encode() if got.lower() == wanted.lower() else b""

    verifier = dkim.DKIM(raw)
    try:
        verified = bool(verifier.verify(dnsfunc=dnsfunc))
        error = None
    except Exception as e:  # noqa: BLE001 - a verifier failure is a result to report
        verified = False
        error = "%s: %s" % (type(e).__name__, e)
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    signatures = msg.get_all("DKIM-Signature") or []
    tags = {}
    if signatures:
        value = re.sub(r"\s+", "", signatures[0]).encode()
        tags = {k.decode(): v.decode() for k, v in dkim.util.parse_tag_value(value).items()}
    charsets = sorted({part.get_content_charset() for part in msg.walk()
                       if part.get_content_maintype() == "text" and part.get_content_charset()})
    return {
        "verified": verified,
        "text_charsets": charsets,
        "error": error,
        "queried": queried,
        "signatures": len(signatures),
        "tags": tags,
        "signed_headers": tags.get("h", "").split(":") if tags else [],
    }


def main():
    if sys.argv[1] == "headers":
        result = headers(sys.argv[2])
    elif sys.argv[1] == "dkim":
        result = dkim_check(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        sys.exit("unknown command %r" % sys.argv[1])
    json.dump(result, sys.stdout, ensure_ascii=False, indent=1)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
