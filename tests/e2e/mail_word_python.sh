#!/usr/bin/env bash
# Encoded header words in iso-2022-jp are read back by a standard mail parser:
# Python's email package (default policy) decodes the Subject and the From
# display name of generated mails (short and long, Japanese, mixed and ASCII)
# to the original text; no line passes 998 bytes, no encoded word 75 bytes,
# no line holding encoded words 76 bytes, every word is ISO-2022-JP of its
# own and no display name's words stand in quotes. The Shift-JIS (code page
# 932) to ISO-2022-JP conversion of every character agrees with Python's
# codecs: a character JIS X 0208 has (vendor duplicates included) becomes its
# JIS code, anything else the geta mark; ESC, SO and SI are dropped.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init mail_word_python
tests_exe="$native_bin/mail_text_tests"
if [ ! -x "$tests_exe" ]; then
  QW_BUILD_TARGETS=mail_text_tests scripts/build native >/dev/null
fi
out="$work"

QW_MAIL_WORD_OUT="$out" "$tests_exe" --gtest_filter=MailWordExport.* --gtest_brief=1 >"$out/gtest.log" 2>&1 \
  || fail "the export failed"
[ -s "$out/mails.txt" ] && [ -s "$out/table.txt" ] || fail "no export written"

qw_py checks/mail_word_python "$out"
