// The viewer page: files dropped or picked are decoded by the reader (WebAssembly)
// and shown by kind: models drawn, animations plotted, textures and audio shown or
// played. Everything happens in the page; no file leaves the machine.
import CRC32 from 'crc-32';
import { AnimationView } from './animation_view.js';
import { formatSize, showMedia } from './media_view.js';
import { DRAWABLE_LIMIT, ModelView } from './model_view.js';
import { decodeImage, openAsset } from './reader.js';

const $ = (id) => document.getElementById(id);
const MESH_ROWS = 2000;

const opened = []; // {name, size, file, asset, report}
let selected = -1;
let modelView = null;
let animationView = null;
const timings = {};

// ---- theme ----------------------------------------------------------------

function css(name) {
  return getComputedStyle(document.documentElement).getPropertyValue(name).trim();
}

function setTheme(theme) {
  document.documentElement.dataset.theme = theme;
  try {
    localStorage.setItem('qx-viewer-theme', theme);
  } catch {
    // Storage may be off for pages opened from disk; the choice then lasts the visit.
  }
  modelView?.setBackground(css('--canvas'));
  animationView?.drawPlots();
  animationView?.skeletonView?.view.setBackground(css('--canvas'));
}

function initialTheme() {
  try {
    const saved = localStorage.getItem('qx-viewer-theme');
    if (saved === 'dark' || saved === 'light') return saved;
  } catch {
    // As above.
  }
  return matchMedia('(prefers-color-scheme: light)').matches ? 'light' : 'dark';
}

// ---- opening files ----------------------------------------------------------

function setBusy(busy, message = '') {
  document.body.dataset.state = busy ? 'busy' : 'idle';
  $('status').textContent = message;
}

// A conversion report (QXConvert -report=) goes with the open asset it describes: the
// same size and CRC-32, which a report of another file does not have.
async function attachReport(file) {
  let report;
  try {
    report = JSON.parse(await file.text());
  } catch {
    return `${file.name}: not JSON`;
  }
  if (report?.schema !== 'qxconvert-report' || report.schemaVersion !== 1) return `${file.name}: not a QXConvert report`;
  const { size, crc32 } = report.output ?? {};
  for (const entry of opened) {
    if (entry.size !== size || !entry.file) continue;
    if ((CRC32.buf(new Uint8Array(await entry.file.arrayBuffer())) >>> 0) !== crc32) continue;
    entry.report = report;
    return '';
  }
  return `${file.name}: the report of none of the open files`;
}

// `missing` are files a link named that could not be fetched ({name, error}): each is
// listed where it would have been, with its error, and the rest open all the same.
async function openFiles(all, missing = []) {
  if (all.length === 0 && missing.length === 0) return;
  const reports = all.filter((f) => /\.json$/i.test(f.name));
  const files = all.filter((f) => !reports.includes(f));
  setBusy(true, `Reading ${all.length === 1 ? all[0].name : `${all.length} files`}…`);
  let first = -1;
  const problems = [];
  try {
    first = await readAll(files);
    for (const file of reports) problems.push(await attachReport(file));
    for (const { name, error } of missing) {
      const entry = { name, size: 0, file: null, asset: { info: { error } }, report: null, missing: true };
      const again = opened.findIndex((e) => e.name === name);
      if (again >= 0) opened[again] = entry;
      else opened.push(entry);
    }
  } finally {
    // Whatever failed, the page is left usable.
    renderList();
    select(first >= 0 ? first : missing.length ? opened.findIndex((e) => e.missing) : selected);
    const said = [...missing.map((m) => `${m.name}: ${m.error}`), ...problems].filter(Boolean).join('; ');
    const count = all.length + missing.length;
    setBusy(false, said || (count > 1 ? `Opened ${count} files.` : ''));
  }
}

async function readAll(files) {
  let first = -1;
  for (const file of files) {
    const started = performance.now();
    let asset;
    try {
      const bytes = new Uint8Array(await file.arrayBuffer());
      timings.read = performance.now() - started;
      asset = await openAsset(bytes, file.name);
    } catch (error) {
      // The reader bounds its work by the file's size; what remains is memory.
      const outOfMemory = error instanceof RangeError || /memory|OOM/i.test(String(error));
      asset = { info: { error: outOfMemory ? 'not enough memory to read this file in a browser' : String(error) } };
    }
    timings.decode = performance.now() - started;
    // The same file dropped again replaces the one open, in its place.
    const entry = { name: file.name, size: file.size, file, asset, report: null, url: file.url };
    const again = opened.findIndex((e) => e.name === file.name);
    if (again >= 0) opened[again] = entry;
    else opened.push(entry);
    if (first < 0) first = again >= 0 ? again : opened.length - 1;
  }
  return first;
}

// The files dropped, with every file inside a dropped folder (and its folders), so a
// model's textures and reports beside it come along.
async function droppedFiles(transfer) {
  const entries = [...(transfer?.items ?? [])].map((item) => item.webkitGetAsEntry?.()).filter(Boolean);
  if (!entries.some((entry) => entry.isDirectory)) return [...(transfer?.files ?? [])];
  const files = [];
  const walk = async (entry) => {
    if (entry.isFile) {
      files.push(await new Promise((resolve, reject) => entry.file(resolve, reject)));
      return;
    }
    const reader = entry.createReader();
    for (;;) {
      const batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
      if (batch.length === 0) break;
      for (const child of batch) await walk(child);
    }
  };
  for (const entry of entries) await walk(entry);
  return files;
}

function renderList() {
  const list = $('opened');
  list.replaceChildren();
  opened.forEach((entry, i) => {
    const item = document.createElement('li');
    const button = document.createElement('button');
    const { info } = entry.asset;
    button.innerHTML = '<span class="name"></span><span class="kind"></span>';
    button.querySelector('.name').textContent = entry.name;
    button.querySelector('.kind').textContent = entry.missing ? info.error : info.error ? 'cannot be read' : `${info.type} · ${formatSize(entry.size, false)}`;
    button.classList.toggle('bad', Boolean(info.error));
    button.classList.toggle('selected', i === selected);
    button.addEventListener('click', () => select(i));
    const close = document.createElement('button');
    close.className = 'close';
    close.textContent = '×';
    close.title = `Close ${entry.name}`;
    close.setAttribute('aria-label', `Close ${entry.name}`);
    close.addEventListener('click', () => closeFile(i));
    item.append(button, close);
    list.append(item);
  });
  document.body.classList.toggle('has-files', opened.length > 0);
}

function closeFile(i) {
  if (i >= 0 && i < opened.length) opened.splice(i, 1);
  if (opened.length === 0) {
    selected = -1;
    renderList();
    $('title').textContent = '';
    showOnly('empty');
    return;
  }
  selected = Math.min(i, opened.length - 1);
  renderList();
  select(selected);
}

function closeAll() {
  opened.length = 0;
  closeFile(-1);
}

// Served over HTTP, the page opens the files its address names (#file=NAME, relative
// to the page), so a build can link to a preview of what it made; again whenever the
// address's files change. A file that cannot be fetched is listed with its error and
// the others open all the same.
async function openFromAddress() {
  const names = new URLSearchParams(location.hash.slice(1)).getAll('file');
  $('link-note').hidden = true;
  if (names.length === 0) return;
  if (!location.protocol.startsWith('http')) {
    // Browsers let a page from disk read no other file, so the link cannot work here.
    $('link-note').textContent = `This address names ${names.length === 1 ? 'a file' : `${names.length} files`} `
      + `(${names.join(', ')}), but a page opened from disk (${location.protocol}//) may not read other files: `
      + 'serve the folder over HTTP (for example python3 -m http.server) and open the page from there, or drop the files here.';
    $('link-note').hidden = false;
    showOnly('empty');
    setBusy(false, 'Files named in the address are opened only when the page is served over HTTP.');
    return;
  }
  const files = [];
  const missing = [];
  setBusy(true, `Fetching ${names.length === 1 ? names[0] : `${names.length} files`}…`);
  await Promise.all(names.map(async (name, i) => {
    try {
      const url = new URL(name, location.href);
      files[i] = await fetchFile(url, fileName(url));
    } catch (error) {
      missing[i] = { name: name.split('/').pop() || name, error: `cannot be fetched from ${name}: ${error.message}` };
    }
  }));
  await openFiles(files.filter(Boolean), missing.filter(Boolean));
  await fetchTextures();
}

function fileName(url) {
  const last = url.pathname.split('/').pop();
  try {
    return decodeURIComponent(last);
  } catch {
    return last; // not percent-encoded UTF-8: the name as written
  }
}

async function fetchFile(url, name) {
  const response = await fetch(url);
  if (!response.ok) throw new Error(`${response.status} ${response.statusText}`.trim());
  const file = new File([await response.blob()], name);
  file.url = url.href;
  return file;
}

// The texture files a model's report names that are not open yet, fetched from beside
// the model where a build puts them: the source's folder kept and the extension .img
// (textures/grass.tga -> textures/grass.img), or directly beside it.
async function fetchTextures() {
  const wanted = new Map();
  for (const entry of opened) {
    if (!entry.url || entry.asset.info.type !== 'model' || !entry.report) continue;
    for (const mesh of entry.report.meshes ?? []) {
      for (const spelled of mesh.textures ?? []) {
        if (findTexture(spelled)) continue;
        const path = spelled.replaceAll('\\', '/');
        const relative = !/^([a-z]:)?\//i.test(path);
        const candidates = [relative && `${stem(path)}.img`, `${stem(baseName(path))}.img`].filter(Boolean);
        for (const candidate of new Set(candidates)) {
          // Each part of the name as it is, '#', '?' and '%' included.
          const url = new URL(candidate.split('/').map((part) => (part === '..' || part === '.' ? part : encodeURIComponent(part))).join('/'), entry.url);
          if (!wanted.has(url.href)) wanted.set(url.href, url);
        }
      }
    }
  }
  if (wanted.size === 0) return;
  const found = (await Promise.all([...wanted.values()].map((url) =>
    fetchFile(url, fileName(url)).catch(() => null)))).filter(Boolean);
  if (found.length === 0) return;
  const shown = selected;
  await readAll(found);
  renderList();
  select(shown);
}

// The view as a PNG: the model as drawn, or the animation's plots one under another.
function screenshot() {
  const entry = opened[selected];
  if (!entry) return;
  let url;
  if (document.body.dataset.view === 'model' && modelView) {
    url = modelView.snapshot();
  } else if (document.body.dataset.view === 'animation') {
    const plots = [...document.querySelectorAll('#animation canvas.plot')];
    if (plots.length === 0) return;
    // Under the channel's name as the page gives it.
    const ratio = window.devicePixelRatio || 1;
    const sheet = document.createElement('canvas');
    sheet.width = Math.max(...plots.map((c) => c.width));
    sheet.height = plots.reduce((h, c) => h + c.height, 0) + Math.round(24 * ratio);
    const g = sheet.getContext('2d');
    g.fillStyle = css('--bg');
    g.fillRect(0, 0, sheet.width, sheet.height);
    g.fillStyle = css('--text');
    g.font = `${Math.round(13 * ratio)}px system-ui, sans-serif`;
    g.fillText(`${entry.name} · ${animationView.label()}`, 8 * ratio, 17 * ratio);
    let y = Math.round(24 * ratio);
    for (const c of plots) {
      g.drawImage(c, 0, y);
      y += c.height;
    }
    url = sheet.toDataURL('image/png');
  } else {
    return;
  }
  const link = document.createElement('a');
  link.href = url;
  link.download = `${entry.name}.png`;
  link.click();
}

// ---- showing one file -------------------------------------------------------

function showOnly(id) {
  for (const view of ['empty', 'error', 'model', 'animation', 'media']) $(view).hidden = view !== id;
  document.body.dataset.view = id;
}

function select(i) {
  if (i < 0 || i >= opened.length) return;
  selected = i;
  renderList();
  const { name, asset } = opened[i];
  const { info } = asset;
  $('title').textContent = info.error ? name : `${name} — ${describeHeader(info)}`;
  $('title').title = $('title').textContent; // the whole line where it is cut short
  if (info.error) {
    $('error').textContent = `${name}: ${info.error}`;
    showOnly('error');
    return;
  }
  delete timings.upload; // measured for models only
  try {
    if (info.type === 'model') showModel(asset);
    else if (info.type === 'animation') showAnimation(asset);
    else {
      showOnly('media');
      showMedia($('media'), asset, decodeImage);
    }
  } catch (error) {
    $('error').textContent = `${name}: the view failed: ${error?.message ?? error}`;
    showOnly('error');
  }
}

function describeHeader(info) {
  return `${info.type}, ${info.tag} version ${info.version}, ${info.scrambled ? 'scrambled' : 'not scrambled'}, payload ${formatSize(info.payloadSize, false)}`;
}

function combinedBounds(meshes) {
  const min = [Infinity, Infinity, Infinity];
  const max = [-Infinity, -Infinity, -Infinity];
  for (const mesh of meshes) {
    if (!mesh.bounds) continue;
    for (let c = 0; c < 3; ++c) {
      min[c] = Math.min(min[c], mesh.bounds.min[c]);
      max[c] = Math.max(max[c], mesh.bounds.max[c]);
    }
  }
  return min[0] <= max[0] ? { min, max } : null;
}

const PRIMITIVES = { 3: 'triangles', 2: 'lines', 1: 'points', 0: 'points (no faces)' };

function showModel(asset) {
  showOnly('model');
  if (!modelView) {
    try {
      modelView = new ModelView($('canvas'));
    } catch {
      $('error').textContent = 'This browser cannot draw with WebGL, so models cannot be shown here. QXInspect --render draws them without a GPU.';
      showOnly('error');
      return;
    }
    modelView.setBackground(css('--canvas'));
    for (const option of ['wireframe', 'normals', 'checker', 'grid']) modelView.options[option] = $(option).checked;
    modelView.set('zUp', $('zUp').checked);
  }
  const started = performance.now();
  const bounds = combinedBounds(asset.meshes);
  modelView.resize();
  modelView.show(asset.meshes, bounds);
  timings.upload = performance.now() - started;
  const anyNormals = asset.meshes.some((m) => m.normals);
  const anyUvs = asset.meshes.some((m) => m.uvs);
  $('normals').disabled = !anyNormals;
  $('checker').disabled = !anyUvs;

  const chosen = chosenTextures(opened[selected]);
  const rows = asset.meshes.slice(0, MESH_ROWS).map((mesh, m) => {
    const row = document.createElement('tr');
    const attributes = [mesh.hasNormals && 'normals', mesh.hasTextureCoords && 'UVs'].filter(Boolean).join(', ') || 'positions only';
    const primitive = PRIMITIVES[mesh.indicesPerFace] ?? `${mesh.indicesPerFace} per face`;
    const cells = [m, mesh.name || '(unnamed)', mesh.vertexCount.toLocaleString('en'), mesh.faceCount.toLocaleString('en'),
      mesh.indexCount.toLocaleString('en'), mesh.ambiguous ? `${primitive} (could also be ${mesh.possibleFaceSizes.slice(1).map((n) => PRIMITIVES[n]).join(' or ')})` : primitive,
      mesh.materialIndex, attributes, sizeOf(mesh.bounds)];
    const textureCell = document.createElement('td');
    if (mesh.hasTextureCoords) textureCell.append(textureChoice(mesh.materialIndex, chosen));
    const show = document.createElement('input');
    show.type = 'checkbox';
    show.checked = true;
    show.setAttribute('aria-label', `Show mesh ${m}`);
    show.addEventListener('change', () => modelView.setVisible(m, show.checked));
    const first = document.createElement('td');
    first.append(show);
    row.append(first);
    for (const text of cells) {
      const cell = document.createElement('td');
      cell.textContent = text;
      row.append(cell);
    }
    row.append(textureCell);
    return row;
  });
  $('mesh-rows').replaceChildren(...rows);
  for (const [index, name] of Object.entries(chosen)) applyTexture(Number(index), name);
  modelView.onFrame = (ms) => {
    $('frame-time').textContent = `· last frame ${ms.toFixed(1)} ms`;
  };
  const triangles = asset.meshes.reduce((n, m) => n + (m.indicesPerFace === 3 ? m.faceCount : 0), 0);
  $('mesh-summary').textContent = asset.meshes.length === 0 ? 'This model holds no meshes.'
    : `${asset.meshes.length} mesh${asset.meshes.length === 1 ? '' : 'es'}, ${triangles.toLocaleString('en')} triangles`
      + (asset.meshes.length > MESH_ROWS ? ` (the first ${MESH_ROWS} are listed)` : '')
      + (bounds ? `; size ${sizeOf(bounds)} units` : '')
      + (modelView.gridSpacing ? `; grid lines ${modelView.gridSpacing} apart` : '')
      + drawFigures(asset.info.figures)
      + undrawable(asset.meshes, bounds);
}

// The triangle meshes' vertex-cache and overdraw figures, as QXInspect gives them (what
// -optimize bought shows here); overdraw is absent when the file was too costly to measure.
function drawFigures(figures) {
  if (!figures) return '';
  return `; vertex cache of 16: ACMR ${figures.acmr.toFixed(3)}, ATVR ${figures.atvr.toFixed(3)}`
    + `; overdraw ${figures.overdraw === undefined ? 'not measured (too costly)' : figures.overdraw.toFixed(3)}`;
}

const baseName = (path) => path.replaceAll('\\', '/').split('/').pop();
const stem = (name) => name.replace(/\.[^./]*$/, '');

// The open texture asset a report's texture file became: converted as NAME.img (or
// the name kept, or .img appended), compared without case as sources spell freely.
function findTexture(spelled) {
  const wanted = baseName(spelled).toLowerCase();
  return opened.find((e) => {
    if (e.asset.info.type !== 'texture') return false;
    const name = e.name.toLowerCase();
    return name === wanted || stem(name) === wanted || stem(name) === stem(wanted);
  });
}

// A model's textures by material index: what the user chose for this file name
// (kept across visits like tick rates), else the first of the material's texture
// files its report names that is open.
function textureStore(name) {
  return `qx-viewer-textures:${name}`;
}

function chosenTextures(entry) {
  let kept = {};
  try {
    kept = JSON.parse(localStorage.getItem(textureStore(entry.name)) ?? '{}') ?? {};
  } catch {
    // Storage may be off for pages opened from disk; choices then last the visit.
  }
  const chosen = {};
  entry.asset.meshes.forEach((mesh, m) => {
    if (!mesh.hasTextureCoords || mesh.materialIndex in chosen) return;
    const manual = entry.textures?.[mesh.materialIndex] ?? kept[mesh.materialIndex];
    const open = (name) => opened.some((e) => e.name === name && e.asset.info.type === 'texture');
    if (manual !== undefined && (manual === '' || open(manual))) {
      chosen[mesh.materialIndex] = manual;
      return;
    }
    const named = (entry.report?.meshes?.[m]?.textures ?? []).map(findTexture).find(Boolean);
    if (named) chosen[mesh.materialIndex] = named.name;
  });
  return chosen;
}

// A texture among the open files for a material index: the model draws its meshes of
// that material with it (they need texture coordinates).
function textureChoice(materialIndex, chosen) {
  const choice = document.createElement('select');
  choice.className = 'texture';
  choice.setAttribute('aria-label', `Texture of material ${materialIndex}`);
  choice.append(new Option('none', ''));
  for (const entry of opened) {
    if (entry.asset.info.type === 'texture') choice.append(new Option(entry.name, entry.name));
  }
  const model = opened[selected];
  choice.value = chosen[materialIndex] ?? '';
  choice.addEventListener('change', () => {
    model.textures = { ...model.textures, [materialIndex]: choice.value };
    try {
      const kept = JSON.parse(localStorage.getItem(textureStore(model.name)) ?? '{}') ?? {};
      localStorage.setItem(textureStore(model.name), JSON.stringify({ ...kept, [materialIndex]: choice.value }));
    } catch {
      // As above.
    }
    for (const other of document.querySelectorAll('select.texture')) {
      if (other !== choice && other.getAttribute('aria-label') === choice.getAttribute('aria-label')) other.value = choice.value;
    }
    applyTexture(materialIndex, choice.value);
  });
  return choice;
}

function applyTexture(materialIndex, name) {
  const texture = opened.find((e) => e.name === name && e.asset.info.type === 'texture');
  const pixels = texture ? decodeImage(texture.asset.data) : null;
  if (pixels?.error) setBusy(false, `${name}: ${pixels.error}`);
  modelView.setTexture(materialIndex, pixels && !pixels.error ? pixels : null);
}

function sizeOf(bounds) {
  if (!bounds) return '–';
  const size = (c) => Number((bounds.max[c] - bounds.min[c]).toPrecision(4)).toString();
  return `${size(0)} × ${size(1)} × ${size(2)}`;
}

// Why an empty view is empty, when the positions are to blame.
function undrawable(meshes, bounds) {
  if (meshes.every((m) => m.vertexCount === 0)) return '';
  if (!bounds) return '. Nothing is drawn: no position is a finite number.';
  const largest = Math.max(...bounds.min.map(Math.abs), ...bounds.max.map(Math.abs));
  return largest > DRAWABLE_LIMIT ? `. Nothing is drawn: positions reach ${largest.toPrecision(2)}, too large to draw.` : '';
}

function showAnimation(asset) {
  showOnly('animation');
  animationView ??= new AnimationView($('animation'), () => ({
    x: css('--x'), y: css('--y'), z: css('--z'), w: css('--w'), grid: css('--grid'), text: css('--muted'), cursor: css('--cursor'),
  }), () => opened.filter((e) => e.asset.info.type === 'model'), () => css('--canvas'));
  animationView.setEuler($('euler').checked);
  animationView.show(asset, opened[selected]?.report, opened[selected]?.name);
}

// ---- controls ---------------------------------------------------------------

function toggle(id) {
  const box = $(id);
  if (box.disabled) return;
  box.checked = !box.checked;
  box.dispatchEvent(new Event('change'));
}

function wireControls() {
  $('open').addEventListener('click', () => $('files').click());
  $('empty-open').addEventListener('click', () => $('files').click());
  $('files').addEventListener('change', () => {
    openFiles([...$('files').files]);
    $('files').value = '';
  });
  for (const option of ['wireframe', 'normals', 'checker', 'grid', 'zUp']) {
    $(option).addEventListener('change', () => {
      modelView?.set(option, $(option).checked);
      if (option === 'zUp' && document.body.dataset.view === 'model') select(selected); // grid spacing
    });
  }
  $('shot').addEventListener('click', screenshot);
  $('clear').addEventListener('click', closeAll);
  $('frame').addEventListener('click', () => modelView?.frame());
  $('euler').addEventListener('change', () => animationView?.setEuler($('euler').checked));
  $('theme').addEventListener('click', () => setTheme(document.documentElement.dataset.theme === 'dark' ? 'light' : 'dark'));
  $('help-button').addEventListener('click', () => $('help').showModal());

  let depth = 0;
  const overlay = $('drop-overlay');
  window.addEventListener('dragenter', (event) => {
    event.preventDefault();
    if (++depth === 1) overlay.hidden = false;
  });
  window.addEventListener('dragleave', () => {
    if (--depth === 0) overlay.hidden = true;
  });
  window.addEventListener('dragover', (event) => event.preventDefault());
  window.addEventListener('drop', (event) => {
    event.preventDefault();
    depth = 0;
    overlay.hidden = true;
    droppedFiles(event.dataTransfer).then(openFiles);
  });

  window.addEventListener('keydown', (event) => {
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    // Typing goes to text fields; the slider, drop-downs and boxes keep the shortcuts
    // (left and right then step keys rather than nudging the slider).
    const target = event.target;
    if (target instanceof HTMLInputElement && !['checkbox', 'range'].includes(target.type)) return;
    if (target instanceof HTMLTextAreaElement) return;
    const view = document.body.dataset.view;
    const actions = {
      o: () => $('files').click(),
      w: () => view === 'model' && toggle('wireframe'),
      n: () => view === 'model' && toggle('normals'),
      u: () => view === 'model' && toggle('checker'),
      g: () => view === 'model' && toggle('grid'),
      z: () => view === 'model' && toggle('zUp'),
      p: screenshot,
      ' ': () => view === 'animation' && animationView?.togglePlay(),
      l: () => view === 'animation' && animationView?.toggleLoop(),
      Delete: () => closeFile(selected),
      f: () => view === 'model' && modelView?.frame(),
      e: () => view === 'animation' && toggle('euler'),
      t: () => $('theme').click(),
      '?': () => $('help').showModal(),
      ArrowLeft: () => view === 'animation' && animationView?.step(-1),
      ArrowRight: () => view === 'animation' && animationView?.step(1),
      ArrowUp: () => select(selected - 1),
      ArrowDown: () => select(selected + 1),
    };
    const action = actions[event.key.length === 1 ? event.key.toLowerCase() : event.key];
    if (action) {
      event.preventDefault();
      action();
    }
  });
}

// For automated checks and for anyone curious: how much of the view the model
// covers, and how long the last file took.
window.qxViewer = {
  drawnPixels: () => modelView?.drawnPixels() ?? { drawn: 0, total: 0 },
  frameTime: (frames = 5) => modelView?.timeFrames(frames),
  snapshot: () => modelView?.snapshot(),
  // The skeleton as drawn: each joint's parent and position.
  skeleton: () => {
    const drawn = animationView?.skeletonView?.view.skeleton;
    return drawn ? { parents: drawn.parents, positions: Array.from(drawn.joints.geometry.attributes.position.array) } : null;
  },
  timings,
};

document.documentElement.dataset.theme = initialTheme();
wireControls();
showOnly('empty');
setBusy(false);
openFromAddress();
window.addEventListener('hashchange', openFromAddress);
