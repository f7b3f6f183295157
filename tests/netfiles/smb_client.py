# An SMB client for the tests: logs on to \\127.0.0.1\SHARE as one user and
# keeps files open until told otherwise. The first line on stdin is the
# password; then one command per line ("open NAME", "write FNUM",
# "close FNUM"), one answer per line on stdout.
import sys
from samba import NTSTATUSError, credentials
from samba.samba3 import libsmb_samba_internal as libsmb
from samba.samba3 import param as s3param

conf, user, share = sys.argv[1:4]
password = sys.stdin.readline().rstrip("\n")
lp = s3param.get_context()
lp.load(conf)
creds = credentials.Credentials()
creds.guess(lp)
creds.set_username(user)
creds.set_password(password)
try:
    conn = libsmb.Conn("127.0.0.1", share, lp, creds)
except Exception as e:
    print("error", e, flush=True)
    sys.exit(1)
print("ready", flush=True)
for line in sys.stdin:
    cmd, _, arg = line.rstrip("\n").partition(" ")
    try:
        if cmd == "open":
            # read and write data and attributes, shared for read, write and delete; open or create
            print(conn.create(arg, DesiredAccess=0x12019F, ShareAccess=7, CreateDisposition=3), flush=True)
        elif cmd == "write":
            conn.write(int(arg), b"x", 0)
            print("ok", flush=True)
        elif cmd == "close":
            conn.close(int(arg))
            print("ok", flush=True)
        else:
            print("error unknown command", flush=True)
    except NTSTATUSError as e:
        print("error 0x%08x" % (e.args[0] & 0xFFFFFFFF), flush=True)
