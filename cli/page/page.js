'use strict';

// The page of `zentrel serve`: pick or drop an image, see what the library
// finds in it, steer the corners, rectify, check the tile and export it.
// Every result comes from the JSON API under /api/; the records are the
// tool's own (`zentrel ... --json`).

const $ = (id) => document.getElementById(id);
const CORNER_NAMES = ['Top left', 'Top right', 'Bottom right', 'Bottom left'];
const DRAG_HINT = 'Drag a handle, or click it and nudge it with the arrow keys.';
const MIRROR_NAMES = {
  'none': 'none',
  'mirror-h': 'left and right',
  'mirror-v': 'above and below',
  'mirror-hv': 'across and down',
};

const state = {
  files: [],
  current: null,       // {folder, file}
  ticket: 0,           // bumps on every opening, so late answers are dropped
  view: 'image',
  image: null,         // the picture shown, with its natural size
  repeat: null,        // the tool's records for the current image
  tile: null,
  exported: null,
  tileImage: null,     // the exported tile, for the tiled views
  corners: null,       // four [x, y], in the image's pixels
  suggested: null,
  pending: new Map(),  // activity label -> count
};

let viewer = null;

// ---- Talking to the server -------------------------------------------------

function query(params) {
  return new URLSearchParams(params).toString();
}

function beginActivity(label) {
  state.pending.set(label, (state.pending.get(label) || 0) + 1);
  showActivity();
}

function endActivity(label) {
  const count = state.pending.get(label) - 1;
  if (count > 0) state.pending.set(label, count); else state.pending.delete(label);
  showActivity();
}

function showActivity() {
  const busy = state.pending.size > 0;
  $('activity').hidden = !busy;
  $('progress').hidden = !busy;
  if (busy) $('activity-text').textContent = [...state.pending.keys()].pop();
}

// Calls the API; resolves to {status, ok, body, headers} whatever the status.
async function api(method, path, params, label, body) {
  beginActivity(label);
  try {
    const response = await fetch(`${path}?${query(params)}`,
                                 {method, body, credentials: 'same-origin'});
    let record = null;
    if ((response.headers.get('Content-Type') || '').startsWith('application/json')) {
      record = await response.json();
    } else {
      record = {text: await response.text()};
    }
    return {status: response.status, ok: response.ok, body: record, headers: response.headers};
  } catch (error) {
    return {status: 0, ok: false, body: {error: `The server cannot be reached (${error.message}).`}};
  } finally {
    endActivity(label);
  }
}

// The library's own words when it refused, else what the server said.
function reason(reply) {
  if (reply.body && reply.body.error) return reply.body.error;
  if (reply.body && reply.body.text) return reply.body.text.trim();
  return `The server answered ${reply.status}.`;
}

function showMessage(text) {
  $('message-text').textContent = text;
  $('message').hidden = false;
}

function hideMessage() { $('message').hidden = true; }

// ---- Files ------------------------------------------------------------------

function formatBytes(bytes) {
  if (bytes < 1024) return `${bytes} B`;
  if (bytes < 1024 * 1024) return `${(bytes / 1024).toFixed(0)} KB`;
  return `${(bytes / 1024 / 1024).toFixed(1)} MB`;
}

function sameFile(a, b) { return a && b && a.folder === b.folder && a.file === b.file; }

async function loadFiles() {
  const reply = await api('GET', '/api/files', {}, 'Reading the folder');
  if (!reply.ok) { showMessage(reason(reply)); return; }
  state.files = reply.body.files;
  $('place').replaceChildren('Images in ', Object.assign(document.createElement('strong'),
                                                          {textContent: reply.body.root}));
  renderFiles();
}

function renderFiles() {
  const list = $('file-list');
  list.replaceChildren();
  for (const entry of state.files) {
    const item = document.createElement('li');
    item.tabIndex = 0;
    item.dataset.folder = entry.folder;
    item.dataset.file = entry.file;
    item.title = entry.file;
    const box = document.createElement('div');
    box.className = 'thumb-box';
    const thumb = document.createElement('img');
    thumb.className = 'thumb';
    thumb.loading = 'lazy';
    thumb.alt = '';
    // A file that does not decode keeps the empty, hatched box.
    thumb.onerror = () => thumb.classList.add('unreadable');
    thumb.src = `/api/thumbnail?${query({folder: entry.folder, file: entry.file})}`;
    box.append(thumb);
    const text = document.createElement('div');
    text.className = 'file-text';
    const name = document.createElement('div');
    name.className = 'file-name';
    name.textContent = entry.file;
    const meta = document.createElement('div');
    meta.className = 'file-meta';
    meta.textContent = formatBytes(entry.bytes);
    if (entry.folder === 'uploads') {
      meta.append(Object.assign(document.createElement('span'), {className: 'badge', textContent: 'upload'}));
    }
    text.append(name, meta);
    item.append(box, text);
    item.classList.toggle('selected', sameFile(entry, state.current));
    item.addEventListener('click', () => openImage(entry.folder, entry.file));
    item.addEventListener('keydown', (event) => {
      if (event.key === 'Enter' || event.key === ' ') {
        openImage(entry.folder, entry.file);
        event.preventDefault();
      } else if (event.key === 'ArrowDown' && item.nextSibling) {
        item.nextSibling.focus();
        event.preventDefault();
      } else if (event.key === 'ArrowUp' && item.previousSibling) {
        item.previousSibling.focus();
        event.preventDefault();
      }
    });
    list.append(item);
  }
  $('files-empty').hidden = state.files.length > 0;
}

async function upload(file) {
  hideMessage();
  const reply = await api('POST', '/api/upload', {name: file.name}, `Uploading ${file.name}`, file);
  if (!reply.ok) { showMessage(reason(reply)); return; }
  await loadFiles();
  openImage(reply.body.folder, reply.body.file);
}

// ---- Opening an image -----------------------------------------------------------

function loadPicture(url) {
  return new Promise((resolve, reject) => {
    const picture = new Image();
    picture.onload = () => resolve(picture);
    picture.onerror = () => reject(new Error('the browser cannot show it'));
    picture.src = url;
  });
}

async function openImage(folder, file) {
  const ticket = ++state.ticket;
  const current = {folder, file};
  const live = () => ticket === state.ticket;
  Object.assign(state, {current, image: null, repeat: null, tile: null, exported: null,
                        tileImage: null, corners: null, suggested: null, cornersMoved: false});
  $('corner-note').textContent = DRAG_HINT;
  history.replaceState(null, '', `#${encodeURIComponent(folder)}/${encodeURIComponent(file)}`);
  hideMessage();
  renderFiles();
  setView('image');
  renderRecords();
  $('empty').hidden = true;
  $('download').hidden = true;

  const params = {folder, file};
  beginActivity(`Opening ${file}`);
  loadPicture(`/api/image?${query(params)}`).then((picture) => {
    if (!live()) return;
    state.image = picture;
    if (!state.corners) setSuggestedCorners(defaultCorners(picture));
    if (state.view === 'image') showImage();
  }, async () => {
    // The picture's own answer names why (the library's message, 403, 404).
    const reply = await api('GET', '/api/image', params, `Opening ${file}`);
    if (live()) showMessage(reply.ok ? `${file}: the browser cannot show this image.` : reason(reply));
  }).finally(() => endActivity(`Opening ${file}`));

  const failures = [];
  const analyses = [
    api('GET', '/api/repeat', params, 'Finding the repeat rectangle').then((reply) => {
      if (!live()) return;
      if (reply.ok) state.repeat = reply.body; else failures.push(reason(reply));
    }),
    api('GET', '/api/tile', params, 'Finding the repeat unit').then((reply) => {
      if (!live()) return;
      if (reply.ok) state.tile = reply.body; else failures.push(reason(reply));
    }),
    api('GET', '/api/quad', params, 'Finding the corners').then((reply) => {
      if (!live()) return;
      if (reply.ok && reply.body.found) {
        // Unless the handles were moved meanwhile.
        if (!state.cornersMoved) setSuggestedCorners(reply.body.corners);
        $('corner-note').textContent =
            `Suggested with confidence ${number(reply.body.confidence, 2)}. ${DRAG_HINT}`;
      } else if (reply.ok) {
        $('corner-note').textContent = `No quadrilateral stands out. ${DRAG_HINT}`;
      } else if (reply.status !== 404) {
        // 404: a server without the call; the handles keep their margins.
        failures.push(reason(reply));
      }
    }),
  ];
  for (const analysis of analyses) {
    analysis.then(() => { if (live()) { renderRecords(); renderOverlay(); } });
  }
  await Promise.all(analyses);
  if (!live()) return;
  // One message for an image the library refuses, not one per call.
  if (failures.length) showMessage([...new Set(failures)].join(' '));
  cutTileFromImage();
}

function showImage() {
  if (!state.image) { viewer.clear(); return; }
  viewer.show(state.image, state.image.naturalWidth, state.image.naturalHeight);
  renderOverlay();
}

// ---- Records beside the image -------------------------------------------------

function number(value, places = 0) {
  return Number(value).toFixed(places);
}

// A size as a designer states it: whole pixels, or two decimals where it is not whole.
function pixels(value) {
  const rounded = Math.round(value * 100) / 100;
  return Number.isInteger(rounded) ? String(rounded) : rounded.toFixed(2);
}

function renderRecords() {
  const tile = state.tile;
  const found = tile && tile.found;
  $('unit-size').textContent = found ? `${pixels(tile.width)} × ${pixels(tile.height)} px`
                                     : tile ? 'no repeat' : '–';
  const exported = state.exported;
  if (exported && exported.width_mm != null) {
    $('unit-mm').textContent = `${number(exported.width_mm, 1)} × ${number(exported.height_mm, 1)} mm`;
  } else {
    $('unit-mm').textContent = found ? 'resolution unknown' : '–';
  }
  $('unit-match').textContent = found ? tile.match : '–';
  const mirrored = found && tile.mirror && tile.mirror !== 'none';
  $('unit-mirror').textContent = !found || !tile.mirror ? '–'
      : `${MIRROR_NAMES[tile.mirror] || tile.mirror}` +
        (mirrored && tile.unit ? ` (unit ${pixels(tile.unit[0])} × ${pixels(tile.unit[1])} px)` : '');
  // A library whose records carry no mirror has nothing to say here.
  for (const element of document.querySelectorAll('.mirror-fact')) {
    element.hidden = Boolean(tile) && !('mirror' in tile);
  }
  $('unit-confidence').textContent = tile && tile.confidence != null ? number(tile.confidence, 2) : '–';
  $('unit-meter').value = tile && tile.confidence != null ? tile.confidence : 0;
  $('unit-seams').textContent = exported && exported.seam_score != null
      ? `${number(exported.seam_score, 2)} · ${exported.repeats_combined} repeats` : '–';

  const rect = state.repeat;
  $('rect-position').textContent = rect ? `${rect.x}, ${rect.y}` : '–';
  $('rect-size').textContent = rect ? `${rect.width} × ${rect.height} px` : '–';

  renderCornerRows();
  $('rectify').disabled = !state.corners;
  $('export').disabled = !found;
  for (const view of ['tiled', 'seams']) $(`tab-${view}`).disabled = !state.tileImage;
}

// ---- Corners ----------------------------------------------------------------------

// Until corners are suggested: a margin inside the image's own corners.
function defaultCorners(picture) {
  const w = picture.naturalWidth;
  const h = picture.naturalHeight;
  const m = Math.round(Math.min(w, h) * 0.05);
  return [[m, m], [w - 1 - m, m], [w - 1 - m, h - 1 - m], [m, h - 1 - m]];
}

function setSuggestedCorners(corners) {
  state.suggested = corners.map((c) => [...c]);
  state.corners = corners.map((c) => [...c]);
  renderRecords();
  renderOverlay();
}

function clampCorner(x, y) {
  const w = state.image ? state.image.naturalWidth - 1 : x;
  const h = state.image ? state.image.naturalHeight - 1 : y;
  return [Math.min(Math.max(Math.round(x), 0), w), Math.min(Math.max(Math.round(y), 0), h)];
}

function moveCorner(index, x, y) {
  state.corners[index] = clampCorner(x, y);
  state.cornersMoved = true;
  renderOverlay();
  renderCornerRows();
}

function renderCornerRows() {
  const rows = $('corner-rows');
  if (!state.corners) { rows.replaceChildren(); return; }
  if (rows.children.length !== 4) {
    rows.replaceChildren();
    CORNER_NAMES.forEach((name, index) => {
      const row = document.createElement('tr');
      const label = document.createElement('td');
      label.append(Object.assign(document.createElement('b'), {textContent: index + 1}), name);
      row.append(label);
      for (const axis of [0, 1]) {
        const cell = document.createElement('td');
        const input = document.createElement('input');
        input.type = 'number';
        input.id = `corner-${index}-${'xy'[axis]}`;
        input.setAttribute('aria-label', `${name} ${'xy'[axis]}`);
        input.addEventListener('change', () => {
          const corner = [...state.corners[index]];
          corner[axis] = Number(input.value);
          moveCorner(index, corner[0], corner[1]);
        });
        cell.append(input);
        row.append(cell);
      }
      rows.append(row);
    });
  }
  state.corners.forEach((corner, index) => {
    for (const axis of [0, 1]) {
      const input = $(`corner-${index}-${'xy'[axis]}`);
      if (document.activeElement !== input) input.value = corner[axis];
    }
  });
}

async function rectify() {
  const {folder, file} = state.current;
  hideMessage();
  const corners = state.corners.flat().join(',');
  const reply = await api('POST', '/api/rectify', {folder, file, corners}, 'Rectifying');
  if (!reply.ok) { showMessage(reason(reply)); return; }
  await loadFiles();
  openImage(folder, reply.body.output);
}

async function exportTile() {
  const {folder, file} = state.current;
  const ticket = state.ticket;
  const params = {folder, file};
  const dpi = $('export-dpi').value.trim();
  if (dpi) params.dpi = dpi;
  hideMessage();
  $('download').hidden = true;
  const reply = await api('POST', '/api/export', params, 'Exporting the tile');
  if (ticket !== state.ticket) return;
  if (!reply.ok) { showMessage(reason(reply)); return; }
  state.exported = reply.body;
  const link = $('download');
  link.href = reply.headers.get('Location');
  link.download = reply.body.tile_path.split('/').pop();
  link.textContent = 'Download';
  link.title = link.download;
  link.hidden = false;
  // From now on the tiled views show the combined tile, as it will print.
  try {
    const picture = await loadPicture(link.href);
    if (ticket === state.ticket) state.tileImage = picture;
  } catch (error) {
    // The browser cannot show a TIFF; the cut from the image stays.
  }
  renderRecords();
  if (state.view !== 'image') setView(state.view);
}

// ---- The overlay ------------------------------------------------------------------

function marker(x, y, build, attributes = {}) {
  const group = svgElement('g', {transform: `translate(${x} ${y})`, ...attributes});
  const inner = svgElement('g', {class: 'marker'});
  build(inner);
  group.append(inner);
  return group;
}

// Lattice points origin + i a + j b inside `box`, at most `limit`.
function latticePoints(tile, box, limit) {
  const [ax, ay] = tile.vector_a;
  const [bx, by] = tile.vector_b;
  const [ox, oy] = tile.origin;
  const det = ax * by - ay * bx;
  if (!det) return [];
  let lowI = Infinity; let highI = -Infinity; let lowJ = Infinity; let highJ = -Infinity;
  const left = box.x;
  const top = box.y;
  const right = box.x + box.width;
  const bottom = box.y + box.height;
  for (const [cx, cy] of [[left, top], [right, top], [left, bottom], [right, bottom]]) {
    const dx = cx - ox;
    const dy = cy - oy;
    const i = (dx * by - dy * bx) / det;
    const j = (ax * dy - ay * dx) / det;
    lowI = Math.min(lowI, Math.floor(i)); highI = Math.max(highI, Math.ceil(i));
    lowJ = Math.min(lowJ, Math.floor(j)); highJ = Math.max(highJ, Math.ceil(j));
  }
  if ((highI - lowI + 1) * (highJ - lowJ + 1) > limit * 4) return [];
  const points = [];
  for (let i = lowI; i <= highI; i++) {
    for (let j = lowJ; j <= highJ; j++) {
      const x = ox + i * ax + j * bx;
      const y = oy + i * ay + j * by;
      if (x >= left && y >= top && x <= right && y <= bottom) points.push([x, y]);
    }
  }
  return points.length <= limit ? points : [];
}

// Where the pattern holds, as the record gives it; the whole image otherwise.
function tileRegion(tile, width, height) {
  const r = tile.region;
  if (Array.isArray(r) && r.length === 4) return {x: r[0], y: r[1], width: r[2], height: r[3]};
  if (r && typeof r === 'object' && r.width > 0) return r;
  return {x: 0, y: 0, width, height};
}

function renderOverlay() {
  const overlay = viewer.overlay;
  overlay.replaceChildren();
  if (state.view !== 'image' || !state.image) return;
  const width = state.image.naturalWidth;
  const height = state.image.naturalHeight;

  const rect = state.repeat;
  if (rect && $('show-rect').checked) {
    overlay.append(svgElement('rect', {id: 'overlay-rect', class: 'rect', x: rect.x, y: rect.y,
                                       width: rect.width, height: rect.height}));
  }

  const tile = state.tile;
  if (tile && tile.found && $('show-unit').checked) {
    const [ox, oy] = tile.origin;
    const region = tileRegion(tile, width, height);
    if (region.width < width || region.height < height) {
      overlay.append(svgElement('rect', {id: 'overlay-region', class: 'region', x: region.x,
                                         y: region.y, width: region.width, height: region.height}));
    }
    for (const [x, y] of latticePoints(tile, region, 5000)) {
      overlay.append(marker(x, y, (g) => g.append(svgElement('circle', {class: 'point', r: 3}))));
    }
    overlay.append(svgElement('rect', {id: 'overlay-tile', class: 'tile', x: ox, y: oy,
                                       width: tile.width, height: tile.height}));
  }

  const corners = state.corners;
  if (corners && $('show-corners').checked) {
    overlay.append(svgElement('polygon', {class: 'quad', points: corners.map((c) => c.join(',')).join(' ')}));
    corners.forEach(([x, y], index) => {
      overlay.append(marker(x, y, (g) => {
        g.append(svgElement('circle', {class: 'handle', r: 8}));
        const label = svgElement('text', {class: 'handle-label', x: 11, y: -11});
        label.textContent = index + 1;
        g.append(label);
      }, {'data-handle': index, 'data-at': `${x},${y}`, tabindex: 0, role: 'button',
          'aria-label': `${CORNER_NAMES[index]} corner at ${x}, ${y}`}));
    });
    // Keep keyboard focus on the handle that was being nudged.
    if (state.focusHandle !== undefined) {
      const handle = overlay.querySelector(`[data-handle="${state.focusHandle}"]`);
      if (handle) handle.focus({preventScroll: true});
      state.focusHandle = undefined;
    }
  }
}

// ---- Tiled views -----------------------------------------------------------------

// The tile as the image shows it at the lattice's origin, until an exported
// (combined) tile replaces it.
function cutTileFromImage() {
  const tile = state.tile;
  if (!tile || !tile.found || !state.image || state.tileImage) { renderRecords(); return; }
  // A mirrored pattern is built from its unit and the unit's mirror images,
  // so that a wrong mirror shows as a break in the tiled view.
  const flipX = tile.mirror === 'mirror-h' || tile.mirror === 'mirror-hv';
  const flipY = tile.mirror === 'mirror-v' || tile.mirror === 'mirror-hv';
  const [unitWidth, unitHeight] = tile.unit || [tile.width, tile.height];
  const uw = Math.round(flipX ? unitWidth : tile.width);
  const uh = Math.round(flipY ? unitHeight : tile.height);
  const canvas = document.createElement('canvas');
  canvas.width = flipX ? 2 * uw : uw;
  canvas.height = flipY ? 2 * uh : uh;
  const context = canvas.getContext('2d');
  for (const [mx, my] of [[false, false], [true, false], [false, true], [true, true]]) {
    if ((mx && !flipX) || (my && !flipY)) continue;
    context.setTransform(mx ? -1 : 1, 0, 0, my ? -1 : 1, mx ? 2 * uw : 0, my ? 2 * uh : 0);
    context.drawImage(state.image, Math.round(tile.origin[0]), Math.round(tile.origin[1]),
                      uw, uh, 0, 0, uw, uh);
  }
  state.tileImage = canvas;
  renderRecords();
}

// Where copies of a w x h tile go, by its match: two vectors.
function tileVectors(match, w, h) {
  if (match === 'half-drop') return [[w, h / 2], [0, h]];
  if (match === 'half-brick') return [[w, 0], [w / 2, h]];
  return [[w, 0], [0, h]];
}

// `count` x `count` tiles' worth of the pattern; shifted by half a tile for
// the seams, so that the tile's edges cross the middle.
function drawTiled(seams) {
  const source = state.tileImage;
  const w = source.naturalWidth || source.width;
  const h = source.naturalHeight || source.height;
  const count = Math.max(3, Math.min(9, Math.ceil(1200 / Math.max(w, h)))) | 1;
  const canvas = document.createElement('canvas');
  canvas.width = w * count;
  canvas.height = h * count;
  const context = canvas.getContext('2d');
  const [a, b] = tileVectors(state.tile.match, w, h);
  const shift = seams ? [w / 2, h / 2] : [0, 0];
  const reach = count + 2;
  for (let i = -reach; i <= reach; i++) {
    for (let j = -reach; j <= reach; j++) {
      const x = shift[0] + i * a[0] + j * b[0];
      const y = shift[1] + i * a[1] + j * b[1];
      if (x + w <= 0 || y + h <= 0 || x >= canvas.width || y >= canvas.height) continue;
      context.drawImage(source, Math.round(x), Math.round(y));
    }
  }
  if (seams) {
    // Where the tile's edges meet, faintly, so a seam is easy to look for.
    context.strokeStyle = 'rgba(20, 184, 166, 0.55)';
    context.setLineDash([6, 6]);
    context.lineWidth = 1;
    const middle = Math.floor(count / 2);
    const x = Math.round(shift[0] + middle * w);
    const y = Math.round(shift[1] + middle * h);
    context.beginPath();
    context.moveTo(x + 0.5, 0); context.lineTo(x + 0.5, canvas.height);
    context.moveTo(0, y + 0.5); context.lineTo(canvas.width, y + 0.5);
    context.stroke();
  }
  canvas.id = seams ? 'seams-view' : 'tiled-view';
  return canvas;
}

function setView(view) {
  state.view = view;
  for (const name of ['image', 'tiled', 'seams']) {
    $(`tab-${name}`).setAttribute('aria-selected', String(name === view));
  }
  $('layers').style.visibility = view === 'image' ? 'visible' : 'hidden';
  if (view === 'image') {
    showImage();
    return;
  }
  viewer.overlay.replaceChildren();
  const canvas = drawTiled(view === 'seams');
  viewer.show(canvas, canvas.width, canvas.height);
}

// ---- Start -----------------------------------------------------------------------

function start() {
  // The cookie set with the page carries the token from here on; the address
  // bar need not show it.
  if (new URLSearchParams(location.search).has('token')) {
    history.replaceState(null, '', location.pathname + location.hash);
  }
  viewer = new Viewer($('viewport'), {
    onZoom: (scale) => { $('zoom-level').textContent = `${Math.round(scale * 100)}%`; },
    onHandleMove: (index, x, y) => moveCorner(index, x, y),
    onHandleKey: (index, dx, dy) => {
      const [x, y] = state.corners[index];
      state.focusHandle = index;
      moveCorner(index, x + dx, y + dy);
    },
  });

  $('zoom-in').addEventListener('click', () => viewer.zoomBy(1.25));
  $('zoom-out').addEventListener('click', () => viewer.zoomBy(0.8));
  $('zoom-fit').addEventListener('click', () => viewer.fit());
  $('zoom-actual').addEventListener('click', () => viewer.actualSize());
  for (const name of ['image', 'tiled', 'seams']) {
    $(`tab-${name}`).addEventListener('click', () => setView(name));
  }
  for (const id of ['show-rect', 'show-unit', 'show-corners']) {
    $(id).addEventListener('change', renderOverlay);
  }
  $('message-close').addEventListener('click', hideMessage);
  $('corners-suggested').addEventListener('click', () => {
    if (state.suggested) setSuggestedCorners(state.suggested);
  });
  $('rectify').addEventListener('click', rectify);
  $('export').addEventListener('click', exportTile);
  $('upload-input').addEventListener('change', (event) => {
    if (event.target.files.length) upload(event.target.files[0]);
    event.target.value = '';
  });

  // Dropping a file anywhere uploads it.
  let depth = 0;
  window.addEventListener('dragenter', (event) => {
    if (![...event.dataTransfer.types].includes('Files')) return;
    depth++;
    $('drop').hidden = false;
  });
  window.addEventListener('dragleave', () => { if (--depth <= 0) { depth = 0; $('drop').hidden = true; } });
  window.addEventListener('dragover', (event) => event.preventDefault());
  window.addEventListener('drop', (event) => {
    event.preventDefault();
    depth = 0;
    $('drop').hidden = true;
    if (event.dataTransfer.files.length) upload(event.dataTransfer.files[0]);
  });

  loadFiles().then(() => {
    const [folder, ...rest] = decodeURIComponent(location.hash.slice(1)).split('/');
    const file = rest.join('/');
    if (file && state.files.some((entry) => entry.folder === folder && entry.file === file)) {
      openImage(folder, file);
    }
  });
}

document.addEventListener('DOMContentLoaded', start);
