"""Checks the viewer's page against the snapshot file it shows.

Usage: check_viewer.py SNAPSHOT_FILE PAGE CURRENT_DOM PEAK_DOM

PAGE is what `dideverazez-report html` wrote: it must load nothing (no src or
href, no url() or @import) and embed the file's snapshots unchanged. The DOMs
are the page after its script ran, with the treemap's areas by current and by
peak bytes: for every root of the last snapshot, the table's row shows its
current and peak bytes, the treemap's title of it gives both, and its label
the figure the areas are drawn by. A root with nothing to draw (0 bytes) has
no rectangle.
"""
import json
import sys
from html.parser import HTMLParser

VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source",
        "track", "wbr"}


def grouped(value):
    return "{:,}".format(value)


class Page(HTMLParser):
    """Collects the elements of interest: rows and treemap nodes (by data-path),
    with their cells, titles and labels; scripts; what would load a resource."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.stack, self.rows, self.nodes, self.scripts, self.loads = [], [], [], [], []
        self.ready = False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.loads += ["<%s %s=%s>" % (tag, k, v) for k, v in attrs.items() if k in ("src", "href")]
        self.ready = self.ready or (tag == "body" and attrs.get("data-ready") == "yes")
        if tag not in VOID:
            self.stack.append({"tag": tag, "attrs": attrs, "text": ""})

    def handle_data(self, data):
        for element in self.stack:
            element["text"] += data

    def nearest(self, tag):
        return next((e for e in reversed(self.stack) if e["tag"] == tag), None)

    def handle_endtag(self, tag):
        while self.stack:
            element = self.stack.pop()
            if element["tag"] == tag:
                break
        attrs, text = element["attrs"], element["text"]
        classes = attrs.get("class", "").split()
        if tag == "td" and self.nearest("tr") is not None:
            self.nearest("tr").setdefault("cells", {}).update({c: text for c in classes})
        elif tag == "title" and self.nearest("g") is not None:
            self.nearest("g").setdefault("title", text)
        elif tag == "tspan" and "figure" in classes and self.nearest("g") is not None:
            self.nearest("g")["label"] = text
        elif tag == "tr" and "data-path" in attrs:
            self.rows.append(element)
        elif tag == "g" and "data-path" in attrs:
            self.nodes.append(element)
        elif tag == "script":
            self.scripts.append(element)
        elif tag == "style" and ("url(" in text or "@import" in text):
            self.loads.append("a style sheet that loads something")


def parse(name):
    page = Page()
    page.feed(open(name, encoding="utf-8").read())
    page.close()
    return page


def documents(name):
    text, decoder, at, found = open(name, encoding="utf-8").read(), json.JSONDecoder(), 0, []
    while text[at:].strip():
        at += len(text[at:]) - len(text[at:].lstrip())
        document, at = decoder.raw_decode(text, at)
        found.append(document)
    return found


def main(snapshot_file, page_file, current_file, peak_file):
    problems = []
    snapshots = documents(snapshot_file)
    page = parse(page_file)
    problems += ["the page loads a resource: " + load for load in page.loads]
    embedded = [s for s in page.scripts if s["attrs"].get("id") == "snapshots"]
    if len(embedded) != 1 or [e["snapshot"] for e in json.loads(embedded[0]["text"])] != snapshots:
        problems.append("the page does not embed the file's snapshots as they are")

    roots = [engine for tree in snapshots[-1]["trees"] for engine in tree["engines"]
             if engine["parent"] is None]
    doms = {"current": parse(current_file), "peak": parse(peak_file)}
    for by, dom in doms.items():
        if not dom.ready:
            problems.append("%s: the viewer's script did not run to its end" % by)
    checked = 0
    for index, root in enumerate(roots):
        path, m = root["path"], root["metrics"]
        current, peak = grouped(m["memory_current"]), grouped(m["memory_peak"])
        # Roots sharing a path are told apart by their order.
        rank = sum(1 for r in roots[:index] if r["path"] == path)
        same = lambda found: [e for e in found if e["attrs"].get("data-path") == path
                              and e["attrs"].get("data-depth") == "0"]
        rows = same(doms["current"].rows)
        row = rows[rank]["cells"] if rank < len(rows) else {}
        if (row.get("memory_current"), row.get("memory_peak")) != (current, peak):
            problems.append("%s: the table shows %s current, %s peak bytes; the snapshot %s, %s"
                            % (path, row.get("memory_current"), row.get("memory_peak"),
                               current, peak))
        for by, figure in (("current", m["memory_current"]), ("peak", m["memory_peak"])):
            nodes = same(doms[by].nodes)
            if figure <= 0:
                continue
            if rank >= len(nodes):
                problems.append("%s: no rectangle on the treemap by %s bytes" % (path, by))
                continue
            node = nodes[rank]
            title = node.get("title", "")
            for name, value in (("current bytes", current), ("peak bytes", peak)):
                if "%s: %s\n" % (name, value) not in title + "\n":
                    problems.append("%s: the treemap's title lacks '%s: %s': %r"
                                    % (path, name, value, title))
            if node.get("label", grouped(figure)) != grouped(figure):
                problems.append("%s: the treemap by %s bytes labels it %s, not %s"
                                % (path, by, node["label"], grouped(figure)))
            checked += 1
        print("%s: %s current, %s peak bytes" % (path, current, peak))
    if not roots or not checked:
        problems.append("nothing was checked: no root with bytes to draw")
    print("\n".join(problems) if problems else
          "the page shows every root's figures: %d roots, %d treemap checks" % (len(roots), checked))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
