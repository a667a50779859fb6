// The viewer of dideverazez snapshots. dideverazez-report html embeds the
// snapshots in the element #snapshots as [{file, snapshot, stacks}, ...], in
// the order given, each snapshot without its `stacks` and `objects`: its sites
// index the stacks of table `stacks` in the element #stacks, {names, tables},
// each stack its frames' indices in `names`, innermost first. The tool has
// checked every key used here. Plain script, nothing to fetch. The state (area
// measure, snapshot shown, zoom, the handle whose call sites are drawn, their
// measure, the frame zoomed into and the table's filter) lives in the URL's
// fragment, e.g. #by=peak&at=3&zoom=Scene%2FMeshes&sites=allocated&filter=mesh,
// so a view can be linked: handles by their paths, snapshots counted from 1 as
// the page shows them (docs/snapshot.md).
'use strict';

(function () {
  const SVG = 'http://www.w3.org/2000/svg';
  const COLORS = ['#4e79a7', '#e15759', '#59a14f', '#f28e2b', '#b07aa1', '#76b7b2', '#9c755f',
                  '#edc948', '#ff9da7', '#bab0ac'];
  // A row's values: the metrics' bytes, and blocks as dideverazez-report
  // summary counts them (node.blocks, below); pages only for a paged root.
  const COLUMNS = [
    {key: 'path', heading: 'path', text: true},
    {key: 'self_peak', heading: 'self peak'},
    {key: 'memory_current', heading: 'current bytes'},
    {key: 'memory_peak', heading: 'peak bytes'},
    {key: 'memory_cumul', heading: 'cumulative bytes'},
    {key: 'blocks', heading: 'blocks', title: 'blocks in use'},
    {key: 'ever', heading: 'ever', title: 'blocks ever allocated'},
    {key: 'pages', heading: 'pages', title: "the pages a paged root's tree holds"},
  ];
  const cell = (node, key) => (key in node.m ? node.m[key] : node.blocks[key]);
  const METRIC = {current: 'memory_current', peak: 'memory_peak'};
  // The flame graph's measures: a site's key, and what its widths are.
  const SITES = {in_use: 'in use', allocated: 'allocated', peak: 'at the peak'};
  const SITE_KEY = {in_use: 'in_use', allocated: 'allocated', peak: 'at_peak'};
  const ROW = 18; // the height of a row of the flame graph, in pixels
  // The rows of a table shown at once: a page of 20,000 handles stays quick
  // to lay out; the buttons under it page through the rest.
  const PAGE_ROWS = 100;
  // A parent's children whose cells would cover less than this many square
  // pixels (about 20 by 20, too small for a label) are drawn as one cell,
  // "n others", when there are at least two of them.
  const SMALLEST_CELL = 400;
  // The roots the chart draws at first: the largest by current bytes.
  const CHARTED_ROOTS = 5;

  // Values as the tool prints them: exact, grouped by threes.
  function grouped(value) {
    const digits = BigInt(Math.round(Math.abs(value))).toString();
    return (value < 0 ? '-' : '') + digits.replace(/\B(?=(\d{3})+(?!\d))/g, ',');
  }

  function element(tag, attributes, text, namespace) {
    const node = namespace ? document.createElementNS(namespace, tag)
                           : document.createElement(tag);
    for (const [name, value] of Object.entries(attributes || {})) node.setAttribute(name, value);
    if (text !== undefined) node.textContent = text;
    return node;
  }
  const svg = (tag, attributes, text) => element(tag, attributes, text, SVG);

  // One snapshot as trees of nodes. Each node's key (depth, path and its rank
  // among the nodes sharing both, depth first) names the same handle in every
  // snapshot of a series, as dideverazez-report diff matches them.
  function model(entry) {
    const roots = [];
    const nodes = [];
    for (const tree of entry.snapshot.trees) {
      const byAddress = new Map();
      for (const engine of tree.engines) {
        const parent = engine.parent === null ? null : byAddress.get(engine.parent);
        const node = {path: engine.path, name: engine.name === null ? '<noname>' : engine.name,
                      kind: engine.kind, m: engine.metrics, parent, children: [],
                      sites: engine.sites || [],
                      depth: parent ? parent.depth + 1 : 0,
                      blocks: {blocks: engine.metrics.count_current,
                               ever: engine.metrics.count_cumul, pages: null}};
        (parent ? parent.children : roots).push(node);
        byAddress.set(engine.address, node);
        // A paged root's items count its tree's pages and heap blocks, not the
        // program's blocks: its row counts its own blocks (self items without
        // its pages, and its pooled ones) and its children's.
        const items = (key, i) => engine.statistics[key].items[i];
        const root = tree.engines[0];
        if (!parent && engine.kind === 'paged') {
          node.blocks = {blocks: items('self', 0) - items('pages', 0) + items('pooled', 0),
                         ever: items('self', 2) - items('pages', 2) + items('pooled', 2),
                         pages: items('pages', 0)};
        } else if (parent && engine.parent === root.address && root.kind === 'paged') {
          parent.blocks.blocks += items('global', 0);
          parent.blocks.ever += items('global', 2);
        }
      }
    }
    const seen = new Map();
    const byPath = new Map();
    const walk = (node) => {
      const base = node.depth + ':' + node.path;
      const rank = seen.get(base) || 0;
      seen.set(base, rank + 1);
      node.key = base + '#' + rank;
      node.lower = node.path.toLowerCase();
      nodes.push(node);
      if (!byPath.has(node.path)) byPath.set(node.path, []);
      byPath.get(node.path).push(node);
      node.children.forEach(walk);
    };
    roots.forEach(walk);
    // What the fragment names a handle by: its path, with " [k of n]" when n
    // handles of the snapshot share it (k counting them depth first from 1),
    // as dideverazez-report diff labels them.
    for (const [path, same] of byPath) {
      same.forEach((node, i) => {
        node.link = same.length === 1 ? path : path + ' [' + (i + 1) + ' of ' + same.length + ']';
      });
    }
    // The top adds the roots up. Their peaks came at moments of their own, so
    // their sum is no peak of anything; the peak of the total of a series is
    // known only at its snapshots (series, below).
    const sum = (figure) => roots.reduce((total, root) => total + figure(root), 0);
    const top = {path: '', name: 'All trees', children: roots, depth: -1, key: '', top: true,
                 current: sum((r) => r.m.memory_current), sumOfPeaks: sum((r) => r.m.memory_peak),
                 cumulative: sum((r) => r.m.memory_cumul), blocks: sum((r) => r.blocks.blocks),
                 ever: sum((r) => r.blocks.ever), pages: sum((r) => r.blocks.pages || 0),
                 series: null};
    return {entry, roots, nodes, top, byPath, byKey: new Map(nodes.map((n) => [n.key, n]))};
  }

  const source = document.getElementById('snapshots').textContent.trim();
  if (!source) return;
  const moments = JSON.parse(source).map(model);
  const stacks = JSON.parse(document.getElementById('stacks').textContent.trim() ||
                            '{"names": [], "tables": []}');
  // A file's snapshots sit side by side: each run of one file of more than one
  // snapshot is a time series, whose total peaked, as far as its snapshots
  // show, at the largest of their totals, first reached at `at`. The page
  // opens at the peak of the last file's.
  let opening = moments.length - 1;
  for (let start = 0, end; start < moments.length; start = end) {
    for (end = start + 1; end < moments.length &&
         moments[end].entry.file === moments[start].entry.file; ++end);
    const run = moments.slice(start, end);
    if (run.length < 2) continue;
    const peak = Math.max(...run.map((m) => m.top.current));
    const at = start + run.findIndex((m) => m.top.current === peak);
    for (const m of run) m.top.series = {peak, at, count: run.length, file: m.entry.file};
    if (end === moments.length) opening = at;
  }
  // `zoom`, `handle`: the keys of the handle zoomed into and of the one whose
  // sites are drawn ('' for all trees; '?' and its name for one the fragment
  // named that the snapshot lacks); `frame`: the names of the frames from the
  // top down to the one zoomed into; `filter`: what the paths of the tables'
  // rows hold; `page`, `retiredPage`: the page of each table shown, from 0.
  const state = {at: opening, by: 'current', zoom: '', sort: null, descending: true,
                 selected: [], handle: '', sites: 'in_use', frame: [], filter: '', page: 0,
                 retiredPage: 0};
  const $ = (id) => document.getElementById(id);

  // The key of the handle a fragment names in snapshot `m`: by its path (the
  // first of those sharing it), its path and " [k of n]", or, as pages linked
  // before paths were, its key.
  function resolve(m, name) {
    if (!name) return '';
    const same = m.byPath.get(name);
    if (same) return same[0].key;
    const ranked = /^([\s\S]*) \[(\d+) of \d+\]$/.exec(name);
    const list = ranked && m.byPath.get(ranked[1]);
    if (list && Number(ranked[2]) >= 1 && Number(ranked[2]) <= list.length) {
      return list[Number(ranked[2]) - 1].key;
    }
    return m.byKey.has(name) ? name : '?' + name;
  }

  // The name the fragment gives a handle's key: its link in the snapshot shown,
  // else in the first that has it.
  function linkOf(key) {
    if (!key || key[0] === '?') return key.slice(1);
    const m = current().byKey.has(key) ? current()
                                       : moments.find((moment) => moment.byKey.has(key));
    return m ? m.byKey.get(key).link : pathOf(key);
  }

  // A key's path, for a handle the snapshot shown lacks.
  const pathOf = (key) => key[0] === '?' ? key.slice(1)
                                         : key.slice(key.indexOf(':') + 1, key.lastIndexOf('#'));

  function readFragment() {
    const fragment = new URLSearchParams(location.hash.slice(1));
    if (fragment.get('by') === 'peak') state.by = 'peak';
    const at = Number(fragment.get('at'));
    if (fragment.has('at') && Number.isInteger(at) && at >= 1 && at <= moments.length) {
      state.at = at - 1;
    }
    state.zoom = resolve(current(), fragment.get('zoom') || '');
    // The handle selected is the one zoomed into unless the fragment says.
    state.handle = fragment.has('handle') ? resolve(current(), fragment.get('handle'))
                                          : state.zoom;
    if (Object.hasOwn(SITES, fragment.get('sites') || '')) state.sites = fragment.get('sites');
    state.frame = fragment.get('frame') ? fragment.get('frame').split('\n') : [];
    state.filter = fragment.get('filter') || '';
  }

  function writeFragment() {
    const fragment = new URLSearchParams({by: state.by, at: String(state.at + 1)});
    if (state.zoom) fragment.set('zoom', linkOf(state.zoom));
    if (state.handle !== state.zoom) fragment.set('handle', linkOf(state.handle));
    if (state.sites !== 'in_use') fragment.set('sites', state.sites);
    if (state.frame.length) fragment.set('frame', state.frame.join('\n'));
    if (state.filter) fragment.set('filter', state.filter);
    try {
      history.replaceState(null, '', '#' + fragment.toString());
    } catch (error) {
      // A page opened from a file may refuse; the view works without.
    }
  }

  const current = () => moments[state.at];
  const figure = (node) => node.top
    ? node.children.reduce((sum, root) => sum + root.m[METRIC[state.by]], 0)
    : node.m[METRIC[state.by]];

  // The peak of a series' total, in words.
  function peakOfTotal(top) {
    const s = top.series;
    return 'peak of the total: ' + grouped(s.peak) + ' bytes, the highest sum of the roots\' ' +
           'current bytes at the ' + s.count + ' snapshots of ' + s.file +
           ' (sampled at those moments only)';
  }

  function details(node) {
    if (node.top) {
      return [node.name,
              'current bytes: ' + grouped(node.current),
              'sum of the roots\' peak bytes: ' + grouped(node.sumOfPeaks) +
                ' (each root at its own highest: not a peak of the total)',
              node.series ? peakOfTotal(node) : '',
              'cumulative bytes: ' + grouped(node.cumulative),
              'blocks: ' + grouped(node.blocks) + ' now, ' + grouped(node.ever) + ' ever',
              'pages: ' + grouped(node.pages)].filter((line) => line).join('\n');
    }
    const m = node.m;
    const b = node.blocks;
    return [node.path + ' (' + node.kind + ' engine)',
            'current bytes: ' + grouped(m.memory_current),
            'peak bytes: ' + grouped(m.memory_peak),
            'self peak: ' + grouped(m.self_peak),
            'cumulative bytes: ' + grouped(m.memory_cumul),
            'blocks: ' + grouped(b.blocks) + ' now, ' + grouped(b.ever) + ' ever',
            b.pages === null ? '' : 'pages: ' + grouped(b.pages),
            node.children.length ? 'click to zoom into its subtree' : ''].filter((line) => line)
      .join('\n');
  }

  // What the treemap's caption says of the node shown.
  function caption(node) {
    if (!node.top || state.by === 'current') {
      return grouped(figure(node)) + ' ' + state.by + ' bytes';
    }
    return grouped(node.sumOfPeaks) + ' bytes, the sum of the roots\' peaks (not a peak)' +
           (node.series ? '; ' + peakOfTotal(node) : '');
  }

  // --- Header -------------------------------------------------------------

  function renderAbout() {
    const {entry, roots, nodes} = current();
    const s = entry.snapshot;
    $('about').textContent = 'Process ' + s.process + ', ' + grouped(s.taken_ms) +
      ' ms after the library loaded (' + entry.file + '): ' + roots.length +
      (roots.length === 1 ? ' tree, ' : ' trees, ') + nodes.length + ' live handles, ' +
      s.retired.length + ' retired.';
    const series = current().top.series;
    $('moment-text').textContent = (state.at + 1) + ' of ' + moments.length +
      (series && series.at === state.at ? ', the peak of the total' : '');
  }

  // --- Treemap ------------------------------------------------------------

  // Squarified layout of `items` ({value}) in the rectangle; returns
  // [{item, x, y, w, h}] with areas in proportion to the values.
  function squarify(items, x, y, w, h) {
    const total = items.reduce((sum, item) => sum + item.value, 0);
    const out = [];
    if (total <= 0 || w <= 0 || h <= 0) return out;
    const scale = (w * h) / total;
    const rest = items.filter((item) => item.value > 0).sort((a, b) => b.value - a.value);
    // The worst aspect ratio of a row of `sum` square pixels, from its largest
    // cell `max` to its smallest `min` (the items come largest first).
    const worst = (sum, max, min, side) =>
      Math.max((side * side * max) / (sum * sum), (sum * sum) / (side * side * min));
    for (let next = 0; next < rest.length;) {
      const side = Math.min(w, h);
      const row = [rest[next++]];
      const max = row[0].value * scale;
      let area = max;
      let min = max;
      while (next < rest.length) {
        const added = rest[next].value * scale;
        if (worst(area + added, max, added, side) > worst(area, max, min, side)) break;
        row.push(rest[next++]);
        area += added;
        min = added;
      }
      const thickness = area / side;
      let offset = 0;
      for (const item of row) {
        const length = (item.value * scale) / thickness;
        out.push(w >= h ? {item, x, y: y + offset, w: thickness, h: length}
                        : {item, x: x + offset, y, w: length, h: thickness});
        offset += length;
      }
      if (w >= h) {
        x += thickness;
        w -= thickness;
      } else {
        y += thickness;
        h -= thickness;
      }
    }
    return out;
  }

  // Zooming into a handle selects it too.
  function zoomTo(node) {
    state.zoom = node.top ? '' : node.key;
    state.handle = state.zoom;
    state.frame = [];
    writeFragment();
    renderMap();
    renderSites();
  }

  // The handle whose call sites are drawn, marked in the treemap and the table.
  function select(node) {
    state.handle = node.top ? '' : node.key;
    state.frame = [];
    writeFragment();
    for (const g of document.querySelectorAll('#map .node')) {
      g.classList.toggle('selected', g.dataset.key === state.handle);
    }
    // The table turns to the page of its row, if the filter lets it show.
    const index = node.top ? -1 : tableRows().indexOf(node);
    if (index >= 0 && Math.floor(index / PAGE_ROWS) !== state.page) {
      state.page = Math.floor(index / PAGE_ROWS);
      renderTable();
    } else {
      highlightRow(state.handle);
    }
    renderSites();
  }

  // `hex` mixed with white: `amount` of the colour.
  function tint(hex, amount) {
    const n = parseInt(hex.slice(1), 16);
    const mixed = [n >> 16, (n >> 8) & 255, n & 255].map((v) => Math.round(255 - (255 - v) * amount));
    return 'rgb(' + mixed.join(', ') + ')';
  }

  // Draws `node`'s children in the rectangle, each with its own children
  // inside while there is room; the part of the node's value that no child
  // accounts for stays empty. Children too small to read share one cell.
  function drawChildren(parent, node, box, colour, level) {
    const children = node.children.map((child, index) => ({value: Math.max(0, figure(child)),
                                                            child, index}));
    const covered = children.reduce((sum, item) => sum + item.value, 0);
    const whole = Math.max(covered, figure(node));
    const small = children.filter((item) => item.value > 0 &&
                                            (item.value * box.w * box.h) / whole < SMALLEST_CELL);
    const folded = small.length >= 2 ? new Set(small) : new Set();
    const items = children.filter((item) => !folded.has(item))
      .concat({value: whole - covered});
    if (folded.size) {
      items.push({value: small.reduce((sum, item) => sum + item.value, 0), others: small});
    }
    squarify(items, box.x, box.y, box.w, box.h).forEach((cell) => {
      if (cell.item.others) {
        drawOthers(parent, node, cell, cell.item, colour, level);
        return;
      }
      if (!cell.item.child) return;
      const child = cell.item.child;
      const childColour = level === 0 ? COLORS[cell.item.index % COLORS.length] : colour;
      const g = svg('g', {'class': child.key === state.handle ? 'node selected' : 'node',
                          'data-path': child.path, 'data-depth': child.depth, 'data-key': child.key,
                          'tabindex': 0, 'role': 'button',
                          'aria-label': child.name + ', ' + grouped(figure(child)) + ' ' +
                                        state.by + ' bytes'});
      g.append(svg('title', {}, details(child)));
      const r = {x: cell.x + 1, y: cell.y + 1, w: Math.max(0, cell.w - 2),
                 h: Math.max(0, cell.h - 2)};
      g.append(svg('rect', {x: r.x, y: r.y, width: r.w, height: r.h,
                            fill: tint(childColour, 0.3 + 0.12 * (level % 3))}));
      const figureText = grouped(figure(child));
      const nested = child.children.length && r.w > 60 && r.h > 50 && level < 6;
      // Labels only where they fit (about 7 pixels a character), so none spills.
      const room = Math.floor((r.w - 8) / 7.2);
      if (room >= 3 && r.h > 18) {
        const label = svg('text', {x: r.x + 4, y: r.y + 14, 'class': 'label'});
        const name = child.name.length <= room ? child.name
                                                : child.name.slice(0, room - 1) + '\u2026';
        label.append(svg('tspan', {'class': 'name'}, name));
        if ((nested || r.h < 36) && name.length + 1 + figureText.length <= room) {
          label.append(svg('tspan', {'class': 'figure', dx: 6}, figureText));
        } else if (!nested && r.h >= 36 && figureText.length <= room) {
          label.append(svg('tspan', {'class': 'figure', x: r.x + 4, dy: 16}, figureText));
        }
        g.append(label);
      }
      const open = (event) => {
        event.stopPropagation();
        if (child.children.length) zoomTo(child);
        select(child);
      };
      g.addEventListener('click', open);
      g.addEventListener('keydown', (event) => {
        if (event.key === 'Enter' || event.key === ' ') {
          event.preventDefault();
          open(event);
        }
      });
      parent.append(g);
      if (nested) {
        drawChildren(g, child, {x: r.x + 3, y: r.y + 20, w: r.w - 6, h: r.h - 23}, childColour,
                     level + 1);
      }
    });
  }

  // The cell of `node`'s children too small to draw one by one: their count
  // and bytes, the largest of them in its title; a click zooms into `node`.
  function drawOthers(parent, node, cell, item, colour, level) {
    const count = item.others.length;
    const figureText = grouped(item.value);
    const whose = node.top ? 'the roots' : node.path;
    const named = item.others.slice().sort((a, b) => b.value - a.value).slice(0, 10)
      .map((other) => other.child.path + ': ' + grouped(other.value));
    const g = svg('g', {'class': 'node others', 'data-others': count,
                        'data-parent': node.top ? '' : node.key, 'data-depth': node.depth + 1,
                        'tabindex': 0, 'role': 'button',
                        'aria-label': count + ' other handles of ' + whose + ', ' + figureText +
                                      ' ' + state.by + ' bytes'});
    g.append(svg('title', {}, [count + ' other handles of ' + whose + ', each too small to draw',
                               figureText + ' ' + state.by + ' bytes together', 'the largest:']
      .concat(named, count > named.length ? ['\u2026'] : [],
              node === current().top || state.zoom === node.key ? []
                : ['click to zoom into ' + whose]).join('\n')));
    const r = {x: cell.x + 1, y: cell.y + 1, w: Math.max(0, cell.w - 2),
               h: Math.max(0, cell.h - 2)};
    g.append(svg('rect', {x: r.x, y: r.y, width: r.w, height: r.h,
                          fill: tint(colour, 0.15 + 0.12 * (level % 3))}));
    const name = count + ' others';
    const room = Math.floor((r.w - 8) / 7.2);
    if (room >= name.length && r.h > 18) {
      const label = svg('text', {x: r.x + 4, y: r.y + 14, 'class': 'label'});
      label.append(svg('tspan', {'class': 'name'}, name));
      if (name.length + 1 + figureText.length <= room) {
        label.append(svg('tspan', {'class': 'figure', dx: 6}, figureText));
      }
      g.append(label);
    }
    const open = (event) => {
      event.stopPropagation();
      zoomTo(node);
    };
    g.addEventListener('click', open);
    g.addEventListener('keydown', (event) => {
      if (event.key === 'Enter' || event.key === ' ') {
        event.preventDefault();
        open(event);
      }
    });
    parent.append(g);
  }

  function renderMap() {
    const m = current();
    const shown = (state.zoom && m.byKey.get(state.zoom)) || m.top;
    const crumbs = $('crumbs');
    crumbs.replaceChildren();
    const chain = [];
    for (let node = shown; node && !node.top; node = node.parent) chain.unshift(node);
    chain.unshift(m.top);
    chain.forEach((node, i) => {
      if (i) crumbs.append(' / ');
      const button = element('button', {type: 'button'}, node.name);
      button.disabled = i === chain.length - 1;
      button.title = details(node);
      button.addEventListener('click', () => zoomTo(node));
      crumbs.append(button);
    });
    crumbs.append(element('span', {'class': 'figure', id: 'caption'}, '  ' + caption(shown)));

    const map = $('map');
    const width = map.clientWidth || 800;
    const height = map.clientHeight || 480;
    map.setAttribute('viewBox', '0 0 ' + width + ' ' + height);
    map.replaceChildren();
    drawChildren(map, shown, {x: 0, y: 0, w: width, h: height}, COLORS[0], 0);
    if (!map.childNodes.length) {
      map.append(svg('text', {x: 12, y: 24, 'class': 'empty'},
                     'Nothing to draw: no ' + state.by + ' bytes here.'));
    }
  }

  // --- Table --------------------------------------------------------------

  function highlightRow(key) {
    for (const row of document.querySelectorAll('#engines tbody tr')) {
      row.classList.toggle('highlight', row.dataset.key === key);
    }
  }

  const collator = new Intl.Collator();

  // The live handles whose paths hold the filter (ignoring case), depth first
  // or in the order sorted by; the page shown is kept within them.
  function tableRows() {
    const needle = state.filter.toLowerCase();
    const all = current().nodes;
    const rows = needle ? all.filter((node) => node.lower.includes(needle)) : all.slice();
    if (state.sort) {
      // Empty cells (pages of all but paged roots) come below every value.
      const compare = (x, y) => x === y ? 0 : x === null ? -1 : y === null ? 1 : x - y;
      rows.sort((a, b) => {
        const order = state.sort === 'path' ? collator.compare(a.path, b.path)
                                            : compare(cell(a, state.sort), cell(b, state.sort));
        return state.descending ? -order : order;
      });
    }
    state.page = Math.min(state.page, Math.max(0, Math.ceil(rows.length / PAGE_ROWS) - 1));
    return rows;
  }

  // Under table `id`: which of its `count` rows (of `total` before the
  // filter) the page shows, and buttons to the pages before and after.
  function pager(id, count, total, page, go) {
    const bar = $(id + '-pages');
    const first = page * PAGE_ROWS;
    const shown = Math.min(PAGE_ROWS, count - first);
    const of = count === total ? grouped(total) : grouped(count) + ' matching (of ' +
                                                  grouped(total) + ')';
    const text = count === 0 ? (total ? 'No path holds \u201c' + state.filter + '\u201d.' : '')
      : 'Rows ' + grouped(first + 1) + '\u2013' + grouped(first + shown) + ' of ' + of + '.';
    bar.replaceChildren(element('span', {'class': 'rows-shown'}, text));
    bar.hidden = !text;
    if (count <= PAGE_ROWS) return;
    for (const [label, to] of [['\u2190 previous', page - 1], ['next \u2192', page + 1]]) {
      const button = element('button', {type: 'button'}, label);
      button.disabled = to < 0 || to * PAGE_ROWS >= count;
      button.addEventListener('click', () => go(to));
      bar.append(button);
    }
  }

  function renderTable() {
    const series = moments.length > 1;
    const head = document.querySelector('#engines thead tr');
    head.replaceChildren();
    if (series) head.append(element('th', {scope: 'col'}, 'chart'));
    for (const column of COLUMNS) {
      const th = element('th', {scope: 'col', 'class': column.text ? 'text' : ''});
      if (state.sort === column.key) {
        th.setAttribute('aria-sort', state.descending ? 'descending' : 'ascending');
      }
      const button = element('button', {type: 'button',
                                        title: 'Sort by ' + (column.title || column.heading)},
                             column.heading + (state.sort !== column.key ? ''
                                               : state.descending ? ' \u25bc' : ' \u25b2'));
      button.addEventListener('click', () => {
        state.descending = state.sort === column.key ? !state.descending : !column.text;
        state.sort = column.key;
        state.page = 0;
        renderTable();
      });
      th.append(button);
      head.append(th);
    }

    const rows = tableRows();
    const first = state.page * PAGE_ROWS;
    const body = document.querySelector('#engines tbody');
    body.replaceChildren();
    pager('engines', rows.length, current().nodes.length, state.page, (page) => {
      state.page = page;
      renderTable();
    });
    for (const node of rows.slice(first, first + PAGE_ROWS)) {
      const tr = element('tr', {'data-key': node.key, 'data-path': node.path,
                                'data-depth': node.depth});
      if (series) {
        const td = element('td', {'class': 'pick'});
        const box = element('input', {type: 'checkbox', 'aria-label': 'Chart ' + node.path});
        const colour = state.selected.indexOf(node.key);
        box.checked = colour >= 0;
        if (colour >= 0) td.style.setProperty('--swatch', COLORS[colour % COLORS.length]);
        box.addEventListener('change', () => {
          state.selected = box.checked ? state.selected.concat(node.key)
                                       : state.selected.filter((key) => key !== node.key);
          renderTable();
          renderChart();
        });
        td.append(box);
        tr.append(td);
      }
      const path = element('td', {'class': 'text', title: details(node)});
      const button = element('button', {type: 'button', 'class': 'path'}, node.path);
      button.style.paddingLeft = (state.sort ? 0 : node.depth * 1.2) + 'em';
      button.addEventListener('click', () => {
        zoomTo(node.children.length ? node : node.parent || current().top);
        select(node);
      });
      path.append(button);
      tr.append(path);
      for (const column of COLUMNS.slice(1)) {
        const value = cell(node, column.key);
        tr.append(element('td', {'class': 'figure ' + column.key},
                          value === null ? '' : grouped(value)));
      }
      body.append(tr);
    }
    highlightRow(state.handle);

    // The sums of the roots, the sum of their peaks labelled as such; for a
    // time series, the peak of the total under it, in the peak column.
    const top = current().top;
    const foot = document.querySelector('#engines tfoot');
    foot.replaceChildren();
    const total = (kind, label, figures) => {
      const tr = element('tr', {'data-total': kind, title: details(top)});
      if (series) tr.append(element('td'));
      tr.append(element('td', {'class': 'text'}, label));
      for (const column of COLUMNS.slice(1)) {
        tr.append(element('td', {'class': 'figure ' + column.key},
                          column.key in figures ? figures[column.key] : ''));
      }
      foot.append(tr);
    };
    total('sum', 'All trees: the sums of the roots',
          {memory_current: grouped(top.current),
           memory_peak: grouped(top.sumOfPeaks) + ' (sum of peaks)',
           memory_cumul: grouped(top.cumulative), blocks: grouped(top.blocks),
           ever: grouped(top.ever), pages: grouped(top.pages)});
    if (top.series) {
      total('peak', 'All trees: the peak of the total, sampled at the ' + top.series.count +
                    ' snapshots', {memory_peak: grouped(top.series.peak)});
    }

    const all = current().entry.snapshot.retired;
    const needle = state.filter.toLowerCase();
    const retired = needle ? all.filter((r) => r.path.toLowerCase().includes(needle)) : all;
    $('retired-title').textContent = 'Retired handles (' + grouped(all.length) + ')';
    const retiredBody = document.querySelector('#retired tbody');
    retiredBody.replaceChildren();
    state.retiredPage = Math.min(state.retiredPage,
                                 Math.max(0, Math.ceil(retired.length / PAGE_ROWS) - 1));
    pager('retired', retired.length, all.length, state.retiredPage, (page) => {
      state.retiredPage = page;
      renderTable();
    });
    const firstRetired = state.retiredPage * PAGE_ROWS;
    for (const r of retired.slice(firstRetired, firstRetired + PAGE_ROWS)) {
      const tr = element('tr');
      tr.append(element('td', {'class': 'text'}, r.path));
      for (const value of [r.handles, r.metrics.memory_peak, r.metrics.memory_cumul,
                           r.metrics.memory_current, r.died_ms - r.born_ms]) {
        tr.append(element('td', {'class': 'figure'}, grouped(value)));
      }
      retiredBody.append(tr);
    }
  }

  // --- Flame graph of the call sites ----------------------------------------

  // The frames of stack `i` of the snapshot of `entry`, outermost first, by
  // the names the tool looked up (without the library's own frames).
  function frames(entry, i) {
    return stacks.tables[entry.stacks][i].map((k) => stacks.names[k]).reverse();
  }

  // The sites of `node` and of its subtree (of every tree for the top) merged
  // into one tree of frames from the outermost down: a frame holds the values
  // of every site whose stack passes through it, the top one those of all. A
  // site without `at_peak` held nothing at the peak.
  function siteTree(entry, node) {
    const zero = () => ({in_use: {bytes: 0, blocks: 0}, allocated: {bytes: 0, blocks: 0},
                         peak: {bytes: 0, blocks: 0}});
    const root = Object.assign({name: '', path: [], children: new Map()}, zero());
    const add = (frame, site) => {
      for (const measure of Object.keys(SITES)) {
        const figures = site[SITE_KEY[measure]];
        if (!figures) continue;
        frame[measure].bytes += figures.bytes;
        frame[measure].blocks += figures.blocks;
      }
    };
    const walk = (n) => {
      for (const site of n.sites) {
        let frame = root;
        add(root, site);
        for (const name of frames(entry, site.stack)) {
          let next = frame.children.get(name);
          if (!next) {
            next = Object.assign({name, path: frame.path.concat(name), children: new Map()},
                                 zero());
            frame.children.set(name, next);
          }
          add(next, site);
          frame = next;
        }
      }
      n.children.forEach(walk);
    };
    (node.top ? node.children : [node]).forEach(walk);
    return root;
  }

  const amount = (figures) => grouped(figures.bytes) + ' bytes in ' + grouped(figures.blocks) +
                              (figures.blocks === 1 ? ' block' : ' blocks');

  function frameDetails(frame, root, whose, sampling) {
    const share = (measure) => root[measure].bytes
      ? ' (' + ((100 * frame[measure].bytes) / root[measure].bytes).toFixed(1) + '% of the sampled)'
      : '';
    return [frame === root ? whose + ': every sampled stack' : frame.name,
            'in use: ' + amount(frame.in_use) + share('in_use'),
            'allocated: ' + amount(frame.allocated) + share('allocated'),
            sampling.peak ? 'at the peak: ' + amount(frame.peak) + share('peak') : '',
            frame !== root ? '' : sampling.bytes === 1 ? 'every allocation sampled: exact figures'
              : 'about one allocation in ' + grouped(sampling.bytes) + ' bytes sampled: estimates',
            'click to zoom into it'].filter((line) => line).join('\n');
  }

  // The peak of the sampled bytes, in words.
  function sampledPeak(sampling) {
    const peak = sampling.peak;
    return 'The sampled sites together held the most ' + grouped(peak.ms) + ' ms after the ' +
           'library loaded: ' + (sampling.bytes === 1 ? '' : 'about ') + amount(peak) +
           ' in use; "bytes at the peak" draws what each held then.';
  }

  // A warm colour of the name's own, the same wherever the frame shows; frames
  // without a name grey.
  function frameColour(name) {
    if (/^0x[0-9a-f]+$/.test(name)) return '#c9ccd1';
    let hash = 0;
    for (let i = 0; i < name.length; ++i) hash = (hash * 31 + name.charCodeAt(i)) >>> 0;
    return 'hsl(' + (hash % 50) + ', ' + (62 + (hash >>> 8) % 20) + '%, ' +
           (64 + (hash >>> 16) % 12) + '%)';
  }

  function renderSites() {
    const m = current();
    const snapshot = m.entry.snapshot;
    const node = state.handle ? m.byKey.get(state.handle) : m.top;
    const label = node ? (node.top ? 'all trees' : node.path) : pathOf(state.handle);
    const whose = node && !node.top && node.children.length ? label + ' and its subtree' : label;
    $('sites-title').textContent = 'Call sites of ' + whose;
    const flame = $('flame');
    const note = $('sites-none');
    const sampling = snapshot.sampling;
    $('sites-peak-choice').hidden = !(sampling && sampling.peak);
    $('sites-peak').hidden = !(sampling && sampling.peak);
    if (sampling && sampling.peak) $('sites-peak').textContent = sampledPeak(sampling);
    const none = (text) => {
      note.textContent = text;
      note.hidden = false;
      flame.toggleAttribute('hidden', true); // an SVG element has no .hidden
      flame.replaceChildren();
    };
    if (!snapshot.sampling) {
      return none('No call sites: this snapshot was taken with sampling off. Run the program ' +
                  'with DIDEVERAZEZ_SAMPLE_BYTES=n set, beside DIDEVERAZEZ_REPORT, to record ' +
                  'the call stack of about one allocation in n bytes requested.');
    }
    if (!node) return none('No handle ' + label + ' in this snapshot.');
    const root = siteTree(m.entry, node);
    const by = state.sites;
    if (!root.allocated.bytes) {
      return none('None of the allocations of ' + whose + ' was sampled (about one allocation ' +
                  'in ' + grouped(snapshot.sampling.bytes) + ' bytes requested is).');
    }
    if (by === 'peak' && !snapshot.sampling.peak) {
      return none('This snapshot records no peak of the sampled bytes (sampling.peak): widths ' +
                  'by in-use or allocated bytes show its sites.');
    }
    if (by === 'peak' && !root.peak.bytes) {
      return none('The sampled sites of ' + whose + ' held nothing at the peak of the ' +
                  'sampled bytes, ' + grouped(snapshot.sampling.peak.ms) + ' ms after the ' +
                  'library loaded; by allocated bytes they show where its ' +
                  amount(root.allocated) + ' came from.');
    }
    if (!root[by].bytes) {
      return none('Nothing allocated at the sampled sites of ' + whose + ' is in use now; by ' +
                  'allocated bytes they show where its ' + amount(root.allocated) + ' came from.');
    }
    note.hidden = true;
    flame.toggleAttribute('hidden', false);

    // The frames from the top to the one zoomed into, as far as they still
    // exist with bytes of the measure: full width, the zoomed one's callees
    // below it in proportion to their bytes, the largest first.
    const chain = [root];
    for (const name of state.frame) {
      const next = chain[chain.length - 1].children.get(name);
      if (!next || !next[by].bytes) break;
      chain.push(next);
    }
    const zoomed = chain[chain.length - 1];
    const width = flame.clientWidth || 800;
    const cells = chain.map((frame, row) => ({frame, x: 0, w: width, row,
                                              ancestor: frame !== zoomed}));
    const scale = width / zoomed[by].bytes;
    let narrow = 0;
    const place = (frame, x, row) => {
      const callees = [...frame.children.values()].filter((f) => f[by].bytes > 0)
        .sort((a, b) => b[by].bytes - a[by].bytes ||
                        (a.name < b.name ? -1 : a.name > b.name ? 1 : 0));
      for (const callee of callees) {
        const w = callee[by].bytes * scale;
        // Half a pixel or less draws nothing legible: zooming in shows it.
        if (w > 0.5) {
          cells.push({frame: callee, x, w, row});
          place(callee, x, row + 1);
        } else {
          narrow += 1;
        }
        x += w;
      }
    };
    place(zoomed, 0, chain.length);
    const height = ROW * (1 + Math.max(...cells.map((c) => c.row)));
    flame.style.height = height + 'px';
    flame.setAttribute('viewBox', '0 0 ' + width + ' ' + height);
    flame.replaceChildren();
    for (const {frame, x, w, row, ancestor} of cells) {
      const name = frame === root ? whose + ': ' + amount(root[by]) + ' ' + SITES[by] : frame.name;
      const g = svg('g', {'class': ancestor ? 'frame ancestor' : 'frame',
                          'data-stack': frame.path.join('\n'), 'data-row': row, 'tabindex': 0,
                          'role': 'button',
                          'aria-label': name + ', ' + grouped(frame[by].bytes) + ' bytes ' +
                                        SITES[by]});
      let title = frameDetails(frame, root, whose, snapshot.sampling);
      if (frame === root && narrow) {
        title += '\n' + narrow + (narrow === 1 ? ' frame' : ' frames') +
                 ' too narrow to draw here: zoom in to see them';
      }
      g.append(svg('title', {}, title));
      g.append(svg('rect', {x, y: row * ROW, width: w, height: ROW - 1,
                            fill: frame === root ? 'var(--line)' : frameColour(frame.name)}));
      const room = Math.floor((w - 6) / 7);
      if (room >= 3) {
        g.append(svg('text', {x: x + 3, y: row * ROW + 13},
                     name.length <= room ? name : name.slice(0, room - 1) + '\u2026'));
      }
      const open = (event) => {
        event.preventDefault();
        state.frame = frame.path;
        writeFragment();
        renderSites();
      };
      g.addEventListener('click', open);
      g.addEventListener('keydown', (event) => {
        if (event.key === 'Enter' || event.key === ' ') open(event);
      });
      flame.append(g);
    }
  }

  // --- Chart of a time series ----------------------------------------------

  // A round step for about `count` ticks over `span`.
  function step(span, count) {
    const raw = Math.max(span / count, 1);
    const power = Math.pow(10, Math.floor(Math.log10(raw)));
    return [1, 2, 5, 10].map((k) => k * power).find((k) => k >= raw);
  }

  function renderChart() {
    const chart = $('chart');
    const width = chart.clientWidth || 500;
    const height = chart.clientHeight || 360;
    chart.setAttribute('viewBox', '0 0 ' + width + ' ' + height);
    chart.replaceChildren();
    // Milliseconds when they grow through the series, else the snapshots' ranks.
    const times = moments.map((m) => m.entry.snapshot.taken_ms);
    const byTime = times.every((t, i) => i === 0 || t >= times[i - 1]) &&
                   times[times.length - 1] > times[0];
    const xs = byTime ? times : moments.map((m, i) => i + 1);
    const pad = {left: 0, right: 16, top: 12, bottom: 36};
    const lines = state.selected.map((key) => moments.map((m) => {
      const node = m.byKey.get(key);
      return node ? node.m.memory_current : null;
    }));
    const values = lines.flat().filter((v) => v !== null);
    const yStep = step(Math.max(1, ...values) - Math.min(0, ...values), 5);
    const top = Math.ceil(Math.max(1, ...values) / yStep) * yStep;
    const bottom = Math.floor(Math.min(0, ...values) / yStep) * yStep;
    // Room for the longest value of the axis, at about 7 pixels a character.
    pad.left = 16 + 7 * Math.max(grouped(top).length, grouped(bottom).length);
    const x = (v) => pad.left + ((v - xs[0]) / Math.max(1, xs[xs.length - 1] - xs[0])) *
                                  (width - pad.left - pad.right);
    const y = (v) => height - pad.bottom -
                     ((v - bottom) / (top - bottom)) * (height - pad.top - pad.bottom);

    for (let v = bottom; v <= top; v += yStep) {
      chart.append(svg('line', {x1: pad.left, x2: width - pad.right, y1: y(v), y2: y(v),
                                'class': 'grid'}));
      chart.append(svg('text', {x: pad.left - 6, y: y(v) + 4, 'class': 'tick y'}, grouped(v)));
    }
    const xStep = step(xs[xs.length - 1] - xs[0], 6);
    for (let v = Math.ceil(xs[0] / xStep) * xStep; v <= xs[xs.length - 1]; v += xStep) {
      chart.append(svg('text', {x: x(v), y: height - pad.bottom + 16, 'class': 'tick x'},
                       grouped(v)));
    }
    chart.append(svg('text', {x: width - pad.right, y: height - 4, 'class': 'tick axis'},
                     byTime ? 'ms after the library loaded' : 'snapshot'));
    chart.append(svg('line', {x1: x(xs[state.at]), x2: x(xs[state.at]), y1: pad.top,
                              y2: height - pad.bottom, 'class': 'now'}));
    // A click shows the snapshot nearest to it.
    chart.onclick = (event) => {
      const box = chart.getBoundingClientRect();
      const at = ((event.clientX - box.left) * width) / Math.max(1, box.width);
      const distance = (i) => Math.abs(x(xs[i]) - at);
      const nearest = xs.reduce((best, v, i) => (distance(i) < distance(best) ? i : best), 0);
      $('moment').value = String(nearest);
      $('moment').dispatchEvent(new Event('input'));
    };

    const legend = $('legend');
    legend.replaceChildren();
    lines.forEach((line, k) => {
      const colour = COLORS[k % COLORS.length];
      const key = state.selected[k];
      const path = pathOf(key);
      let d = '';
      line.forEach((v, i) => {
        if (v === null) return;
        d += (i && line[i - 1] !== null ? 'L' : 'M') + x(xs[i]).toFixed(1) + ' ' +
             y(v).toFixed(1);
      });
      chart.append(svg('path', {d, stroke: colour, 'class': 'series'}));
      line.forEach((v, i) => {
        if (v === null) return;
        const dot = svg('circle', {cx: x(xs[i]), cy: y(v), r: i === state.at ? 4 : 2.5,
                                   fill: colour});
        dot.append(svg('title', {}, path + '\n' + grouped(v) + ' current bytes at ' +
                                    grouped(times[i]) + ' ms (snapshot ' + (i + 1) + ')'));
        chart.append(dot);
      });
      const item = element('li', {});
      item.style.setProperty('--swatch', colour);
      const now = line[state.at];
      item.append(element('span', {'class': 'path'}, path),
                  element('span', {'class': 'figure'}, now === null ? 'gone' : grouped(now)));
      legend.append(item);
    });
  }

  // --- Wiring -------------------------------------------------------------

  function renderAll() {
    renderAbout();
    renderMap();
    renderTable();
    renderSites();
    if (moments.length > 1) renderChart();
  }

  readFragment();
  // The chart starts with the largest roots at the snapshot shown; those of
  // no bytes only when no root has any.
  const largest = current().roots.slice().sort((a, b) => b.m.memory_current - a.m.memory_current);
  const charted = largest.filter((root) => root.m.memory_current > 0);
  state.selected = (charted.length ? charted : largest).slice(0, CHARTED_ROOTS)
    .map((root) => root.key);
  const filter = $('filter');
  filter.value = state.filter;
  filter.addEventListener('input', () => {
    state.filter = filter.value;
    state.page = 0;
    state.retiredPage = 0;
    writeFragment();
    renderTable();
  });
  document.querySelector('main').hidden = false;
  $('controls').hidden = false;
  for (const radio of document.querySelectorAll('input[name=by]')) {
    radio.checked = radio.value === state.by;
    radio.addEventListener('change', () => {
      state.by = radio.value;
      writeFragment();
      renderMap();
    });
  }
  for (const radio of document.querySelectorAll('input[name=sites]')) {
    radio.checked = radio.value === state.sites;
    radio.addEventListener('change', () => {
      state.sites = radio.value;
      writeFragment();
      renderSites();
    });
  }
  if (moments.length > 1) {
    $('chart-section').hidden = false;
    $('moment-control').hidden = false;
    const moment = $('moment');
    moment.max = String(moments.length - 1);
    moment.value = String(state.at);
    moment.addEventListener('input', () => {
      state.at = Number(moment.value);
      writeFragment();
      renderAll();
    });
  }
  document.addEventListener('keydown', (event) => {
    if (event.key === 'Escape' && state.zoom) {
      const node = current().byKey.get(state.zoom);
      zoomTo((node && node.parent) || current().top);
    }
  });
  let pending = false;
  window.addEventListener('resize', () => {
    if (pending) return;
    pending = true;
    requestAnimationFrame(() => {
      pending = false;
      renderMap();
      renderSites();
      if (moments.length > 1) renderChart();
    });
  });
  renderAll();
  document.body.dataset.ready = 'yes'; // for tests: the script ran to its end
})();
