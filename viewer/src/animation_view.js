// An animation file holds channels of keys, without node names or hierarchy, so
// this view shows exactly that: a table of every channel's key counts and time
// range, and for the chosen channel plots of its position, scaling and rotation
// keys over time with a cursor that reads off the values, and playback. The file
// stores no tick rate: the page takes it from the conversion report when one came
// with the file, else from the user (25 by default, kept per file name).
import { Euler, Quaternion } from 'three';
import { ModelView } from './model_view.js';
import { Pose, bracket, skeletonOf } from './skeleton.js';

const TABLE_ROWS = 2000; // a file may hold far more channels than a table can show
const LISTS = [
  { key: 'positions', title: 'Position' },
  { key: 'scalings', title: 'Scaling' },
  { key: 'rotations', title: 'Rotation' },
];

function element(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === 'text') node.textContent = value;
    else node.setAttribute(name, value);
  }
  node.append(...children);
  return node;
}

function fmt(value) {
  return Number.isFinite(value) ? Number(value.toPrecision(5)).toString() : String(value);
}

function channelRange(channel) {
  let first = Infinity;
  let last = -Infinity;
  for (const { key } of LISTS) {
    const { times } = channel[key];
    if (times.length) {
      first = Math.min(first, times[0]);
      last = Math.max(last, times[times.length - 1]);
    }
  }
  return first <= last ? [first, last] : null;
}

// The series a plot draws for one key list: 3 vector components, 4 quaternion
// components, or 3 Euler angles in degrees.
function series(list, keys, euler) {
  const n = keys.times.length;
  if (list !== 'rotations' || !euler) {
    const count = list === 'rotations' ? 4 : 3;
    return { names: ['x', 'y', 'z', 'w'].slice(0, count), stride: 4, values: keys.values };
  }
  const values = new Float32Array(n * 4);
  const q = new Quaternion();
  const e = new Euler();
  for (let k = 0; k < n; ++k) {
    const v = keys.values;
    e.setFromQuaternion(q.set(v[k * 4], v[k * 4 + 1], v[k * 4 + 2], v[k * 4 + 3]).normalize(), 'XYZ');
    values[k * 4] = (e.x * 180) / Math.PI;
    values[k * 4 + 1] = (e.y * 180) / Math.PI;
    values[k * 4 + 2] = (e.z * 180) / Math.PI;
  }
  return { names: ['x°', 'y°', 'z°'], stride: 4, values };
}

// Before the first key and after the last, a channel holds its end values.
function valueAt(keys, s, list, t, euler) {
  if (keys.times.length === 0) return null;
  const { k, next, f } = bracket(keys.times, t);
  if (list === 'rotations') {
    const v = keys.values;
    const a = new Quaternion(v[k * 4], v[k * 4 + 1], v[k * 4 + 2], v[k * 4 + 3]);
    const b = new Quaternion(v[next * 4], v[next * 4 + 1], v[next * 4 + 2], v[next * 4 + 3]);
    const q = a.slerp(b, f);
    if (!euler) return [q.x, q.y, q.z, q.w];
    const e = new Euler().setFromQuaternion(q.normalize(), 'XYZ');
    return [e.x, e.y, e.z].map((r) => (r * 180) / Math.PI);
  }
  return s.names.map((_, c) => s.values[k * 4 + c] * (1 - f) + s.values[next * 4 + c] * f);
}

export class AnimationView {
  // `models()` lists the open models ({name, asset, report}) the skeleton can be shown with.
  constructor(container, colors, models = () => [], background = () => '#23262e') {
    this.container = container;
    this.colors = colors; // () => {x, y, z, w, grid, text, cursor}
    this.models = models;
    this.background = background;
    this.euler = false;
  }

  show(asset, report = null, name = '') {
    this.pause();
    this.asset = asset;
    this.report = report;
    this.name = name;
    this.skeleton = skeletonOf(report);
    this.cached = null;
    this.animation = 0;
    this.channel = 0;
    this.render();
  }

  setEuler(euler) {
    this.euler = euler;
    if (this.asset) this.drawPlots();
  }

  // Moves the cursor to the previous (-1) or next (+1) key time of the channel.
  step(direction) {
    const channel = this.current();
    if (!channel) return;
    const times = [...new Set(LISTS.flatMap(({ key }) => Array.from(channel[key].times)))].sort((a, b) => a - b);
    const i = direction > 0 ? times.findIndex((t) => t > this.time + 1e-12)
      : times.findLastIndex((t) => t < this.time - 1e-12);
    if (i >= 0) this.setTime(times[i]);
  }

  // How the page names the channel shown, everywhere (both numbers count from 0, as
  // QXInspect counts): "Animation 0 / Channel 3 · Thigh.L".
  label(c = this.channel) {
    const name = this.nodeName(c);
    return `Animation ${this.animation} / Channel ${c}${name ? ` · ${name}` : ''}`;
  }

  // From the conversion report, when one came with the file.
  nodeName(c) {
    return this.report?.animations?.[this.animation]?.channels?.[c]?.node ?? '';
  }

  seconds(t) {
    return `${fmt(t / this.rate)} s`;
  }

  // Ticks per second: the report's, else what the user last gave for this file name.
  initialRate() {
    const reported = this.report?.animations?.[this.animation]?.ticksPerSecond;
    if (reported > 0) return reported;
    try {
      const kept = Number(localStorage.getItem(`qx-viewer-rate:${this.name}`));
      if (kept > 0) return kept;
    } catch {
      // Storage may be off for pages opened from disk.
    }
    return 25;
  }

  setRate(rate) {
    if (!(rate > 0)) return;
    this.rate = rate;
    try {
      localStorage.setItem(`qx-viewer-rate:${this.name}`, String(rate));
    } catch {
      // As above: the rate then lasts the visit.
    }
    this.list(this.channel, true);
    this.drawPlots();
  }

  togglePlay() {
    if (this.playing) this.pause();
    else this.play();
  }

  toggleLoop() {
    if (!this.loopBox) return;
    this.loopBox.checked = !this.loopBox.checked;
  }

  // The cursor runs in real time at the tick rate and the chosen speed.
  play() {
    const [start, end] = this.asset?.animations[this.animation]?.timeRange ?? [0, 0];
    if (!this.slider || !(end > start)) return;
    if (this.time >= end) this.setTime(start);
    this.playing = true;
    this.playButton.textContent = 'Pause';
    let last = performance.now();
    const tick = (now) => {
      if (!this.playing) return;
      let t = this.time + ((now - last) / 1000) * this.rate * Number(this.speedSelect.value);
      last = now;
      if (t > end) {
        if (this.loopBox.checked) t = start + ((t - start) % (end - start));
        else {
          t = end;
          this.pause();
        }
      }
      this.setTime(t);
      if (this.playing) this.frameRequest = requestAnimationFrame(tick);
    };
    this.frameRequest = requestAnimationFrame(tick);
  }

  pause() {
    this.playing = false;
    cancelAnimationFrame(this.frameRequest);
    if (this.playButton) this.playButton.textContent = 'Play';
  }

  current() {
    return this.asset?.animations[this.animation]?.channels[this.channel];
  }

  setTime(t) {
    this.time = t;
    this.slider.value = String(t);
    this.drawPlots();
    this.poseSkeleton();
  }

  // The skeleton's view: the report's nodes posed at the cursor, over a model when one
  // is open (one converted from the same source first).
  skeletonSection() {
    this.pose = null;
    if (this.skeleton === null) return [];
    if (typeof this.skeleton === 'string') return [element('p', { class: 'note', text: `No skeleton is shown: ${this.skeleton}.` })];
    const animation = this.asset.animations[this.animation];
    const named = this.report?.animations?.[this.animation]?.channels;
    this.pose = new Pose(this.skeleton, animation.channels, named);
    if (!this.skeletonView) {
      const canvas = element('canvas', { class: 'skeleton-canvas', 'aria-label': 'Skeleton' });
      const tip = element('div', { class: 'joint-name', hidden: '' });
      const wrap = element('div', { class: 'canvas-wrap skeleton-wrap' }, canvas, tip);
      try {
        this.skeletonView = {
          view: new ModelView(canvas), wrap, tip,
          modelSelect: element('select', { 'aria-label': 'Model shown with the skeleton' }),
          follow: element('input', { type: 'checkbox', checked: '' }),
        };
      } catch {
        return [element('p', { class: 'note', text: 'This browser cannot draw with WebGL, so the skeleton cannot be shown here.' })];
      }
      canvas.addEventListener('pointermove', (event) => this.hover(event));
      canvas.addEventListener('pointerleave', () => { tip.hidden = true; });
      this.skeletonView.modelSelect.addEventListener('change', () => this.placeSkeleton());
    }
    const { view, wrap, modelSelect } = this.skeletonView;
    view.setBackground(this.background());
    const models = this.models();
    const source = this.report?.input?.path;
    const same = models.find((m) => source && m.report?.input?.path === source);
    modelSelect.replaceChildren(new Option('no model', ''), ...models.map((m) => new Option(m.name, m.name)));
    modelSelect.value = (same ?? models[0])?.name ?? '';
    this.skeletonView.count = element('span', { class: 'note', text: `${this.skeleton.length} node${this.skeleton.length === 1 ? '' : 's'} from the report; ${this.pose.channels.filter(Boolean).length} moved by channels` });
    requestAnimationFrame(() => this.placeSkeleton());
    return [element('div', { class: 'skeleton' }, wrap, element('p', { class: 'skeleton-line' }, this.skeletonView.count, ' · shown with ', modelSelect, ' ',
      element('label', { title: 'The camera moves with the skeleton' }, this.skeletonView.follow, ' Follow')))];
  }

  // Shows the chosen model and the skeleton on a grid that spans the whole animation.
  placeSkeleton() {
    if (!this.pose) return;
    const { view, modelSelect } = this.skeletonView;
    const model = this.models().find((m) => m.name === modelSelect.value);
    const meshes = model?.asset.meshes ?? [];
    const [start, end] = this.asset.animations[this.animation].timeRange ?? [0, 0];
    const union = (boxes) => (boxes.length === 0 ? null : {
      min: [0, 1, 2].map((c) => Math.min(...boxes.map((b) => b.min[c]))),
      max: [0, 1, 2].map((c) => Math.max(...boxes.map((b) => b.max[c]))),
    });
    const models = meshes.map((m) => m.bounds).filter(Boolean);
    // The grid spans the whole animation; the camera frames the pose at the cursor
    // (and the model), and follows the skeleton when it walks off.
    view.resize();
    view.show(meshes, union([this.pose.bounds(start, end), ...models].filter(Boolean)));
    view.frame(union([this.pose.bounds(this.time, this.time, 0), ...models].filter(Boolean)));
    view.setSkeleton(this.skeleton.map((node) => node.parent));
    this.followed = null;
    this.poseSkeleton();
  }

  poseSkeleton() {
    if (!this.pose || !this.skeletonView) return;
    const positions = this.pose.at(this.time);
    const { view, follow } = this.skeletonView;
    // The first node a channel moves is the one followed (a BVH's hips).
    const lead = this.pose.channels.findIndex(Boolean);
    if (lead >= 0 && follow.checked) {
      const at = Array.from(positions.subarray(lead * 3, lead * 3 + 3));
      if (this.followed) view.follow(at[0] - this.followed[0], at[1] - this.followed[1], at[2] - this.followed[2]);
      this.followed = at;
    } else {
      this.followed = null;
    }
    view.poseSkeleton(positions);
  }

  hover(event) {
    const { view, tip, wrap } = this.skeletonView;
    const joint = view.jointAt(event.clientX, event.clientY);
    tip.hidden = joint < 0;
    if (joint < 0) return;
    const box = wrap.getBoundingClientRect();
    tip.textContent = this.skeleton[joint].name || `(node ${joint})`;
    tip.style.left = `${event.clientX - box.left + 12}px`;
    tip.style.top = `${event.clientY - box.top + 8}px`;
  }

  render() {
    const { animations } = this.asset;
    this.container.replaceChildren();
    if (animations.length === 0) {
      this.container.append(element('p', { class: 'note', text: 'This animation file holds no animations.' }));
      return;
    }
    const animationSelect = element('select', { 'aria-label': 'Animation' });
    animations.forEach((a, i) => animationSelect.append(element('option', { value: i, text: `Animation ${i} (${a.channelCount} channel${a.channelCount === 1 ? '' : 's'})` })));
    animationSelect.value = String(this.animation);
    animationSelect.addEventListener('change', () => {
      this.animation = Number(animationSelect.value);
      this.channel = 0;
      this.render();
    });
    this.pause();
    this.rate = this.initialRate();
    this.playButton = element('button', { type: 'button', title: 'Play or pause (Space)', text: 'Play' });
    this.playButton.addEventListener('click', () => this.togglePlay());
    this.loopBox = element('input', { type: 'checkbox', 'aria-label': 'Loop' });
    this.speedSelect = element('select', { 'aria-label': 'Speed' });
    for (const speed of [0.25, 0.5, 1, 2, 4]) this.speedSelect.append(element('option', { value: speed, text: `${speed}×` }));
    this.speedSelect.value = '1';
    const rateField = element('input', { type: 'number', min: 0.001, step: 'any', value: this.rate, class: 'rate', 'aria-label': 'Ticks per second' });
    rateField.addEventListener('change', () => this.setRate(Number(rateField.value)));
    const playback = element('span', { class: 'playback' }, this.playButton,
      element('label', {}, this.loopBox, ' Loop'), this.speedSelect,
      element('label', { title: 'The file stores no tick rate; a conversion report gives it' }, rateField, ' ticks/s'));

    const animation = animations[this.animation];
    const count = animation.channels.length;
    const channelSelect = element('select', { 'aria-label': 'Channel' });
    channelSelect.addEventListener('change', () => this.pick(Number(channelSelect.value)));
    this.channelSelect = channelSelect;
    // Any channel by its number, also past the ones listed.
    this.channelNumber = element('input', {
      type: 'number', min: 0, max: Math.max(0, count - 1), step: 1, 'aria-label': 'Channel number', class: 'channel-number' });
    this.channelNumber.addEventListener('change', () => {
      const c = Math.round(Number(this.channelNumber.value));
      if (c >= 0 && c < count) this.pick(c);
    });

    const [start, end] = animation.timeRange ?? [0, 0];
    this.time = start;
    this.slider = element('input', { type: 'range', min: start, max: end, step: 'any', value: start, 'aria-label': 'Time' });
    this.slider.addEventListener('input', () => this.setTime(Number(this.slider.value)));
    this.timeLabel = element('output', { class: 'time' });

    this.plots = LISTS.map(({ key, title }) => {
      const canvas = element('canvas', { class: 'plot' });
      canvas.addEventListener('pointerdown', (event) => this.seek(event, canvas));
      canvas.addEventListener('pointermove', (event) => event.buttons && this.seek(event, canvas));
      const legend = element('div', { class: 'legend' });
      const figure = element('figure', {}, element('figcaption', { text: title }), legend, canvas);
      return { key, canvas, legend, figure };
    });

    const table = element('table', { class: 'channels' });
    table.append(element('thead', {}, element('tr', {},
      ...['Channel', 'Node', 'Position keys', 'Scaling keys', 'Rotation keys', 'Time range'].map((h) => element('th', { text: h })))));
    this.tableBody = element('tbody');
    table.append(this.tableBody);
    this.listNote = element('p', { class: 'note' });
    this.listed = -1;

    this.container.append(
      element('div', { class: 'toolbar' }, animationSelect, channelSelect, this.channelNumber, this.slider, this.timeLabel),
      element('div', { class: 'toolbar' }, playback),
      ...this.skeletonSection(),
      this.heading = element('h2', { class: 'plots-heading' }),
      element('div', { class: 'plots' }, ...this.plots.map((p) => p.figure)),
      element('div', { class: 'table-wrap' }, table, this.listNote));
    this.pick(this.channel);
  }

  // The menu and the table list up to TABLE_ROWS channels: the block holding c.
  list(c, again = false) {
    const first = Math.floor(c / TABLE_ROWS) * TABLE_ROWS;
    if (first === this.listed && !again) return;
    this.listed = first;
    const { channels } = this.asset.animations[this.animation];
    const last = Math.min(channels.length, first + TABLE_ROWS);
    const options = [];
    this.rows = [];
    for (let i = first; i < last; ++i) {
      const name = this.nodeName(i);
      options.push(element('option', { value: i, text: name ? `Channel ${i} · ${name}` : `Channel ${i}` }));
      const channel = channels[i];
      const range = channelRange(channel);
      const row = element('tr', { tabindex: 0 },
        element('td', { text: i }),
        element('td', { text: name || '–' }),
        ...LISTS.map(({ key }) => element('td', { text: channel[key].times.length })),
        element('td', { text: range ? `${fmt(range[0])} – ${fmt(range[1])} (${this.seconds(range[0])} – ${this.seconds(range[1])})` : 'no keys' }));
      row.addEventListener('click', () => this.pick(i));
      this.rows.push(row);
    }
    this.channelSelect.replaceChildren(...options);
    this.tableBody.replaceChildren(...this.rows);
    this.listNote.textContent = channels.length > TABLE_ROWS
      ? `Channels ${first}–${last - 1} of ${channels.length} are listed; the number field reaches any channel.` : '';
  }

  pick(c) {
    this.channel = c;
    this.list(c);
    this.channelSelect.value = String(c);
    this.channelNumber.value = String(c);
    this.rows.forEach((row, i) => row.classList.toggle('selected', i === c - this.listed));
    this.drawPlots();
  }

  seek(event, canvas) {
    const box = canvas.getBoundingClientRect();
    const [start, end] = this.asset.animations[this.animation].timeRange ?? [0, 0];
    const f = Math.min(1, Math.max(0, (event.clientX - box.left - 8) / Math.max(1, box.width - 16)));
    this.setTime(start + f * (end - start));
  }

  drawPlots() {
    const channel = this.current();
    if (!channel) return;
    const [start, end] = this.asset.animations[this.animation].timeRange ?? [0, 0];
    this.timeLabel.value = `t = ${fmt(this.time)} (${this.seconds(this.time)})`;
    this.heading.textContent = this.label();
    const colors = this.colors();
    // The series change with the channel or the Euler switch, not with the cursor.
    const which = `${this.animation}/${this.channel}/${this.euler}`;
    if (this.cached?.which !== which) {
      this.cached = { which, series: LISTS.map(({ key }) => series(key, channel[key], this.euler)) };
    }
    this.plots.forEach((plot, p) => {
      const keys = channel[plot.key];
      const s = this.cached.series[p];
      const now = valueAt(keys, s, plot.key, this.time, this.euler);
      plot.legend.replaceChildren(...(keys.times.length === 0
        ? [element('span', { text: 'no keys' })]
        : s.names.map((name, c) => element('span', { style: `color:${colors[name[0]]}`, text: `${name} ${now ? fmt(now[c]) : '–'}` }))));
      this.drawPlot(plot.canvas, keys.times, s, start, end, colors);
    });
  }

  drawPlot(canvas, times, s, start, end, colors) {
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth;
    const height = canvas.clientHeight;
    canvas.width = Math.max(1, Math.round(width * ratio));
    canvas.height = Math.max(1, Math.round(height * ratio));
    const g = canvas.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    g.clearRect(0, 0, width, height);
    const pad = 8;
    // Keys that differ by float noise alone (a scale of 1 ± 1e-7) would fill the plot
    // with spikes: every plot spans at least a ten-thousandth of its values' size, and
    // one whose every component stays within that is labelled as constant.
    const span = (a, b) => Math.max(1e-4 * Math.max(Math.abs(a), Math.abs(b)), 1e-6);
    let lo = Infinity;
    let hi = -Infinity;
    let constant = times.length > 0;
    const first = s.names.map((_, c) => s.values[c]);
    s.names.forEach((_, c) => {
      let clo = Infinity;
      let chi = -Infinity;
      for (let k = 0; k < times.length; ++k) {
        const v = s.values[k * s.stride + c];
        if (Number.isFinite(v)) {
          clo = Math.min(clo, v);
          chi = Math.max(chi, v);
        }
      }
      if (clo <= chi) {
        lo = Math.min(lo, clo);
        hi = Math.max(hi, chi);
        if (chi - clo >= span(clo, chi)) constant = false;
      }
    });
    if (!(lo <= hi)) lo = hi = 0;
    if (hi - lo < span(lo, hi)) {
      const middle = (lo + hi) / 2;
      const half = span(lo, hi) / 2;
      [lo, hi] = [middle - half, middle + half];
    }
    const x = (t) => pad + ((t - start) / Math.max(1e-12, end - start)) * (width - 2 * pad);
    const y = (v) => height - pad - ((v - lo) / (hi - lo)) * (height - 2 * pad);
    g.strokeStyle = colors.grid;
    g.lineWidth = 1;
    g.beginPath();
    g.moveTo(pad, y(0));
    g.lineTo(width - pad, y(0));
    g.stroke();
    g.fillStyle = colors.text;
    g.font = '11px system-ui, sans-serif';
    if (constant) {
      const values = first.map(fmt);
      const said = new Set(values).size === 1 ? values[0] : s.names.map((name, c) => `${name} ${values[c]}`).join(', ');
      g.fillText(`constant: ${said}`, pad + 2, pad + 10);
    } else if (times.length > 0) {
      g.fillText(fmt(hi), pad + 2, pad + 10);
      g.fillText(fmt(lo), pad + 2, height - pad - 2);
    }
    canvas.dataset.constant = String(constant);
    s.names.forEach((name, c) => {
      g.strokeStyle = colors[name[0]];
      g.lineWidth = 1.5;
      g.beginPath();
      for (let k = 0; k < times.length; ++k) {
        const px = x(times[k]);
        const py = y(s.values[k * s.stride + c]);
        if (k === 0) g.moveTo(x(Math.min(start, times[0])), py);
        g.lineTo(px, py);
        g.arc(px, py, times.length < 64 ? 2 : 0, 0, 2 * Math.PI);
        g.moveTo(px, py);
      }
      if (times.length) g.lineTo(x(Math.max(end, times[times.length - 1])), y(s.values[(times.length - 1) * s.stride + c]));
      g.stroke();
    });
    g.strokeStyle = colors.cursor;
    g.lineWidth = 1;
    g.beginPath();
    g.moveTo(x(this.time), pad / 2);
    g.lineTo(x(this.time), height - pad / 2);
    g.stroke();
  }
}
