"""Parses a mail message with Python's standard email package and writes each attachment's
decoded bytes to OUTDIR/<index>, printing one line per part: index, content type, file name."""
import email
import email.policy
import sys

with open(sys.argv[1], "rb") as f:
    message = email.message_from_binary_file(f, policy=email.policy.compat32)
outdir = sys.argv[2]
index = 0
for part in message.walk():
    if part.is_multipart():
        continue
    payload = part.get_payload(decode=True)
    with open(f"{outdir}/{index}", "wb") as out:
        out.write(payload)
    print(index, part.get_content_type(), part.get_filename() or "-")
    index += 1
print("defects", len(message.defects))
