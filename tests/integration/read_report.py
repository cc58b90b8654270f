#!/usr/bin/python3
"""Reads one mail from standard input with Python's email package and prints, as JSON, what
makes it a delivery report: its content type and report-type, and for every recipient block
of its message/delivery-status part the Final-Recipient address, Action and Status.
Usage: read_report.py < MESSAGE
"""

import email
import email.policy
import json
import sys


def address(field):
    # "rfc822; someone@example.jp" -> "someone@example.jp"
    value = str(field or "")
    return value.split(";", 1)[1].strip() if ";" in value else value.strip()


message = email.message_from_bytes(sys.stdin.buffer.read(), policy=email.policy.compat32)
recipients = []
for part in message.walk():
    if part.get_content_type() != "message/delivery-status":
        continue
    # The first block is about the message, each further one about a recipient.
    blocks = part.get_payload()
    for block in blocks[1:]:
        recipients.append({
            "final_recipient": address(block.get("Final-Recipient")),
            "action": str(block.get("Action", "")).strip(),
            "status": str(block.get("Status", "")).strip(),
        })
print(json.dumps({
    "content_type": message.get_content_type(),
    "report_type": message.get_param("report-type") or "",
    "defects": [type(d).__name__ for d in message.defects],
    "recipients": recipients,
}))
