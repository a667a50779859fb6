"""Checks the viewer's page against the snapshot file it shows.

Usage: check_viewer.py SNAPSHOT_FILE PAGE CURRENT_DOM PEAK_DOM [FRAGMENT DOM]...

PAGE is what `dideverazez-report html` wrote: it must load nothing (no src or
href, no url() or @import) and embed the file's snapshots unchanged but for
their `stacks`, `objects` and `symbols`: each snapshot with stacks refers to a
table of the page's stacks, which begins with its stacks, each named
innermost first without the library's leading frames (a frame in an object
whose file is not there by its address in hex and the object's file name).
The DOMs are the page after its script ran, with the treemap's areas by
current and by peak bytes, showing the snapshot it opens at: for a series,
the first where the total of the roots' current bytes is highest, labelled so
beside the slider ("the peak of the total"). For every handle of it, the
table's row
shows its current and peak bytes and its blocks, blocks ever and pages as
docs/snapshot.md counts them; for every root, the treemap's title of it gives
both byte figures, and its label the figure the areas are drawn by (a root
with nothing to draw, 0 bytes, has no rectangle). The table's sums of the
roots call the sum of their peaks one, as do the treemap's caption and the
tooltip of "All trees"; for a time series the peak of the total, the largest
sum of the roots' current bytes over its snapshots, is shown beside it.

In every DOM, and in each further DOM of the page opened at #FRAGMENT, the
snapshot shown is the fragment's `at` (counted from 1, the peak of the total
without), the table's pages cells lie inside its pages column, and
the table shows the first 100 of the handles whose paths hold its `filter`
(ignoring case; all without), depth first, each with its figures, and says
how many there are; the roots of a series' chart are the five largest by
current bytes at that snapshot (of those with any, else of all). Handles are named by
path (`zoom`, `handle`), the k-th of n sharing one as "PATH [k of n]", or by
the viewer's key as earlier pages linked them; the treemap's crumbs lead to
the handle zoomed into. The
call sites of the handle selected (the fragment's `handle`, else its `zoom`,
else all trees) and of its subtree are drawn as docs/sampling.md says: the
stacks outermost frame first, named by the page's tables, merged by name; a
frame as wide as the bytes (`sites`: in use, allocated, or at the peak of the
sampled bytes) of the stacks through it, the frame zoomed into (`frame`) and
those above it full width, callees left to right from the largest; each
frame's title its name and exact bytes and blocks. The peak of the sampled
bytes, when the snapshot has one, is named with its bytes and moment, and
offered as a measure. A page without sites says why instead.
"""
import json
import os
import re
import sys
import urllib.parse
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
        self.totals, self.ids, self.crumbs, self.frames = {}, {}, [], []
        self.others, self.legend, self.boxes = [], [], []
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
        if tag == "th" and "data-box" in attrs and text.split()[:1] == ["pages"]:
            self.boxes.append(attrs["data-box"])
        if tag == "td" and self.nearest("tr") is not None:
            self.nearest("tr").setdefault("cells", {}).update({c: text for c in classes})
            if "data-box" in attrs:
                self.nearest("tr").setdefault("boxes", {}).update(
                    {c: attrs["data-box"] for c in classes})
        elif tag == "title" and self.nearest("g") is not None:
            self.nearest("g").setdefault("title", text)
        elif tag == "rect" and self.nearest("g") is not None:
            self.nearest("g")["rect"] = attrs
        elif tag == "tspan" and "figure" in classes and self.nearest("g") is not None:
            self.nearest("g")["label"] = text
        elif tag == "tr" and "data-path" in attrs:
            self.rows.append(element)
        elif tag == "tr" and "data-total" in attrs:
            self.totals[attrs["data-total"]] = element
        elif tag == "button" and any(e["attrs"].get("id") == "crumbs" for e in self.stack):
            self.crumbs.append(element)
        elif tag == "g" and "data-path" in attrs:
            self.nodes.append(element)
        elif tag == "g" and "data-others" in attrs:
            self.others.append(element)
        elif tag == "span" and "path" in classes and self.nearest("li") is not None:
            self.legend.append(text)
        elif tag == "g" and "data-stack" in attrs:
            self.frames.append(element)
        elif tag == "script":
            self.scripts.append(element)
        elif tag == "style" and ("url(" in text or "@import" in text):
            self.loads.append("a style sheet that loads something")
        if "id" in attrs:
            self.ids[attrs["id"]] = element


def parse(name):
    page = Page()
    # newline="": a name may hold a carriage return, which must reach the parser.
    page.feed(open(name, encoding="utf-8", newline="").read())
    page.close()
    return page


def documents(name):
    text, decoder, at, found = open(name, encoding="utf-8").read(), json.JSONDecoder(), 0, []
    while text[at:].strip():
        at += len(text[at:]) - len(text[at:].lstrip())
        document, at = decoder.raw_decode(text, at)
        found.append(document)
    return found


def blocks(tree):
    """Each engine's (blocks, ever, pages) as docs/snapshot.md counts them: a
    paged root's own blocks (self items without pages, and pooled items) and
    its children's global items; every other engine's metrics counts."""
    engines, found = tree["engines"], []
    for engine in engines:
        m, items = engine["metrics"], lambda key, i: engine["statistics"][key]["items"][i]
        if engine["parent"] is None and engine["kind"] == "paged":
            children = [e for e in engines if e["parent"] == engine["address"]]
            own = lambda i: items("self", i) - items("pages", i) + items("pooled", i)
            found.append((own(0) + sum(c["statistics"]["global"]["items"][0] for c in children),
                          own(2) + sum(c["statistics"]["global"]["items"][2] for c in children),
                          grouped(items("pages", 0))))
        else:
            found.append((m["count_current"], m["count_cumul"], ""))
    return found


def page_names(snapshot, stack):
    """The names html gives the frames of `stack`, innermost first, without
    the library's leading frames; None for a frame of an object whose file is
    there, which the file names."""
    objects = snapshot.get("objects", [])
    base = lambda o: o["path"][o["path"].rfind("/") + 1:]
    of = lambda a: next((o for o in objects if o["start"] <= a < o["end"]), None)
    frames = list(stack)
    while frames and of(frames[0]) and base(of(frames[0])).startswith("libdideverazez"):
        frames.pop(0)
    return [None if of(a) and os.path.exists(of(a)["path"]) else
            "0x%x (%s)" % (a, base(of(a))) if of(a) else "0x%x" % a for a in frames]


def check_stacks(snapshots, entries, stacks, problems):
    """Each snapshot with stacks refers to a table of the page that begins
    with its stacks, named."""
    for i, (entry, snapshot) in enumerate(zip(entries, snapshots)):
        if not snapshot.get("stacks"):
            if "stacks" in entry:
                problems.append("snapshot %d has no stacks but a table of them" % (i + 1))
            continue
        t = entry.get("stacks")
        table = stacks["tables"][t] if isinstance(t, int) and t < len(stacks["tables"]) else []
        if len(table) < len(snapshot["stacks"]):
            problems.append("snapshot %d: table %r has %d stacks, not its %d"
                            % (i + 1, t, len(table), len(snapshot["stacks"])))
            continue
        for k, stack in enumerate(snapshot["stacks"]):
            names = [stacks["names"][n] for n in table[k]]
            expected = page_names(snapshot, stack)
            if len(names) != len(expected) or any(e not in (None, n)
                                                   for e, n in zip(expected, names)):
                problems.append("snapshot %d: stack %d is named %r, not %r"
                                % (i + 1, k, names, expected))
    print("stacks: %d named in %d tables of the page, %d names"
          % (sum(len(t) for t in stacks["tables"]), len(stacks["tables"]), len(stacks["names"])))


def total(snapshot):
    """The sum of the roots' current bytes."""
    return sum(e["metrics"]["memory_current"] for tree in snapshot["trees"]
               for e in tree["engines"] if e["parent"] is None)


def opening(snapshots):
    """The index of the snapshot the page opens at: of a series, the first
    where the total is highest."""
    totals = [total(s) for s in snapshots]
    return totals.index(max(totals)) if len(snapshots) > 1 else len(snapshots) - 1


def check_total(snapshots, doms, problems):
    """The sums of the roots, the sum of their peaks never shown as a peak."""
    shown = snapshots[opening(snapshots)]
    roots = [e for tree in shown["trees"] for e in tree["engines"] if e["parent"] is None]
    peaks = grouped(sum(r["metrics"]["memory_peak"] for r in roots))
    peak_of_total = grouped(max(total(s) for s in snapshots)) if len(snapshots) > 1 else None
    dom = doms["current"]
    row = dom.totals.get("sum", {}).get("cells", {})
    expected = {"memory_current": grouped(total(shown)),
                "memory_peak": peaks + " (sum of peaks)"}
    for key, value in expected.items():
        if row.get(key) != value:
            problems.append("the table's sums of the roots show %s %r, not %r"
                            % (key, row.get(key), value))
    shown = dom.totals.get("peak", {}).get("cells", {}).get("memory_peak")
    if shown != peak_of_total:
        problems.append("the table's peak of the total is %r, not %r" % (shown, peak_of_total))
    caption = doms["peak"].ids.get("caption", {}).get("text", "").strip()
    says = [peaks + " bytes, the sum of the roots' peaks (not a peak)"]
    says += ["peak of the total: %s bytes" % peak_of_total] if peak_of_total else []
    if not all(part in caption for part in says) or caption == peaks + " peak bytes":
        problems.append("the treemap's caption by peak bytes says %r, not %r" % (caption, says))
    tooltip = dom.crumbs[0]["attrs"].get("title", "") if dom.crumbs else ""
    says = ["sum of the roots' peak bytes: " + peaks]
    says += ["peak of the total: %s bytes" % peak_of_total] if peak_of_total else []
    if not all(part in tooltip for part in says) or "\npeak bytes: " in tooltip:
        problems.append("the tooltip of All trees says %r, not %r" % (tooltip, says))
    print("all trees: %s bytes the sum of the roots' peaks, peak of the total %s"
          % (peaks, peak_of_total or "(one snapshot)"))


def walk(snapshot):
    """Every engine with its depth, its key (depth, path and rank among those
    sharing both, in the order a depth-first walk of the trees meets them) and
    the keys of it and of the engines above it."""
    found, seen = [], {}
    for tree in snapshot["trees"]:
        children = {}
        for e in tree["engines"]:
            children.setdefault(e["parent"], []).append(e)
        pending = [(tree["engines"][0], 0, ())]
        while pending:
            engine, depth, above = pending.pop()
            base = "%d:%s" % (depth, engine["path"])
            key = "%s#%d" % (base, seen.get(base, 0))
            seen[base] = seen.get(base, 0) + 1
            found.append((engine, depth, key, above + (key,)))
            pending += [(e, depth + 1, above + (key,))
                        for e in children.get(engine["address"], [])[::-1]]
    return found


def resolve(snapshot, name):
    """The key of the handle a fragment names ('' for none), or None."""
    if not name:
        return ""
    walked = walk(snapshot)
    same = lambda path: [key for e, _, key, _ in walked if e["path"] == path]
    if same(name):
        return same(name)[0]
    ranked = re.fullmatch(r"(.*) \[(\d+) of \d+\]", name, re.S)
    if ranked and 1 <= int(ranked.group(2)) <= len(same(ranked.group(1))):
        return same(ranked.group(1))[int(ranked.group(2)) - 1]
    return name if any(key == name for _, _, key, _ in walked) else None


def shown_at(snapshots, view):
    """The index of the snapshot the page opened at `view` shows."""
    at = view.get("at", "")
    return int(at) - 1 if at.isdigit() and 1 <= int(at) <= len(snapshots) else opening(snapshots)


PAGE_ROWS = 100


def check_view(snapshots, fragment, dom, problems):
    """The snapshot a view shows, its table's rows, the chart's roots and the
    handle zoomed into."""
    view = dict(urllib.parse.parse_qsl(fragment, keep_blank_values=True))
    at = shown_at(snapshots, view)
    snapshot = snapshots[at]
    moment = dom.ids.get("moment-text", {}).get("text")
    says = "%d of %d" % (at + 1, len(snapshots))
    says += ", the peak of the total" if at == opening(snapshots) else ""
    if len(snapshots) > 1 and moment != says:
        problems.append("#%s: the page shows snapshot %r, not %r" % (fragment, moment, says))
    check_pages_column(fragment, dom, problems)
    walked = walk(snapshot)
    needle = view.get("filter", "").lower()
    matching = [(e, d) for e, d, _, _ in walked if needle in e["path"].lower()]
    figures = {}
    for tree in snapshot["trees"]:
        figures.update(zip((e["address"] for e in tree["engines"]), blocks(tree)))
    rows = dom.rows
    if len(rows) != min(PAGE_ROWS, len(matching)):
        problems.append("#%s: %d rows in the table, not %d" % (fragment, len(rows),
                                                               min(PAGE_ROWS, len(matching))))
    for (engine, depth), row in zip(matching, rows):
        m, (now, ever, pages) = engine["metrics"], figures[engine["address"]]
        expected = {"path": engine["path"], "depth": str(depth),
                    "memory_current": grouped(m["memory_current"]),
                    "memory_peak": grouped(m["memory_peak"]),
                    "blocks": grouped(now), "ever": grouped(ever), "pages": pages}
        cells = row.get("cells", {})
        shown = {key: cells.get(key) for key in expected}
        shown.update(path=row["attrs"].get("data-path"), depth=row["attrs"].get("data-depth"))
        if shown != expected:
            problems.append("#%s: %r: the table shows %s; the snapshot %s"
                            % (fragment, engine["path"], shown, expected))
    total = len(walked)
    caption = dom.ids.get("engines-pages", {}).get("text", "").strip()
    of = grouped(total) if not needle else "%s matching (of %s)" % (grouped(len(matching)),
                                                                    grouped(total))
    expected = ("Rows 1\u2013%s of %s." % (grouped(min(PAGE_ROWS, len(matching))), of)
                if matching else "No path holds \u201c%s\u201d." % view["filter"])
    if not caption.startswith(expected):
        problems.append("#%s: under the table %r, not %r" % (fragment, caption, expected))
    if len(snapshots) > 1:
        roots = [e for tree in snapshot["trees"] for e in tree["engines"][:1]]
        largest = sorted(roots, key=lambda r: -r["metrics"]["memory_current"])
        # Those with bytes; all roots when none has any.
        charted = [r["path"] for r in largest if r["metrics"]["memory_current"] > 0][:5]
        charted = charted or [r["path"] for r in largest][:5]
        if dom.legend != charted:
            problems.append("#%s: the chart draws %r, not the largest roots %r"
                            % (fragment, dom.legend, charted))
    zoom = resolve(snapshot, view.get("zoom", ""))
    chain = ["All trees"] + [next(e["name"] if e["name"] is not None else "<noname>"
                                  for e, _, k, _ in walked if k == key)
                             for key in next((above for _, _, k, above in walked if k == zoom),
                                             ())]
    crumbs = [c["text"] for c in dom.crumbs]
    if crumbs != chain:
        problems.append("#%s: the treemap's crumbs are %r, not %r" % (fragment, crumbs, chain))
    # The handle selected: its row marked, if shown; the zoomed one's figure.
    handle = resolve(snapshot, view.get("handle", view.get("zoom", "")))
    marked = [r["attrs"].get("data-key") for r in rows if "highlight" in
              r["attrs"].get("class", "").split()]
    if marked != [r["attrs"].get("data-key") for r in rows if r["attrs"].get("data-key") == handle]:
        problems.append("#%s: the rows marked are %r, not that of %r" % (fragment, marked, handle))
    zoomed = next((e for e, _, k, _ in walked if k == zoom), None)
    by = "peak" if view.get("by") == "peak" else "current"
    caption = dom.ids.get("caption", {}).get("text", "").strip()
    if zoomed and caption != "%s %s bytes" % (grouped(zoomed["metrics"]["memory_" + by]), by):
        problems.append("#%s: the treemap's caption is %r for %s" % (fragment, caption,
                                                                    zoomed["path"]))
    check_folds(walked, zoomed, by, fragment, dom, problems)
    print("#%s: snapshot %d, %d of %d rows shown, %d match, zoomed into %s"
          % (fragment, at + 1, len(rows), total, len(matching), " / ".join(chain)))


def check_pages_column(fragment, dom, problems):
    """The table's pages cells sit in the grid: inside the column of the pages
    heading, and as high as the blocks cell of their row (the boxes that
    browser.sh measured: left, right, top and bottom edges, in pixels)."""
    edges = lambda box: tuple(map(float, box.split()))
    rows = [r for r in dom.rows + list(dom.totals.values()) if "pages" in r.get("boxes", {})]
    if len(dom.boxes) != 1 or not rows:
        problems.append("#%s: no pages column measured (%d headings, %d cells)"
                        % (fragment, len(dom.boxes), len(rows)))
        return
    left, right, _, _ = edges(dom.boxes[0])
    astray = []
    for row in rows:
        cell, beside = edges(row["boxes"]["pages"]), edges(row["boxes"]["blocks"])
        if (cell[0] < left - 0.5 or cell[1] > right + 0.5 or abs(cell[2] - beside[2]) > 0.5
                or abs(cell[3] - beside[3]) > 0.5):
            astray.append((row["attrs"].get("data-path", "total"), cell, beside[2:]))
    if astray:
        problems.append("#%s: %d of %d pages cells lie outside the grid (column %.1f to %.1f; "
                        "path, box, row's top and bottom): %r"
                        % (fragment, len(astray), len(rows), left, right, astray[:3]))


SMALLEST_CELL = 400


def check_folds(walked, zoomed, by, fragment, dom, problems):
    """The children of the handle zoomed into (the roots for none) that would
    cover less than 400 square pixels of the treemap share one cell, when
    there are two or more; the others are drawn each."""
    figure = lambda e: max(0, e["metrics"]["memory_" + by])
    if zoomed is None:
        children, depth = [e for e, d, _, _ in walked if d == 0], 0
        whole = sum(map(figure, children))
    else:
        children = [e for e, _, _, _ in walked if e["parent"] == zoomed["address"]]
        depth = next(d for e, d, _, _ in walked if e is zoomed) + 1
        whole = max(sum(map(figure, children)), figure(zoomed))
    _, _, w, h = map(float, dom.ids.get("map", {}).get("attrs", {}).get("viewbox", "0 0 0 0")
                     .split())
    small = [e for e in children if figure(e) > 0 and figure(e) * w * h / whole < SMALLEST_CELL]
    small = small if len(small) >= 2 else []
    drawn = sorted(n["attrs"]["data-path"] for n in dom.nodes
                   if n["attrs"].get("data-depth") == str(depth))
    expected = sorted(e["path"] for e in children if figure(e) > 0 and e not in small)
    if drawn != expected:
        problems.append("#%s: the treemap draws %d cells, not %d" % (fragment, len(drawn),
                                                                    len(expected)))
    others = [g for g in dom.others if g["attrs"].get("data-depth") == str(depth)]
    says = ["%d" % len(small), "\n%s %s bytes together\n" % (grouped(sum(map(figure, small))), by)]
    if (len(others) != (1 if small else 0) or
            small and (others[0]["attrs"]["data-others"] != says[0] or
                       says[1] not in others[0].get("title", ""))):
        problems.append("#%s: the cells of the small children: %r, not %r"
                        % (fragment, [(g["attrs"]["data-others"], g.get("title")) for g in others],
                           says if small else []))
    if small:
        print("#%s: %d cells drawn, %d small ones in one" % (fragment, len(drawn), len(small)))


def amount(figures):
    return "%s bytes in %s %s" % (grouped(figures["bytes"]), grouped(figures["blocks"]),
                                  "block" if figures["blocks"] == 1 else "blocks")


MEASURES = ("in_use", "allocated", "at_peak")
NOTHING = {"bytes": 0, "blocks": 0}


def check_sites(snapshots, entries, stacks, fragment, dom, problems):
    """The flame graph of the page opened at #fragment, against the sites of
    the embedded snapshot it shows, named by the page's `stacks`."""
    view = dict(urllib.parse.parse_qsl(fragment, keep_blank_values=True))
    at = shown_at(snapshots, view)
    snapshot = snapshots[at]
    name = view.get("handle", view.get("zoom", ""))
    handle = resolve(snapshot, name)
    measure = {"allocated": "allocated", "peak": "at_peak"}.get(view.get("sites"), "in_use")
    chosen = [(e, key) for e, _, key, above in walk(snapshot) if not name or handle in above]
    selected = next((e for e, key in chosen if key == handle), None)
    has_children = selected is not None and any(e["parent"] == selected["address"]
                                                for tree in snapshot["trees"]
                                                for e in tree["engines"])
    label = "all trees" if not name else selected["path"] if selected else name
    whose = label + " and its subtree" if has_children else label
    shown = [f["attrs"]["data-stack"] for f in dom.frames]
    note = dom.ids.get("sites-none", {"attrs": {"hidden": ""}, "text": ""})
    title = dom.ids.get("sites-title", {}).get("text")
    if title != "Call sites of " + whose:
        problems.append("#%s: the call sites' heading is %r, not %r"
                        % (fragment, title, "Call sites of " + whose))

    def say(sentence):
        if shown or "hidden" in note["attrs"] or sentence not in note["text"]:
            problems.append("#%s: %d frames drawn and %r shown, where %r should be shown"
                            % (fragment, len(shown), note["text"], sentence))
        print("#%s: %s" % (fragment, note["text"]))

    peak = snapshot.get("sampling", {}).get("peak")
    named = dom.ids.get("sites-peak", {"attrs": {"hidden": ""}, "text": ""})
    offered = dom.ids.get("sites-peak-choice", {"attrs": {"hidden": ""}})
    if peak is None and ("hidden" not in named["attrs"] or "hidden" not in offered["attrs"]):
        problems.append("#%s: a peak of the sampled bytes named or offered: %r"
                        % (fragment, named["text"]))
    if peak is not None:
        says = ["%s ms after the library loaded" % grouped(peak["ms"]), amount(peak)]
        if ("hidden" in named["attrs"] or "hidden" in offered["attrs"]
                or not all(part in named["text"] for part in says)):
            problems.append("#%s: the peak of the sampled bytes is named %r, not with %r"
                            % (fragment, named["text"], says))
        print("#%s: %s" % (fragment, " ".join(named["text"].split())))
    if "sampling" not in snapshot:
        return say("DIDEVERAZEZ_SAMPLE_BYTES=n")
    if name and selected is None:
        return say("No handle %s in this snapshot." % label)
    # The tree of frames: outermost first, merged by name from the top.
    zero = lambda: {m: dict(NOTHING) for m in MEASURES}
    root = {"name": None, "path": (), "children": {}, **zero()}
    table = stacks["tables"][entries[at]["stacks"]] if snapshot.get("stacks") else []
    for engine, _ in chosen:
        for site in engine.get("sites", []):
            names = [stacks["names"][k] for k in table[site["stack"]]]
            frame = root
            for name in [None] + names[::-1]:
                if name is not None:
                    frame = frame["children"].setdefault(
                        name, {"name": name, "path": frame["path"] + (name,), "children": {},
                               **zero()})
                for m in MEASURES:
                    for unit in ("bytes", "blocks"):
                        frame[m][unit] += site.get(m, NOTHING)[unit]
    if not root["allocated"]["bytes"]:
        return say("None of the allocations of %s was sampled" % whose)
    if measure == "at_peak" and peak is None:
        return say("This snapshot records no peak of the sampled bytes")
    if measure == "at_peak" and not root["at_peak"]["bytes"]:
        return say("The sampled sites of %s held nothing at the peak of the sampled bytes" % whose)
    if not root[measure]["bytes"]:
        return say("Nothing allocated at the sampled sites of %s is in use now" % whose)
    chain = [root]
    for name in view["frame"].split("\n") if view.get("frame") else []:
        frame = chain[-1]["children"].get(name)
        if frame is None or not frame[measure]["bytes"]:
            break
        chain.append(frame)
    width = float(dom.ids.get("flame", {}).get("attrs", {}).get("viewbox", "0 0 0 0").split()[2])
    expected = [(frame, 0.0, width, row) for row, frame in enumerate(chain)]

    def place(frame, x, row):
        for callee in sorted((f for f in frame["children"].values() if f[measure]["bytes"]),
                             key=lambda f: (-f[measure]["bytes"], f["name"])):
            w = callee[measure]["bytes"] * width / chain[-1][measure]["bytes"]
            if w > 0.5:
                expected.append((callee, x, w, row))
                place(callee, x, row + 1)
            x += w
    place(chain[-1], 0.0, len(chain))
    found = {f["attrs"]["data-stack"]: f for f in dom.frames}
    if sorted(found) != sorted("\n".join(f["path"]) for f, _, _, _ in expected):
        problems.append("#%s: the frames drawn are %r, not %r"
                        % (fragment, sorted(found),
                           sorted("\n".join(f["path"]) for f, _, _, _ in expected)))
    if "hidden" not in note["attrs"]:
        problems.append("#%s: frames drawn, but %r shown" % (fragment, note["text"]))
    for frame, x, w, row in expected:
        g = found.get("\n".join(frame["path"]))
        if g is None:
            continue
        rect = g.get("rect", {})
        place = (float(rect.get("x", "nan")), float(rect.get("width", "nan")),
                 float(rect.get("y", "nan")))
        if not (abs(place[0] - x) < 1e-6 and abs(place[1] - w) < 1e-6 and place[2] == row * 18):
            problems.append("#%s: %r is drawn at x %s, width %s, y %s, not %s, %s, %s"
                            % (fragment, frame["path"], *place, x, w, row * 18))
        lines = g.get("title", "").split("\n")
        first = frame["name"] or whose + ": every sampled stack"
        figures = ["in use: " + amount(frame["in_use"]), "allocated: " + amount(frame["allocated"])]
        figures += ["at the peak: " + amount(frame["at_peak"])] if peak is not None else []
        listed = all(any(line.startswith(f + " (") for line in lines) for f in figures)
        listed = listed and (peak is not None or not any(l.startswith("at the peak") for l in lines))
        if lines[0] != first or not listed:
            problems.append("#%s: the title of %r is %r, not %r with %r"
                            % (fragment, frame["path"], lines, first, figures))
        print("#%s: %s%s %s, %.2f%% wide" % (fragment, "  " * row, frame["name"] or "(all)",
                                             amount(frame[measure]), 100 * w / width))
    if not expected[1:]:
        problems.append("#%s: nothing under the top of the flame graph was checked" % fragment)


def main(snapshot_file, page_file, current_file, peak_file, *views):
    problems = []
    snapshots = documents(snapshot_file)
    page = parse(page_file)
    problems += ["the page loads a resource: " + load for load in page.loads]
    embedded = {s["attrs"].get("id"): json.loads(s["text"]) for s in page.scripts
                if s["attrs"].get("id") in ("snapshots", "stacks")}
    entries = embedded.get("snapshots", [])
    stacks = embedded.get("stacks", {"names": [], "tables": []})
    # The page names the stacks in its own tables; all else is the file's.
    trimmed = lambda s: {k: v for k, v in s.items() if k not in ("stacks", "objects", "symbols")}
    if [e["snapshot"] for e in entries] != [trimmed(s) for s in snapshots]:
        problems.append("the page does not embed the file's snapshots as they are")
    else:
        check_stacks(snapshots, entries, stacks, problems)

    roots = [engine for tree in snapshots[opening(snapshots)]["trees"]
             for engine in tree["engines"] if engine["parent"] is None]
    doms = {"current": parse(current_file), "peak": parse(peak_file)}
    for by, dom in doms.items():
        if not dom.ready:
            problems.append("%s: the viewer's script did not run to its end" % by)
    check_total(snapshots, doms, problems)

    # Roots too small to draw share one cell: the roots drawn and those in it
    # are all those with bytes, and it holds the bytes of those not drawn.
    def folded(by, root):
        others = [g for g in doms[by].others if g["attrs"].get("data-depth") == "0"]
        figure = lambda r: r["metrics"]["memory_" + by]
        drawn = {(n["attrs"]["data-path"], n["attrs"]["data-depth"]) for n in doms[by].nodes}
        left = [r for r in roots if figure(r) > 0 and (r["path"], "0") not in drawn]
        return (len(others) == 1 and root in left and len(left) >= 2
                and others[0]["attrs"]["data-others"] == str(len(left))
                and "\n%s %s bytes together\n" % (grouped(sum(map(figure, left))), by)
                in others[0].get("title", ""))

    checked = 0
    for index, root in enumerate(roots):
        path, m = root["path"], root["metrics"]
        current, peak = grouped(m["memory_current"]), grouped(m["memory_peak"])
        # Roots sharing a path are distinguished by their order.
        rank = sum(1 for r in roots[:index] if r["path"] == path)
        same = lambda found: [e for e in found if e["attrs"].get("data-path") == path
                              and e["attrs"].get("data-depth") == "0"]
        for by, figure in (("current", m["memory_current"]), ("peak", m["memory_peak"])):
            nodes = same(doms[by].nodes)
            if figure <= 0 or (rank >= len(nodes) and folded(by, root)):
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
    pairs = [("by=current", doms["current"]), ("by=peak", doms["peak"])]
    pairs += [(views[i], parse(views[i + 1])) for i in range(0, len(views) - 1, 2)]
    for fragment, dom in pairs:
        if not dom.ready:
            problems.append("#%s: the viewer's script did not run to its end" % fragment)
        check_view(snapshots, fragment, dom, problems)
        check_sites(snapshots, entries, stacks, fragment, dom, problems)
    print("\n".join(problems) if problems else
          "the page shows every handle's figures: %d roots, %d treemap checks"
          % (len(roots), checked))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
