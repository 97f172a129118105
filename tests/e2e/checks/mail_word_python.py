"""The mails and the conversion table mail_text_tests exported for
mail_word_python.sh, read back by Python's email package and codecs.
Argument: the export folder."""
import email, email.header, email.policy, email.utils, re, sys, unicodedata
out = sys.argv[1]
failures = []
WORD = re.compile(rb"=\?([^?]+)\?([QqBb])\?([^?]*)\?=")

checked_mails = 0
for entry in open(out + "/mails.txt"):
    name, subject_hex, sender_hex = entry.split()
    subject_text = bytes.fromhex(subject_hex).decode("cp932")
    sender_text = bytes.fromhex(sender_hex).decode("cp932")
    raw = open(out + "/" + name, "rb").read()
    head = raw.split(b"\r\n\r\n", 1)[0]
    for line in head.split(b"\r\n"):
        if len(line) > 998:
            failures.append("%s: line of %d bytes" % (name, len(line)))
        words = WORD.findall(line)
        if words and len(line) > 76:
            failures.append("%s: line of %d bytes with encoded words: %r" % (name, len(line), line))
        for m in WORD.finditer(line):
            word = m.group(0)
            if len(word) > 75:
                failures.append("%s: word of %d bytes: %r" % (name, len(word), word))
            # Each word decodes alone and leaves the reader in ASCII.
            [(data, charset)] = email.header.decode_header(word.decode("ascii"))
            if data.rfind(b"\x1b$B") > data.rfind(b"\x1b(B"):
                failures.append("%s: word does not end in ASCII: %r" % (name, word))
            try:
                data.decode(charset)
            except UnicodeError as e:
                failures.append("%s: word %r does not decode alone: %s" % (name, word, e))
    if re.search(rb'^From:[^\r]*"[^"\r]*=\?', head, re.M):
        failures.append("%s: encoded word inside quotes: %r" % (name, head))
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    subject = str(msg["Subject"])
    if subject != subject_text:
        failures.append("%s: Subject decoded as %r, expected %r" % (name, subject, subject_text))
    # A strict reader (RFC 2047: white space between encoded words goes).
    from_raw = re.search(rb"^From:(.*?)\r\n(?! )", head + b"\r\n", re.M | re.S).group(1).decode("ascii")
    raw_name, strict_addr = email.utils.parseaddr(from_raw.replace("\r\n", ""))
    strict_name = str(email.header.make_header(email.header.decode_header(raw_name)))
    if strict_name != sender_text or strict_addr != "drivewarden@example.jp":
        failures.append("%s: From read strictly as %r / %r, expected %r" % (name, strict_name, strict_addr, sender_text))
    # The default policy's address parser keeps one blank between the
    # encoded words of a phrase (CPython does the same with names it folds
    # itself): a name that fits one word reads back exactly, a longer one as
    # its words' texts joined by blanks, which together are the name.
    sender = msg["From"].addresses[0]
    pieces = [email.header.decode_header(w.decode("ascii"))[0] for w, *_ in
              [(m.group(0),) for m in WORD.finditer(from_raw.encode("ascii"))]]
    pieces = [data.decode(charset) for data, charset in pieces]
    expected_name = " ".join(pieces) if pieces else sender_text
    if pieces and "".join(pieces) != sender_text:
        failures.append("%s: From words hold %r, expected %r" % (name, pieces, sender_text))
    if sender.display_name != expected_name or sender.addr_spec != "drivewarden@example.jp":
        failures.append("%s: From decoded as %r / %r, expected %r" % (name, sender.display_name, sender.addr_spec, expected_name))
    if len(pieces) <= 1 and sender.display_name != sender_text:
        failures.append("%s: one-word name decoded as %r" % (name, sender.display_name))
    checked_mails += 1
print("checked %d mails" % checked_mails)

GETA = b"\x22\x2e"

def jis_row_code(sjis):
    """The JIS code of a Shift-JIS pair of the JIS X 0208 rows, by arithmetic."""
    s1, s2 = sjis[0], sjis[1]
    if not (0x81 <= s1 <= 0x84 or 0x88 <= s1 <= 0x9F or 0xE0 <= s1 <= 0xEA):
        return None
    j1 = (s1 - (0x70 if s1 <= 0x9F else 0xB0)) << 1
    if s2 < 0x9F:
        j1 -= 1
        j2 = s2 - (0x1F if s2 < 0x7F else 0x20)
    else:
        j2 = s2 - 0x7E
    return bytes([j1, j2])

def jis_of(text):
    """The JIS X 0208 code of one character, by Python's iso2022_jp codec, or None."""
    try:
        enc = text.encode("iso2022_jp")
    except UnicodeError:
        return None
    return enc[3:5] if len(enc) == 8 and enc.startswith(b"\x1b$B") else None

def pair_code(pair):
    """JIS code of a code page 932 pair: its character written by code page
    932 in the JIS X 0208 rows (a vendor code goes to its standard twin), else
    None. Where Python's iso2022_jp codec knows the character, it must agree."""
    try:
        char = pair.decode("cp932")
    except UnicodeError:
        return None
    code = jis_row_code(char.encode("cp932"))
    other = jis_of(char)
    if code and other and code != other:
        failures.append("codecs disagree on %s: %s / %s" % (pair.hex(), code.hex(), other.hex()))
    return code

def reference(sjis):
    """ISO-2022-JP of a short Shift-JIS text."""
    tokens, i = [], 0
    while i < len(sjis):
        c = sjis[i]
        if c in (0x0E, 0x0F, 0x1B):
            i += 1
        elif c < 0x80:
            tokens.append(("a", bytes([c]))); i += 1
        elif 0xA1 <= c <= 0xDF:
            full = unicodedata.normalize("NFKC", bytes([c]).decode("shift_jis"))
            full = full.replace("\u3099", "\u309b").replace("\u309a", "\u309c")
            tokens.append(("j", jis_of(full))); i += 1
        elif (0x81 <= c <= 0x9F or 0xE0 <= c <= 0xFC) and i + 1 < len(sjis) and 0x40 <= sjis[i + 1] <= 0xFC and sjis[i + 1] != 0x7F:
            tokens.append(("j", pair_code(sjis[i:i + 2]) or GETA)); i += 2
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
mapped_vendor = 0
for line in open(out + "/table.txt"):
    sjis_hex, jis_hex = line.split()
    sjis, jis = bytes.fromhex(sjis_hex), bytes.fromhex(jis_hex)
    if len(sjis) == 1 and sjis[0] < 0x20:
        expected = b"a"  # written after an "a": the control byte leaves nothing
    else:
        expected = reference(sjis)
    if jis != expected:
        failures.append("%s -> %s, expected %s" % (sjis_hex, jis_hex, expected.hex()))
    if len(sjis) == 2 and jis_row_code(sjis) is None and expected[3:5] != GETA:
        mapped_vendor += 1
    checked += 1
print("checked %d characters, %d vendor codes with a JIS X 0208 twin" % (checked, mapped_vendor))
if mapped_vendor == 0:
    failures.append("no vendor code was mapped")
if failures:
    print("\n".join(failures[:40]))
    print("%d failures" % len(failures))
    sys.exit(1)
print("ok")
