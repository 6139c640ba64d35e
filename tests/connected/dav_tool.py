#!/usr/bin/env python3
"""A second CardDAV/CalDAV client for the connected-store tests, independent of ours (Python's
http.client), talking to the test's Radicale at https://127.0.0.1:PORT/USER/.

Usage: dav_tool.py PORT CAFILE USER PASSWORD COMMAND ARGS...
  upload VDIR              each folder of the vdir a collection of the same name (an address book
                           for .vcf files, else a calendar of the components its files hold;
                           its displayname file as the display name), each file PUT under its name
  upload-whole DIR VDIR    each file of genpim's --single DIR (contacts.vcf, calendar.ics, tasks.ics)
                           PUT whole as a collection of its name (Radicale's way of taking a
                           collection at once), named as VDIR's folder of that name says, a
                           calendar's components set from what it holds
  mkcol NAME KIND DISPLAY  a collection: KIND addressbook, events, todos or both
  put COLLECTION NAME FILE PUT a file as an item (If-None-Match: *)
  change COLLECTION NAME   another client's edit: the item written again with one more line
  delete PATH              DELETE a collection or item (a path below the user's home)
  rename-all COLLECTION    every item of the collection moved to a new name within it
  dump                     one line per item: collection TAB name TAB UID TAB sha256 of its bytes;
                           and one per collection: collection TAB displayname TAB duplicates-of
  get COLLECTION NAME      an item's bytes on standard output
  churn COLLECTION COUNT   while a clean runs: COUNT items of the collection edited and COUNT
                           deleted, one at a time, printing "changed UID" or "deleted UID"
Only 127.0.0.1 is ever contacted.
"""
import base64
import hashlib
import http.client
import os
import re
import ssl
import sys
import time
import urllib.parse
import xml.etree.ElementTree as ET

NS = {"D": "DAV:", "C": "urn:ietf:params:xml:ns:caldav", "CR": "urn:ietf:params:xml:ns:carddav",
      "N": "urn:x-nubrasweep:dav"}


class Client:
    def __init__(self, port, cafile, user, password):
        self.port = int(port)
        self.ctx = ssl.create_default_context(cafile=cafile)
        self.user = user
        self.auth = "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
        self.home = "/%s/" % user

    def request(self, method, path, body=None, headers=None, ok=(200, 201, 204, 207)):
        conn = http.client.HTTPSConnection("127.0.0.1", self.port, context=self.ctx, timeout=600)
        h = {"Authorization": self.auth}
        if headers:
            h.update(headers)
        if isinstance(body, str):
            body = body.encode()
        conn.request(method, urllib.parse.quote(path), body=body, headers=h)
        r = conn.getresponse()
        data = r.read()
        conn.close()
        if ok and r.status not in ok:
            raise SystemExit("%s %s: %d %s" % (method, path, r.status, data[:300]))
        return r.status, dict(r.getheaders()), data

    def mkcol(self, name, kind, display):
        if kind == "addressbook":
            rtype = "<D:collection/><CR:addressbook/>"
            comps = ""
        else:
            rtype = "<D:collection/><C:calendar/>"
            names = {"events": ["VEVENT"], "todos": ["VTODO"], "both": ["VEVENT", "VTODO"]}[kind]
            comps = "<C:supported-calendar-component-set>%s</C:supported-calendar-component-set>" % "".join(
                '<C:comp name="%s"/>' % n for n in names)
        body = ('<?xml version="1.0" encoding="utf-8"?><D:mkcol xmlns:D="DAV:" xmlns:C="%s" xmlns:CR="%s">'
                "<D:set><D:prop><D:resourcetype>%s</D:resourcetype><D:displayname>%s</D:displayname>%s"
                "</D:prop></D:set></D:mkcol>") % (NS["C"], NS["CR"], rtype, display, comps)
        self.request("MKCOL", self.home + name + "/", body, {"Content-Type": "application/xml"})

    def put(self, collection, name, data):
        ctype = "text/vcard" if name.endswith(".vcf") else "text/calendar"
        self.request("PUT", self.home + collection + "/" + name, data,
                     {"Content-Type": ctype + "; charset=utf-8", "If-None-Match": "*"})

    def listing(self, path, depth="1"):
        body = ('<?xml version="1.0"?><D:propfind xmlns:D="DAV:" xmlns:N="%s"><D:prop><D:resourcetype/>'
                "<D:displayname/><D:getetag/><N:duplicates-of/></D:prop></D:propfind>") % NS["N"]
        _, _, data = self.request("PROPFIND", path, body, {"Depth": depth, "Content-Type": "application/xml"})
        out = []
        for resp in ET.fromstring(data).findall("D:response", NS):
            href = urllib.parse.unquote(resp.find("D:href", NS).text)
            props = {}
            for ps in resp.findall("D:propstat", NS):
                if "200" not in ps.find("D:status", NS).text:
                    continue
                for p in ps.find("D:prop", NS):
                    props[p.tag] = p
            out.append((href, props))
        return out

    def collections(self):
        out = []
        for href, props in self.listing(self.home):
            rt = props.get("{DAV:}resourcetype")
            if href.rstrip("/") == self.home.rstrip("/") or rt is None or rt.find("D:collection", NS) is None:
                continue
            display = props.get("{DAV:}displayname")
            dup = props.get("{%s}duplicates-of" % NS["N"])
            out.append((href.rstrip("/").split("/")[-1], display.text if display is not None else "",
                        dup.text if dup is not None else ""))
        return sorted(out)

    def items(self, collection):
        return sorted(href.split("/")[-1] for href, props in self.listing(self.home + collection + "/")
                      if not href.endswith("/"))


def uid_of(data):
    m = re.search(rb"^UID:(.*?)\r?$", data, re.M)
    return m.group(1).decode() if m else ""


def main():
    port, cafile, user, password, cmd = sys.argv[1:6]
    args = sys.argv[6:]
    c = Client(port, cafile, user, password)
    if cmd == "upload":
        top = args[0]
        for name in sorted(os.listdir(top)):
            folder = os.path.join(top, name)
            if not os.path.isdir(folder):
                continue
            files = sorted(f for f in os.listdir(folder) if f.endswith((".vcf", ".ics")))
            display = name
            if os.path.exists(os.path.join(folder, "displayname")):
                display = open(os.path.join(folder, "displayname")).read().strip()
            if any(f.endswith(".vcf") for f in files):
                kind = "addressbook"
            else:
                texts = [open(os.path.join(folder, f), "rb").read() for f in files]
                ev = any(b"BEGIN:VEVENT" in t for t in texts)
                td = any(b"BEGIN:VTODO" in t for t in texts)
                kind = "both" if ev and td else "todos" if td else "events"
            c.mkcol(name, kind, display)
            for f in files:
                c.put(name, f, open(os.path.join(folder, f), "rb").read())
    elif cmd == "upload-whole":
        top, vdir = args
        for f in sorted(os.listdir(top)):
            name, ext = os.path.splitext(f)
            data = open(os.path.join(top, f), "rb").read()
            c.request("PUT", c.home + name + "/", data,
                      {"Content-Type": "text/vcard" if ext == ".vcf" else "text/calendar"}, ok=(200, 201, 204))
            display = open(os.path.join(vdir, name, "displayname")).read().strip()
            props = "<D:displayname>%s</D:displayname>" % display
            if ext == ".ics":
                comps = [n for n in ("VEVENT", "VTODO") if ("BEGIN:" + n).encode() in data]
                props += "<C:supported-calendar-component-set>%s</C:supported-calendar-component-set>" % "".join(
                    '<C:comp name="%s"/>' % n for n in comps)
            body = ('<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:" xmlns:C="%s"><D:set><D:prop>%s'
                    "</D:prop></D:set></D:propertyupdate>") % (NS["C"], props)
            c.request("PROPPATCH", c.home + name + "/", body, {"Content-Type": "application/xml"})
    elif cmd == "mkcol":
        c.mkcol(args[0], args[1], args[2])
    elif cmd == "put":
        c.put(args[0], args[1], open(args[2], "rb").read())
    elif cmd == "change":
        path = c.home + args[0] + "/" + args[1]
        _, headers, data = c.request("GET", path)
        end = b"END:VCARD" if b"BEGIN:VCARD" in data else b"END:VEVENT" if b"BEGIN:VEVENT" in data else b"END:VTODO"
        data = data.replace(end, b"X-EDITED-BY:another client\r\n" + end, 1)
        etag = {k.lower(): v for k, v in headers.items()}.get("etag")
        ctype = "text/vcard" if b"BEGIN:VCARD" in data else "text/calendar"
        c.request("PUT", path, data, {"Content-Type": ctype, "If-Match": etag})
    elif cmd == "delete":
        c.request("DELETE", c.home + args[0])
    elif cmd == "rename-all":
        for n, item in enumerate(c.items(args[0])):
            base = c.home + args[0] + "/"
            dest = "https://127.0.0.1:%d%s" % (c.port, urllib.parse.quote(base + "r%d-%s" % (n, item)))
            c.request("MOVE", base + item, headers={"Destination": dest, "Overwrite": "F"})
    elif cmd == "dump":
        for name, display, dup in c.collections():
            print("%s\t%s\t%s" % (name + "/", display, dup))
            for item in c.items(name):
                _, _, data = c.request("GET", c.home + name + "/" + item)
                print("%s\t%s\t%s\t%s" % (name, item, uid_of(data), hashlib.sha256(data).hexdigest()))
    elif cmd == "churn":
        import random
        rng = random.Random(7)
        count = int(args[1])
        names = c.items(args[0])
        rng.shuffle(names)
        base = c.home + args[0] + "/"
        done = 0
        for name in names:
            if done == 2 * count:
                break
            status, headers, data = c.request("GET", base + name, ok=None)
            if status != 200:
                continue  # moved away meanwhile
            etag = {k.lower(): v for k, v in headers.items()}.get("etag")
            if done % 2 == 0:
                end = b"END:VCARD" if b"BEGIN:VCARD" in data else b"END:VEVENT" if b"BEGIN:VEVENT" in data else b"END:VTODO"
                data = data.replace(end, b"X-EDITED-BY:another client\r\n" + end, 1)
                ctype = "text/vcard" if b"BEGIN:VCARD" in data else "text/calendar"
                status, _, _ = c.request("PUT", base + name, data, {"Content-Type": ctype, "If-Match": etag}, ok=None)
                what = "changed"
            else:
                status, _, _ = c.request("DELETE", base + name, headers={"If-Match": etag}, ok=None)
                what = "deleted"
            if status in (200, 201, 204):
                print("%s\t%s" % (what, uid_of(data)), flush=True)
                done += 1
            time.sleep(0.05)
    elif cmd == "get":
        _, _, data = c.request("GET", c.home + args[0] + "/" + args[1])
        sys.stdout.buffer.write(data)
    else:
        raise SystemExit("unknown command " + cmd)


if __name__ == "__main__":
    main()
