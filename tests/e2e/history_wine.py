"""The /HISTORY command under Wine (history_wine.sh).

  prepare FOLDER  writes FOLDER/history.txt (drive C: filling by 6 GiB a day
                  for the last three days, hourly, to 90 GiB now) and
                  FOLDER/status.ini (its last check: a 33 GiB threshold)
  check OUT       the printed text: C:'s heading with the threshold, four
                  day lines, the last ending at 90 GiB, and the forecast
                  line: 9 days left at 6 GiB a day
"""
import re
import sys
import time

GiB = 1 << 30


def prepare(folder):
    now = int(time.time()) - 60
    lines = ["quotawarden-history 1", "volume C:"]
    for hours_ago in range(72, -1, -1):
        lines.append(f"{now - hours_ago * 3600} {90 * GiB + 6 * GiB * hours_ago // 24} {200 * GiB}")
    with open(f"{folder}/history.txt", "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    local = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(now))
    utc = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(now))
    with open(f"{folder}/status.ini", "w", newline="") as f:
        f.write(f"[CHECK]\r\nLOCAL={local}\r\nUTC={utc}\r\nOUTCOME=information\r\n"
                "[MAIL]\r\nATTEMPTED=0\r\nDELIVERED=0\r\n"
                f"[DRIVE.C]\r\nFREE={90 * GiB}\r\nCAPACITY={200 * GiB}\r\nTHRESHOLD=33GB\r\n"
                f"THRESHOLDBYTES={33 * GiB}\r\nBELOW=0\r\n")


def check(path):
    text = open(path, encoding="utf-8").read().replace("\r\n", "\n")
    lines = text.split("\n")
    heading = [i for i, l in enumerate(lines) if re.fullmatch(r"\[C ドライブ\] しきい値 35.433.480.192 バイト", l)]
    assert heading, text
    days = []
    for l in lines[heading[0] + 1:]:
        if "  空き 最小 " not in l:
            break
        days.append(l)
    assert 4 <= len(days) <= 5, text  # three days from a time of day: four or five local dates
    assert re.search(r"最後 96.636.764.160 バイト  容量 214.748.364.800 バイト", days[-1]), days[-1]
    forecast = lines[heading[0] + 1 + len(days)]
    assert re.fullmatch(r"C ドライブ : \S+ ごろ \(あと 9 日、1 日あたり 6.442.450.944 バイト減少\)", forecast), forecast
    print("history_wine: the text is right")


if __name__ == "__main__":
    {"prepare": prepare, "check": check}[sys.argv[1]](sys.argv[2])
