#!/usr/bin/env python3
"""A second IMAP client for the connected-store tests, independent of ours (Python's imaplib).

Usage: imap_tool.py PORT CAFILE USER PASSWORD COMMAND ARGS...
  create MAILBOX           CREATE a mailbox
  append MAILBOX FILE...   APPEND each file (INTERNALDATE 2023-01-01 plus one minute per file);
                           a Maildir stands for its message files, in order of their names
  dump                     one line per message: mailbox TAB Message-ID TAB INTERNALDATE TAB size
  churn MAILBOX COUNT      while a clean runs: expunge COUNT messages by UID, move COUNT to
                           "Elsewhere" (made when missing), one at a time, printing what it did
  delete-mailbox MAILBOX   delete a mailbox (another client's doing)
Mailbox names are given as people write them and sent in modified UTF-7 (RFC 3501); dump
prints them as the server spells them. Only 127.0.0.1 is ever contacted.
"""
import base64
import email.parser
import imaplib
import os
import re
import ssl
import sys
import time


def connect(port, cafile, user, password):
    ctx = ssl.create_default_context(cafile=cafile)
    m = imaplib.IMAP4_SSL("127.0.0.1", int(port), ssl_context=ctx)
    m.login(user, password)
    return m


def mutf7(name):
    out, run = "", ""
    for c in name + "\0":
        if c != "\0" and not (" " <= c <= "~"):
            run += c
            continue
        if run:
            out += "&" + base64.b64encode(run.encode("utf-16-be")).decode().rstrip("=").replace("/", ",") + "-"
            run = ""
        if c != "\0":
            out += "&-" if c == "&" else c
    return out


def quote_raw(name):
    return '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'


def quote(name):
    return quote_raw(mutf7(name))


def mailboxes(m):
    typ, data = m.list()
    out = []
    for line in data:
        text = line.decode()
        name = re.match(r'\(.*?\) (?:"[^"]*"|NIL) (.*)$', text).group(1)
        if name.startswith('"'):
            name = re.sub(r'\\(.)', r'\1', name[1:-1])
        out.append(name)
    return sorted(out)


def expand(paths):
    out = []
    for p in paths:
        if os.path.isdir(p):
            named = []
            for sub in ("cur", "new"):
                d = os.path.join(p, sub)
                if os.path.isdir(d):
                    named += [(n, os.path.join(d, n)) for n in os.listdir(d)]
            out += [path for _, path in sorted(named)]
        else:
            out.append(p)
    return out


def cmd_append(m, mailbox, files):
    files = expand(files)
    base = time.mktime((2023, 1, 1, 0, 0, 0, 0, 0, -1))
    for i, f in enumerate(files):
        with open(f, "rb") as fh:
            data = fh.read()
        typ, _ = m.append(quote(mailbox), None, imaplib.Time2Internaldate(base + 60 * i), data)
        if typ != "OK":
            sys.exit("append failed: %s" % f)


def cmd_dump(m):
    parser = email.parser.BytesHeaderParser()
    for box in mailboxes(m):
        typ, _ = m.select(quote_raw(box), readonly=True)
        if typ != "OK":
            continue
        typ, data = m.uid("FETCH", "1:*", "(INTERNALDATE RFC822.SIZE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])")
        for part in data:
            if not isinstance(part, tuple):
                continue
            meta = part[0].decode()
            date = re.search(r'INTERNALDATE "([^"]*)"', meta).group(1)
            size = re.search(r"RFC822.SIZE (\d+)", meta).group(1)
            msgid = (parser.parsebytes(part[1]).get("Message-ID") or "").strip()
            print("%s\t%s\t%s\t%s" % (box, msgid, date, size))


def cmd_churn(m, mailbox, count):
    m.create("Elsewhere")
    m.select(quote(mailbox))
    typ, data = m.uid("SEARCH", "ALL")
    uids = data[0].split()
    # From the end: the clean's scan works from the front.
    victims = uids[::-1][: 2 * count]
    for i, uid in enumerate(victims):
        if i % 2 == 0:
            m.uid("STORE", uid, "+FLAGS.SILENT", r"(\Deleted)")
            m.uid("EXPUNGE", uid)
            print("expunged", uid.decode())
        else:
            m.uid("MOVE", uid, "Elsewhere")
            print("moved", uid.decode())
        sys.stdout.flush()
        time.sleep(0.01)


def main():
    port, cafile, user, password, command = sys.argv[1:6]
    args = sys.argv[6:]
    m = connect(port, cafile, user, password)
    if command == "create":
        typ, _ = m.create(quote(args[0]))
        if typ != "OK":
            sys.exit("create failed")
    elif command == "append":
        cmd_append(m, args[0], args[1:])
    elif command == "dump":
        cmd_dump(m)
    elif command == "churn":
        cmd_churn(m, args[0], int(args[1]))
    elif command == "mailboxes":
        for name in mailboxes(m):
            print("list\t" + name)
        typ, data = m.lsub()
        for line in data or []:
            if line:
                print("lsub\t" + re.match(r'\(.*?\) (?:"[^"]*"|NIL) (.*)$', line.decode()).group(1).strip('"'))
    elif command == "delete-mailbox":
        typ, _ = m.delete(quote(args[0]))
        if typ != "OK":
            sys.exit("delete failed")
    else:
        sys.exit("unknown command " + command)
    m.logout()


if __name__ == "__main__":
    main()
