#!/usr/bin/env python3
"""Walks the site's forms in headless Chromium as a newcomer would: discover, change a setting,
create a group, add a printer and a sub-group, rename, describe and watch a printer, register
and remove a receiver of notices, read the alert list, delete a group; each result is checked on the page that follows.
Usage: browser_forms.py CHROMIUM BASE_URL NET SHOTS_DIR"""
import os
import sys
import tempfile
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdp import Browser, BrowserError  # noqa: E402


def main():
    chromium, base, net, shots = sys.argv[1:5]
    page = lambda t, extra="": base + "/qm?LANGUAGE=en&TEMPLATE=" + t + extra
    with tempfile.TemporaryDirectory(prefix="qmforms.") as profile:
        b = Browser(chromium, profile)
        try:
            # Discovery registers the five printers.
            b.open(page("discover.htm"))
            b.expect("Search finished: 5 printer(s) found.")

            # A setting: the form stores what discovery can use and names what it cannot.
            b.open(page("settings.htm"))
            b.fill("#maxlog", "262144")
            b.fill("#logdays", "ten")
            b.click("#save-settings")
            b.expect("Saved, except what is not a valid value here")
            b.expect("log days;")
            if b.value("#maxlog") != "262144" or b.value("#logdays") != "30":
                raise BrowserError("settings after saving: %r %r" % (b.value("#maxlog"), b.value("#logdays")))
            b.screenshot(os.path.join(shots, "forms-settings.png"))

            # A group, named with markup that must stay text.
            b.open(page("groups.htm"))
            b.fill("#newgroup", "Floor <1>")
            b.click("#create-group")
            b.expect("Group created.")
            b.expect("Group Floor <1>")
            b.expect("This group has no printers.")

            # A printer into it, from the registered ones.
            b.choose("#addmember", net + ".14")
            b.click("#add-member")
            b.expect("Printer added.")
            members = b.eval("document.querySelector('#members tbody').innerText")
            if net + ".14" not in members:
                raise BrowserError("the printer is not a member: " + repr(members))

            # A second group, then made a sub-group of the first.
            b.open(page("groups.htm"))
            b.fill("#newgroup", "Annex")
            b.click("#create-group")
            b.expect("Group created.")
            b.open(page("group.htm", "&GROUP=" + urllib.parse.quote_plus("Floor <1>")))
            b.choose("#addsub", "Annex")
            b.click("#add-sub")
            b.expect("Sub-group added.")
            subs = b.eval("document.querySelector('#subgroups').innerText")
            if "Annex" not in subs:
                raise BrowserError("Annex is not a sub-group: " + repr(subs))
            # The first group is no candidate under its own sub-group: no cycle can be made.
            b.open(page("group.htm", "&GROUP=Annex"))
            if b.eval("document.querySelector('#addsub') !== null"):
                options = b.eval("[...document.querySelector('#addsub').options].map(o => o.text).join('|')")
                if "Floor <1>" in options:
                    raise BrowserError("Floor <1> offered under its own sub-group: " + options)
            b.fill("#rename", "Annex 2")
            b.click("#rename-group")
            b.expect("Group renamed.")
            b.expect("Group Annex 2")
            b.screenshot(os.path.join(shots, "forms-group.png"))

            # A printer's own settings, and watching it.
            key = "2;%s.14;;0050C2A10004;1" % net
            b.open(page("printer.htm", "&KEY=" + urllib.parse.quote_plus(key)))
            b.fill("#desc", "By the <stairs>")
            b.click("#save-device")
            b.expect("The settings are saved.")
            if b.value("#desc") != "By the <stairs>":
                raise BrowserError("description after saving: %r" % b.value("#desc"))
            b.expect("Not watched.")
            b.click("#watch")
            b.expect("The printer is watched now.")
            b.expect("Watched: the monitor logs")
            b.screenshot(os.path.join(shots, "forms-printer.png"))
            b.click("#unwatch")
            b.expect("The printer is no longer watched.")
            b.expect("Not watched.")

            # A receiver of notices: registered for a printer, listed on the page that follows,
            # then removed from the list.
            b.open(page("receivers.htm"))
            b.expect("No receiver is registered.")
            b.fill("#raddress", "127.0.0.1")
            b.fill("#rport", "notaport")
            b.choose("#rkey", net + ".12")
            b.click("#register-receiver")
            b.expect("Not done: the address must be an IPv4 address")
            b.fill("#raddress", "127.0.0.1")
            b.fill("#rport", "47001")
            b.choose("#rkey", net + ".12")
            b.fill("#rtext", "desk <3>")
            b.click("#register-receiver")
            b.expect("registered.")
            rows = b.eval("document.querySelector('#receivers tbody').innerText")
            if "127.0.0.1" not in rows or "47001" not in rows:
                raise BrowserError("the receiver is not listed: " + repr(rows))
            b.open(page("receivers.htm"))
            handle = b.eval("document.querySelector('#receivers tbody td').innerText").strip()
            if not handle.startswith("DV"):
                raise BrowserError("receiver handle: %r" % handle)
            b.screenshot(os.path.join(shots, "forms-receivers.png"))
            b.click("#remove-" + handle)
            b.expect("Receiver %s removed." % handle)
            b.expect("No receiver is registered.")

            # The alerts of every printer in one list.
            b.open(page("alertlist.htm"))
            b.expect("Tray 2 empty")
            b.screenshot(os.path.join(shots, "forms-alerts.png"))

            # Deleting a group leaves the list of groups.
            b.open(page("group.htm", "&GROUP=" + urllib.parse.quote_plus("Annex 2")))
            b.click("#delete-group")
            b.expect("Group deleted.")
            groups = b.eval("document.querySelector('ul.groups').innerText")
            if "Annex 2" in groups or "Floor <1>" not in groups:
                raise BrowserError("groups after deleting: " + repr(groups))
        finally:
            b.close()
    print("ok: discovery, settings, groups, members, sub-groups, rename, device settings, watch, receivers, alerts, delete")


if __name__ == "__main__":
    try:
        main()
    except BrowserError as e:
        print("FAILED:", e)
        sys.exit(1)
