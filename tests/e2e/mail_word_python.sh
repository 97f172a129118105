#!/usr/bin/env bash
# Encoded header words in iso-2022-jp are read back by a standard mail parser:
# Python's email package (default policy) decodes the Subject and the From
# display name to the Japanese text, and the Shift-JIS to ISO-2022-JP
# conversion of every character agrees with Python's codecs (a character
# outside JIS X 0208 becomes the geta mark).
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${BUILD_DIR_PREFIX:-build/}native"
if [ ! -x "$build/bin/mail_text_tests" ]; then
  scripts/build native >/dev/null
  cmake --build "$build" --target mail_text_tests >/dev/null
fi
out="$(mktemp -d "${TMPDIR:-/tmp}/mail_word.XXXXXX")"
trap 'rm -rf "$out"' EXIT

QW_MAIL_WORD_OUT="$out" "$build/bin/mail_text_tests" --gtest_filter=MailWordExport.* --gtest_brief=1 >"$out/gtest.log" 2>&1 \
  || { cat "$out/gtest.log"; exit 1; }
[ -s "$out/mail.eml" ] && [ -s "$out/table.txt" ] || { echo "no export written"; cat "$out/gtest.log"; exit 1; }

/usr/bin/python3 - "$out" <<'PY'
import email, email.policy, sys, unicodedata
out = sys.argv[1]
raw = open(out + "/mail.eml", "rb").read()
msg = email.message_from_bytes(raw, policy=email.policy.default)
failures = []
subject = str(msg["Subject"])
if subject != "ドライブ領域不足のお知らせ":
    failures.append("Subject decoded as %r from %r" % (subject, raw.split(b"\r\n")[0]))
sender = msg["From"]
if sender.addresses[0].display_name != "ドライブ番人" or sender.addresses[0].addr_spec != "drivewarden@example.jp":
    failures.append("From decoded as %r" % str(sender))

GETA = b"\x22\x2e"

def jis_of(text):
    """The JIS X 0208 code of one character, by Python's codec, or None."""
    try:
        enc = text.encode("iso2022_jp")
    except UnicodeError:
        return None
    return enc[3:5] if len(enc) == 8 and enc.startswith(b"\x1b$B") else None

def reference(sjis):
    """ISO-2022-JP of a short Shift-JIS text: a pair Python's shift_jis codec
    knows maps to its JIS code, anything else to the geta mark."""
    tokens, i = [], 0
    while i < len(sjis):
        c = sjis[i]
        if c < 0x80:
            tokens.append(("a", bytes([c]))); i += 1
        elif 0xA1 <= c <= 0xDF:
            full = unicodedata.normalize("NFKC", bytes([c]).decode("shift_jis"))
            full = full.replace("\u3099", "\u309b").replace("\u309a", "\u309c")
            tokens.append(("j", jis_of(full))); i += 1
        elif (0x81 <= c <= 0x9F or 0xE0 <= c <= 0xFC) and i + 1 < len(sjis) and 0x40 <= sjis[i + 1] <= 0xFC and sjis[i + 1] != 0x7F:
            try:
                code = jis_of(sjis[i:i + 2].decode("shift_jis"))
            except UnicodeError:
                code = None
            tokens.append(("j", code or GETA)); i += 2
        else:
            tokens.append(("j", GETA)); i += 1
    out, mode = b"", "a"
    for kind, data in tokens:
        if kind != mode:
            out += b"\x1b$B" if kind == "j" else b"\x1b(B"
            mode = kind
        out += data
    return out + (b"\x1b(B" if mode == "j" else b"")

checked = 0
for line in open(out + "/table.txt"):
    sjis_hex, jis_hex = line.split()
    sjis, jis = bytes.fromhex(sjis_hex), bytes.fromhex(jis_hex)
    expected = reference(sjis)
    if jis != expected:
        failures.append("%s -> %s, expected %s" % (sjis_hex, jis_hex, expected.hex()))
    checked += 1
print("checked %d characters" % checked)
if failures:
    print("\n".join(failures[:40]))
    print("%d failures" % len(failures))
    sys.exit(1)
print("ok: Subject %r, From %r" % (subject, str(sender)))
PY
