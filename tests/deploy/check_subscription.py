#!/usr/bin/python3
"""The event-forwarding subscription that we ship: well-formed, of the form wecutil reads, and
its query selects Morex's entries of the Application log and nothing else. Windows evaluates
event queries with a subset of XPath 1.0 on each event's XML; lxml evaluates the same
expression here on events as Windows renders them (namespaces aside, which Windows ignores
in queries)."""

import sys
from pathlib import Path

from lxml import etree

SUBSCRIPTION = "{http://schemas.microsoft.com/2006/03/windows/events/subscription}"
EVENTS = """<Events>
  <Event><System><Provider Name='Morex'/><EventID>101</EventID><Level>2</Level>
    <Channel>Application</Channel></System>
    <EventData><Data>1056 - start Spooler</Data></EventData></Event>
  <Event><System><Provider Name='Morex'/><EventID>100</EventID><Level>4</Level>
    <Channel>Application</Channel></System></Event>
  <Event><System><Provider Name='Service Control Manager'/><EventID>7036</EventID>
    <Channel>System</Channel></System><EventData><Data>Morex</Data></EventData></Event>
  <Event><System><Provider Name='MorexOther'/><EventID>100</EventID>
    <Channel>Application</Channel></System></Event>
</Events>"""


def main(path):
    subscription = etree.parse(str(path)).getroot()
    assert subscription.tag == f"{SUBSCRIPTION}Subscription", subscription.tag
    for field, wanted in (("SubscriptionId", "Morex"), ("Enabled", "true"),
                          ("LogFile", "ForwardedEvents"), ("SubscriptionType", "SourceInitiated")):
        assert subscription.findtext(f"{SUBSCRIPTION}{field}") == wanted, field
    query_list = etree.fromstring(subscription.findtext(f"{SUBSCRIPTION}Query").strip())
    selects = query_list.findall("Query/Select")
    assert len(selects) == 1 and selects[0].get("Path") == "Application", etree.tostring(query_list)
    assert query_list.find("Query").get("Path") == "Application"
    xpath = etree.XPath(selects[0].text)  # raises on a malformed expression
    chosen = xpath(etree.fromstring(EVENTS))
    ids = [(e.find("System/Provider").get("Name"), e.findtext("System/EventID")) for e in chosen]
    assert ids == [("Morex", "101"), ("Morex", "100")], ids
    print(f"{path}: well-formed; the query {selects[0].text} selects Morex's entries alone")


if __name__ == "__main__":
    main(Path(sys.argv[1]))
