"""The medians of the three clients' times (microseconds, blank separated,
one argument each) and their ratios."""
import statistics, sys
names = ["ours (smtp_send, whole process)", "smtplib (in process)", "msmtp (whole process)"]
medians = [statistics.median(int(x) for x in arg.split()) for arg in sys.argv[1:4]]
for name, m in zip(names, medians):
    print(f"{name:34s} median {m / 1000:8.2f} ms")
print(f"ours / smtplib = {medians[0] / medians[1]:.2f}   ours / msmtp = {medians[0] / medians[2]:.2f}")
