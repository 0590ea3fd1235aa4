#!/usr/bin/python3
# A standard CGI program (CGI/1.1) as people write them: it writes its own
# header, reads the query and a posted form with the standard library, and
# answers with a page. The server runs it through its cgi-standard-type entry.
import html
import os
import sys
import urllib.parse

method = os.environ.get("REQUEST_METHOD", "GET")
fields = urllib.parse.parse_qs(os.environ.get("QUERY_STRING", ""))
if method == "POST":
    body = sys.stdin.read(int(os.environ.get("CONTENT_LENGTH") or 0))
    fields.update(urllib.parse.parse_qs(body))
name = fields.get("name", [""])[0]

print("Content-Type: text/html; charset=utf-8")
print()
print("<!DOCTYPE html>")
print("<html><head><title>tarveld: a Python form</title></head><body>")
if name:
    print("<p>Hello, %s! (%s from %s)</p>" % (html.escape(name), method,
                                              html.escape(os.environ.get("REMOTE_ADDR", ""))))
print('<form method="post" action="%s">' % html.escape(os.environ.get("SCRIPT_NAME", "")))
print('<p>Name: <input name="name" value="%s"></p>' % html.escape(name))
print('<p><input type="submit" value="Send"></p></form>')
print("</body></html>")
