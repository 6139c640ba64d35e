#!/usr/bin/env python3
"""A small IMAP server for the connected-store tests that misbehaves on purpose.

Usage: hostile_imap.py DIR SCENARIO PASSWORD
  Listens on 127.0.0.1 (a port of the kernel's choice, written to DIR/port), plain text, one
  thread per connection, mailboxes in memory. After every command it writes DIR/state (one
  line per mailbox: name TAB number of messages) and appends the command to DIR/log (the
  password left out). SCENARIO picks the misbehaviour (see SCENARIOS below); "plain" is a
  well-behaved server. For measuring by hand: HOSTILE_LEVELS sets the depth of deep-name's
  mailbox, HOSTILE_BIG_MB adds a message of that size to INBOX. Only 127.0.0.1 is ever used.
"""
import os
import re
import socket
import sys
import threading
import time

DIR, SCENARIO, PASSWORD = sys.argv[1], sys.argv[2], sys.argv[3]
LOCK = threading.Lock()
UIDVALIDITY = 42

SCENARIOS = {
    "plain": "behaves",
    "extra-fetch": "a FETCH answer repeats UID 1 and adds a UID never asked for",
    "move-nothing": "UID MOVE answers OK with a full COPYUID and moves nothing",
    "copy-nothing": "no MOVE; UID COPY answers OK with a full COPYUID, and nothing is copied or expunged",
    "copyuid-huge": "UID MOVE moves, and its COPYUID names 1:4294967295",
    "copyuid-foreign": "UID MOVE moves, and its COPYUID names UIDs never asked for",
    "eof-in-literal": "the connection ends in the middle of a FETCH literal",
    "cut-big-fetch": "the connection ends after 10 MB of a whole message",
    "silent": "never greets",
    "trickle-list": "answers LIST one byte every half second, for ever",
    "trickle-lines": "answers LIST with a complete but useless line every half second, for ever",
    "huge-literal": "a FETCH answer announces a literal of 4,000,000,000 bytes",
    "endless-greeting": "a greeting of 8 MiB without an end of line",
    "endless-list": "a LIST line of 8 MiB without an end of line",
    "deep-name": "LIST holds a mailbox 3,000 levels deep",
    "bad-names": "LIST holds names with empty levels, a NUL, modified UTF-7 and a backslash",
    "echo-password": "refuses the login, repeating the password",
}


def message(n, size=0):
    body = "body of %d\r\n" % n
    if size:
        body = ("x" * 76 + "\r\n") * (size // 78)
    return ("Message-ID: <m%d@hostile.test>\r\nDate: Mon, 2 Jan 2023 10:00:00 +0000\r\nFrom: a@hostile.test\r\n"
            "To: b@hostile.test\r\nSubject: msg %d\r\n\r\n%s" % (n, n, body)).encode()


class Box:
    def __init__(self, messages=()):
        self.next = 1
        self.messages = []  # [uid, bytes, flags]
        for m in messages:
            self.add(m)

    def add(self, data):
        self.messages.append([self.next, data, set()])
        self.next += 1
        return self.next - 1


# Nine messages, three of them copies of others: a clean moves three.
BOXES = {"INBOX": Box([message(n) for n in (1, 2, 3, 4, 5, 6, 1, 2, 3)]), "Trash": Box()}
LISTED = []  # more LIST lines, as sent
if SCENARIO in ("extra-fetch", "plain"):
    BOXES["INBOX"] = Box([message(n) for n in (1, 2, 3)])
if SCENARIO == "cut-big-fetch":
    BOXES["INBOX"] = Box([message(1, 12 * 1024 * 1024)])
if SCENARIO == "deep-name":
    LISTED.append(b'* LIST () "/" ' + b"/".join([b"a"] * int(os.environ.get("HOSTILE_LEVELS", "3000"))) + b"\r\n")
if os.environ.get("HOSTILE_BIG_MB"):
    BOXES["INBOX"].add(message(99, int(os.environ["HOSTILE_BIG_MB"]) << 20))
if SCENARIO == "bad-names":
    for name in ("Donn&AOk-es &AOk-t&AOk-", "100% &- done", "Back\\slash", "Bad&Jjo", "nul"):
        BOXES[name] = Box([message(7), message(7)])
    for name in (b"a//b", b"trail/", b"/abs"):
        LISTED.append(b'* LIST () "/" "' + name + b'"\r\n')
    LISTED.append(b'* LIST () "/" {7}\r\nnul\x00evi\r\n')


def write_state():
    with open(os.path.join(DIR, "state.tmp"), "w") as f:
        for name in sorted(BOXES):
            f.write("%s\t%d\n" % (name, len(BOXES[name].messages)))
    os.replace(os.path.join(DIR, "state.tmp"), os.path.join(DIR, "state"))


def log(line):
    with open(os.path.join(DIR, "log"), "a") as f:
        f.write(line.replace(PASSWORD, "(password)") + "\n")


def quote(name):
    return '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'


def uids_of(text, box):
    """The UIDs a set names that the mailbox has ("*" is its last)."""
    last = box.messages[-1][0] if box.messages else 0
    have = {m[0] for m in box.messages}
    out = []
    for part in text.split(","):
        lo, _, hi = part.partition(":")
        lo = last if lo == "*" else int(lo)
        hi = lo if not hi else (last if hi == "*" else int(hi))
        lo, hi = min(lo, hi), max(lo, hi)
        out += [u for u in sorted(have) if lo <= u <= hi]
    return sorted(set(out))


def compact(uids):
    return ",".join(str(u) for u in uids)


class Conn:
    def __init__(self, sock):
        self.sock = sock
        self.buf = b""
        self.selected = None

    def send(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else data.encode())

    def line(self):
        while b"\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\n")
        return line.rstrip(b"\r")

    def take(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError
            self.buf += chunk
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def command(self):
        """A command line with the client's literals put in as quoted strings."""
        text = b""
        while True:
            line = self.line()
            m = re.search(rb"\{(\d+)\+?\}$", line)
            if not m:
                return (text + line).decode("utf-8", "replace")
            if not line.endswith(b"+}"):
                self.send("+ go on\r\n")
            data = self.take(int(m.group(1)))
            text += line[: m.start()] + b'"' + data.replace(b"\\", b"\\\\").replace(b'"', b'\\"') + b'"'

    def stall(self):
        while True:
            time.sleep(10)

    def serve(self):
        if SCENARIO == "silent":
            self.stall()
        if SCENARIO == "endless-greeting":
            self.send(b"* OK " + b"x" * (8 << 20))
            self.stall()
        self.send("* OK hostile IMAP ready\r\n")
        while True:
            cmd = self.command()
            args = tokens(cmd)
            if len(args) < 2:
                self.send("* BAD what\r\n")
                continue
            tag, verb, rest = args[0], args[1].upper(), args[2:]
            if verb == "UID" and rest:
                verb, rest = "UID " + rest[0].upper(), rest[1:]
            with LOCK:
                log(cmd)
                done = self.handle(tag, verb, rest, cmd)
                write_state()
            if done:
                return

    def handle(self, tag, verb, rest, cmd):
        ok = tag + " OK done\r\n"
        if verb == "CAPABILITY":
            caps = "IMAP4rev1 UIDPLUS" + ("" if SCENARIO == "copy-nothing" else " MOVE")
            self.send("* CAPABILITY " + caps + "\r\n" + ok)
        elif verb == "LOGIN":
            if SCENARIO == "echo-password" or rest[1] != PASSWORD:
                self.send(tag + " NO [AUTHENTICATIONFAILED] bad password " + rest[1] + "\r\n")
            else:
                self.send(ok)
        elif verb == "LOGOUT":
            self.send("* BYE bye\r\n" + ok)
            return True
        elif verb in ("NOOP", "SUBSCRIBE", "UNSUBSCRIBE"):
            self.send(ok)
        elif verb == "LIST":
            if SCENARIO == "endless-list":
                self.send(b'* LIST () "/" ' + b"y" * (8 << 20))
                self.stall()
            if SCENARIO == "trickle-list":
                while True:
                    for c in b'* LIST () "/" INBOX\r\n':
                        self.send(bytes([c]))
                        time.sleep(0.5)
            if SCENARIO == "trickle-lines":
                while True:
                    self.send(b"* OK still here\r\n")
                    time.sleep(0.5)
            out = b""
            for name in sorted(BOXES):
                flags = "(\\Trash)" if name == "Trash" else "()"
                out += ('* LIST %s "/" %s\r\n' % (flags, quote(name))).encode()
            for extra in LISTED:
                out += extra
            self.send(out + ok.encode())
        elif verb == "CREATE":
            BOXES.setdefault(rest[0], Box())
            self.send(ok)
        elif verb == "DELETE":
            BOXES.pop(rest[0], None)
            self.send(ok)
        elif verb == "STATUS":
            box = BOXES.get(rest[0])
            if box is None:
                self.send(tag + " NO no such mailbox\r\n")
                return False
            self.send("* STATUS %s (MESSAGES %d UIDNEXT %d UIDVALIDITY %d)\r\n" %
                      (quote(rest[0]), len(box.messages), box.next, UIDVALIDITY) + ok)
        elif verb in ("SELECT", "EXAMINE"):
            box = BOXES.get(rest[0])
            if box is None:
                self.send(tag + " NO no such mailbox\r\n")
                return False
            self.selected = rest[0]
            self.send("* %d EXISTS\r\n* OK [UIDVALIDITY %d] ok\r\n* OK [UIDNEXT %d] ok\r\n%s OK [READ-WRITE] done\r\n" %
                      (len(box.messages), UIDVALIDITY, box.next, tag))
        elif verb == "UID SEARCH":
            box = BOXES[self.selected]
            text = " ".join(rest).upper()
            if text == "ALL":
                found = [m[0] for m in box.messages]
            else:
                found = uids_of(rest[1], box) if rest[0].upper() == "UID" else []
            self.send("* SEARCH" + "".join(" %d" % u for u in found) + "\r\n" + ok)
        elif verb == "UID FETCH":
            self.fetch(tag, rest, cmd)
        elif verb in ("UID MOVE", "UID COPY"):
            self.transfer(tag, verb == "UID MOVE", rest)
        elif verb == "UID STORE":
            box = BOXES[self.selected]
            if SCENARIO != "copy-nothing":
                for m in box.messages:
                    if m[0] in uids_of(rest[0], box):
                        m[2].add("\\Deleted")
            self.send(ok)
        elif verb == "UID EXPUNGE":
            box = BOXES[self.selected]
            wanted = uids_of(rest[0], box)
            out = ""
            for i in reversed(range(len(box.messages))):
                if box.messages[i][0] in wanted and "\\Deleted" in box.messages[i][2]:
                    del box.messages[i]
                    out += "* %d EXPUNGE\r\n" % (i + 1)
            self.send(out + ok)
        else:
            self.send(tag + " BAD unknown command\r\n")
        return False

    def fetch(self, tag, rest, cmd):
        box = BOXES[self.selected]
        uids = uids_of(rest[0], box)
        section = re.search(r"BODY\.PEEK(\[[^\]]*\])", cmd).group(1)
        whole = section == "[]"
        answers = [(u, u) for u in uids]
        if SCENARIO == "extra-fetch" and uids:
            answers += [(1, 1), (uids[-1] + 100, 1)]  # UID 1 again, and one never asked for
        for uid, source in answers:
            found = [(i, m) for i, m in enumerate(box.messages) if m[0] == source]
            if not found:
                continue
            i, m = found[0]
            data = m[1] if whole else m[1][: m[1].index(b"\r\n\r\n") + 4]
            head = ('* %d FETCH (UID %d INTERNALDATE "02-Jan-2023 10:00:%02d +0000" RFC822.SIZE %d FLAGS () BODY%s ' %
                    (i + 1, uid, uid % 60, len(m[1]), section)).encode()
            if SCENARIO == "huge-literal":
                self.send(head + b"{4000000000}\r\n" + b"z" * 1000)
                self.stall()
            if SCENARIO == "eof-in-literal":
                self.send(head + b"{5000}\r\n" + b"z" * 100)
                self.sock.shutdown(socket.SHUT_RDWR)
                raise EOFError
            if SCENARIO == "cut-big-fetch" and whole:
                self.send(head + b"{%d}\r\n" % len(data) + data[: 10 * 1000 * 1000])
                self.sock.shutdown(socket.SHUT_RDWR)
                raise EOFError
            self.send(head + b"{%d}\r\n" % len(data) + data + b")\r\n")
        self.send(tag + " OK done\r\n")

    def transfer(self, tag, move, rest):
        box, dest = BOXES[self.selected], BOXES.setdefault(rest[1], Box())
        uids = uids_of(rest[0], box)
        if not uids:
            self.send(tag + " OK nothing\r\n")
            return
        lying = SCENARIO in ("move-nothing", "copy-nothing")
        news = list(range(dest.next, dest.next + len(uids))) if lying else []
        out = ""
        if not lying:
            for u in uids:
                m = next(m for m in box.messages if m[0] == u)
                news.append(dest.add(m[1]))
            if move:
                for i in reversed(range(len(box.messages))):
                    if box.messages[i][0] in uids:
                        del box.messages[i]
                        out += "* %d EXPUNGE\r\n" % (i + 1)
        olds = compact(uids)
        if SCENARIO == "copyuid-huge":
            olds, news = "1:4294967295", None
        if SCENARIO == "copyuid-foreign":
            olds = compact(u + 1000 for u in uids)
        copyuid = "[COPYUID %d %s %s]" % (UIDVALIDITY, olds, "1:4294967295" if news is None else compact(news))
        if move:
            self.send("* OK " + copyuid + " moved\r\n" + out + tag + " OK done\r\n")
        else:
            self.send(tag + " OK " + copyuid + " copied\r\n")


def tokens(line):
    """Atoms, quoted strings (unescaped) and parenthesised lists (kept as text)."""
    out, i = [], 0
    while i < len(line):
        c = line[i]
        if c == " ":
            i += 1
        elif c == '"':
            j, text = i + 1, ""
            while j < len(line) and line[j] != '"':
                if line[j] == "\\":
                    j += 1
                text += line[j]
                j += 1
            out.append(text)
            i = j + 1
        elif c == "(":
            depth, j = 0, i
            while j < len(line):
                depth += {"(": 1, ")": -1}.get(line[j], 0)
                j += 1
                if depth == 0:
                    break
            out.append(line[i:j])
            i = j
        else:
            j = i
            while j < len(line) and line[j] != " ":
                j += 1
            out.append(line[i:j])
            i = j
    return out


def run(sock):
    try:
        Conn(sock).serve()
    except (EOFError, OSError):
        pass
    finally:
        sock.close()


def main():
    if SCENARIO not in SCENARIOS:
        sys.exit("unknown scenario " + SCENARIO)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    write_state()
    with open(os.path.join(DIR, "port.tmp"), "w") as f:
        f.write(str(server.getsockname()[1]))
    os.replace(os.path.join(DIR, "port.tmp"), os.path.join(DIR, "port"))
    while True:
        sock, _ = server.accept()
        threading.Thread(target=run, args=(sock,), daemon=True).start()


if __name__ == "__main__":
    main()
