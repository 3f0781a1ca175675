# English dates and numbers parse and format alike under every desktop
# language: the program runs in the C locale but for the character set.
import datetime
import locale
import time

print(datetime.datetime.strptime("04 March 2024", "%d %B %Y").date())
print(time.strftime("%A %d %B %Y", time.gmtime(0)))
print(format(1234567.5, "n"), locale.localeconv()["decimal_point"])
print(locale.getlocale(locale.LC_CTYPE))
