"""Times of Python smtplib sending one small alert over STARTTLS with AUTH
PLAIN, inside one interpreter, in microseconds on one line. Usage:
smtplib_times.py PORT RUNS CA_FILE"""
import smtplib, ssl, sys, time
port, runs, ca = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
context = ssl.create_default_context(cafile=ca)
times = []
for _ in range(runs):
    t = time.perf_counter()
    with smtplib.SMTP("localhost", port) as s:
        s.starttls(context=context)
        s.login("bench", "Bench-Pass-1")
        s.sendmail("w@example.jp", ["a@example.jp"], "Subject: low\r\n\r\nDrive C: is low.\r\n")
    times.append(int((time.perf_counter() - t) * 1e6))
print(" ".join(map(str, times)))
