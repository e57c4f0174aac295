// The viewer page in headless Chromium (software WebGL), served from 127.0.0.1 as a
// user's static server would, and opened from disk: a model is drawn and covers a
// fair share of the view, the wireframe toggle changes what is drawn, scrambled and
// plain files look the same, points without faces are drawn, an animation is
// plotted, a texture and a sound are shown, a damaged file shows the reader's own
// error text, and a million-triangle model loads. Screenshots of the model,
// animation and large-model views are left in QX_SCREENSHOTS.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const require = createRequire(import.meta.url);
const { convert, tempDir } = require('./test_assets.js');
const { chromium } = createRequire(join(process.env.QX_NODE_MODULES, 'playwright-core', 'package.json'))('playwright-core');

const samples = process.env.QX_SAMPLES;
const shots = process.env.QX_SCREENSHOTS;
const work = tempDir('qx-page-');
mkdirSync(shots, { recursive: true });

// A height field of about a million triangles, as binary PLY.
function bigModel(file, cells = 708) {
  const side = cells + 1;
  const header = `ply\nformat binary_little_endian 1.0\nelement vertex ${side * side}\nproperty float x\nproperty float y\nproperty float z\n`
    + `element face ${cells * cells * 2}\nproperty list uchar int vertex_indices\nend_header\n`;
  const vertices = Buffer.alloc(side * side * 12);
  for (let j = 0; j < side; ++j) {
    for (let i = 0; i < side; ++i) {
      const at = (j * side + i) * 12;
      vertices.writeFloatLE(i / cells - 0.5, at);
      vertices.writeFloatLE(j / cells - 0.5, at + 4);
      vertices.writeFloatLE(0.08 * Math.sin(i / 20) * Math.cos(j / 17), at + 8);
    }
  }
  const faces = Buffer.alloc(cells * cells * 2 * 13);
  let at = 0;
  for (let j = 0; j < cells; ++j) {
    for (let i = 0; i < cells; ++i) {
      const v = j * side + i;
      for (const triangle of [[v, v + 1, v + side + 1], [v, v + side + 1, v + side]]) {
        faces.writeUInt8(3, at);
        triangle.forEach((index, k) => faces.writeInt32LE(index, at + 1 + k * 4));
        at += 13;
      }
    }
  }
  writeFileSync(file, Buffer.concat([Buffer.from(header), vertices, faces]));
  return file;
}

// A spiral of points with no faces at all.
function pointCloud(file, count = 2000) {
  const points = Array.from({ length: count }, (_, i) => {
    const r = 1 + i / count;
    return `${Math.cos(i * 0.05) * r} ${Math.sin(i * 0.05) * r} ${i / count}`;
  });
  writeFileSync(file, `ply\nformat ascii 1.0\nelement vertex ${count}\nproperty float x\nproperty float y\nproperty float z\nend_header\n${points.join('\n')}\n`);
  return file;
}

const files = {
  points: convert('mdl', pointCloud(join(work, 'spiral.ply')), join(work, 'spiral.mdl')),
  crate: convert('mdl', join(samples, 'crate.obj'), join(work, 'crate.mdl'), true, [`-report=${join(work, 'crate.mdl.json')}`]),
  plainCrate: convert('mdl', join(samples, 'crate.obj'), join(work, 'plain-crate.mdl'), false),
  walk: convert('anm', join(samples, 'walk.bvh'), join(work, 'walk.anm'), true, [`-report=${join(work, 'walk.anm.json')}`]),
  dance: convert('anm', join(process.env.QX_MODELS || '/usr/share/assimp/models', 'BVH/01_03.bvh'), join(work, '01_03.anm'), true,
    [`-report=${join(work, '01_03.anm.json')}`]),
  grass: convert('tex', join(samples, 'grass.tga'), join(work, 'grass.img')),
  blip: convert('snd', join(samples, 'blip.wav'), join(work, 'blip.snd')),
  theme: convert('mus', join(samples, 'theme.mod'), join(work, 'theme.mus')),
  big: convert('mdl', bigModel(join(work, 'grid.ply')), join(work, 'grid.mdl')),
  cut: join(work, 'cut-crate.mdl'),
  // 18 header bytes of a TGA claiming 23170 x 23170 pixels.
  bomb: (writeFileSync(join(work, 'bomb.tga'), Buffer.from([0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x82, 0x5a, 0x82, 0x5a, 24, 0])),
    convert('tex', join(work, 'bomb.tga'), join(work, 'bomb.img'))),
};
writeFileSync(files.cut, readFileSync(files.crate).subarray(0, 120));

// An animation of `count` channels, each one rotation key, written directly.
function channelsFile(file, count) {
  const channel = Buffer.alloc(6 + 24);
  channel.writeUInt16LE(1, 4);
  channel.writeFloatLE(1, 6 + 8 + 12); // w of the rotation
  writeFileSync(file, Buffer.concat([Buffer.from([0x51, 0x41, 0x4e, 0x4d, 1, 0, 0, 1, 0, count & 0xff, count >> 8]),
    ...Array(count).fill(channel)]));
  return file;
}
// One channel whose scaling keys differ from 1 by float noise alone: no position
// keys, `count` scaling keys (time, x, y, z), no rotation keys.
function noiseFile(file, count = 40) {
  const channel = Buffer.alloc(6 + count * 20);
  channel.writeUInt16LE(count, 2);
  for (let k = 0; k < count; ++k) {
    channel.writeDoubleLE(k, 4 + k * 20);
    for (let c = 0; c < 3; ++c) channel.writeFloatLE(1 + (k % 2 ? 1e-7 : -1e-7), 4 + k * 20 + 8 + c * 4);
  }
  writeFileSync(file, Buffer.concat([Buffer.from([0x51, 0x41, 0x4e, 0x4d, 1, 0, 0, 1, 0, 1, 0]), channel]));
  return file;
}
// Two groups, normals only in the second; and a triangle at the edge of float's range.
writeFileSync(join(work, 'groups.obj'), 'v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\nv 1 0 1\nv 0 1 1\nvn 0 0 1\n'
  + 'g a\nf 1 2 3\ng b\nf 4//1 5//1 6//1\n');
writeFileSync(join(work, 'huge.ply'), 'ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n'
  + 'property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n'
  + '3.4e38 3.4e38 0\n-3.4e38 3.4e38 0\n0 -3.4e38 3.4e38\n3 0 1 2\n');
Object.assign(files, {
  groups: convert('mdl', join(work, 'groups.obj'), join(work, 'groups.mdl')),
  huge: convert('mdl', join(work, 'huge.ply'), join(work, 'huge.mdl')),
  many: channelsFile(join(work, 'many.anm'), 2500),
  one: channelsFile(join(work, 'one.anm'), 1),
  noise: noiseFile(join(work, 'noise.anm')),
});
const inspected = spawnSync(process.env.QX_INSPECT, [files.cut], { encoding: 'utf8' });
assert.notEqual(inspected.status, 0, 'QXInspect accepted the cut file');
const cutError = inspected.stderr.trim().replace(/^QXInspect: /, '');

const page = readFileSync(process.env.QX_PAGE);
// The page, and the converted files under /assets/ for addresses like #file=assets/x.
const server = createServer((request, response) => {
  const asset = /^\/assets\/([\w.-]+)$/.exec(request.url);
  if (asset && existsSync(join(work, asset[1]))) {
    response.writeHead(200, { 'Content-Type': 'application/octet-stream' }).end(readFileSync(join(work, asset[1])));
    return;
  }
  if (request.url !== '/' && request.url !== '/index.html') {
    response.writeHead(404).end();
    return;
  }
  response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' }).end(page);
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));

const browser = await chromium.launch({
  executablePath: process.env.QX_CHROMIUM || '/usr/bin/chromium',
  args: ['--headless', '--no-sandbox', '--enable-unsafe-swiftshader', '--use-angle=swiftshader', '--disable-gpu',
    '--disable-background-networking', '--disable-component-update', '--disable-sync', '--no-first-run'],
});
const problems = [];
try {
  const tab = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  tab.on('pageerror', (error) => problems.push(`page error: ${error.message}`));
  tab.on('console', (message) => message.type() === 'error' && problems.push(`console: ${message.text()}`));
  tab.on('request', (request) => !request.url().startsWith(`http://127.0.0.1:${server.address().port}/`)
    && !/^(blob|data|file):/.test(request.url()) && problems.push(`request: ${request.url()}`));
  await tab.goto(`http://127.0.0.1:${server.address().port}/`);
  assert.match(await tab.textContent('#empty'), /Drop QXConvert asset files here/);

  const open = async (...paths) => {
    await tab.setInputFiles('#files', paths);
    await tab.waitForSelector('body[data-state="idle"]');
    await tab.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
  };
  const drawn = () => tab.evaluate(() => window.qxViewer.drawnPixels());

  await open(files.crate);
  const solid = await drawn();
  console.log(`crate: ${solid.drawn} of ${solid.total} pixels drawn`);
  assert.ok(solid.drawn > solid.total * 0.05, `the crate covers only ${solid.drawn} of ${solid.total} pixels`);
  assert.match(await tab.textContent('#mesh-rows'), /Crate.*24.*12.*36.*triangles.*normals, UVs/);
  await tab.keyboard.press('w');
  const wire = await drawn();
  console.log(`crate as wireframe: ${wire.drawn} pixels drawn`);
  assert.ok(wire.drawn > 0 && wire.drawn < solid.drawn * 0.8, `wireframe drew ${wire.drawn} against ${solid.drawn}`);
  await tab.keyboard.press('w');
  await tab.keyboard.press('u');
  await tab.screenshot({ path: join(shots, 'model.png') });
  await tab.keyboard.press('u');

  await open(files.plainCrate);
  assert.deepEqual(await drawn(), solid, 'the plain crate is drawn differently from the scrambled one');

  await open(files.points);
  assert.match(await tab.textContent('#mesh-rows'), /2,000.*points \(no faces\)/);
  const points = await drawn();
  console.log(`point cloud: ${points.drawn} pixels drawn`);
  assert.ok(points.drawn > 2000, 'the points were not drawn');

  await open(files.cut);
  assert.equal(await tab.textContent('#error'), `cut-crate.mdl: ${cutError.replace(`${files.cut}: `, '')}`);
  console.log(`cut file: ${await tab.textContent('#error')}`);

  // Dropped on the page rather than picked, with its conversion report: channels get
  // their node names and times their seconds (walk.bvh has 4 frames a second).
  const transfer = await tab.evaluateHandle(([bytes, report]) => {
    const data = new DataTransfer();
    data.items.add(new File([new Uint8Array(bytes)], 'walk.anm'));
    data.items.add(new File([report], 'walk.anm.json'));
    return data;
  }, [[...readFileSync(files.walk)], readFileSync(`${files.walk}.json`, 'utf8')]);
  await tab.dispatchEvent('#view', 'drop', { dataTransfer: transfer });
  await tab.waitForSelector('body[data-view="animation"][data-state="idle"]');
  assert.equal(await tab.locator('.channels tbody tr').count(), 5);
  assert.equal(await tab.locator('.channels tbody tr').nth(0).locator('td').nth(1).textContent(), 'Hips');
  await tab.locator('.channels tbody tr').nth(1).click();
  await tab.keyboard.press('ArrowRight');
  assert.equal(await tab.textContent('.time'), 't = 1 (0.25 s)');
  await tab.screenshot({ path: join(shots, 'animation.png') });
  await tab.keyboard.press('e');
  assert.match(await tab.locator('.legend').nth(2).textContent(), /x°/);

  // The skeleton its report gives, posed at two times: the joints move, the bones
  // keep their lengths.
  await open(files.dance, `${files.dance}.json`);
  await tab.waitForFunction(() => window.qxViewer.skeleton()?.positions.some((v) => v !== 0));
  const poseAt = async (t, shot) => {
    await tab.locator('.toolbar input[type="range"]').fill(String(t));
    await tab.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
    await tab.locator('.skeleton-wrap').screenshot({ path: join(shots, shot) });
    return tab.evaluate(() => window.qxViewer.skeleton());
  };
  const early = await poseAt(600, 'skeleton-5s.png');
  const late = await poseAt(1380, 'skeleton-11.5s.png');
  const joint = (pose, i) => pose.positions.slice(i * 3, i * 3 + 3);
  const apart = (a, b) => Math.hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
  const bone = (pose, i) => apart(joint(pose, i), joint(pose, pose.parents[i]));
  let moved = 0;
  early.parents.forEach((parent, i) => {
    moved = Math.max(moved, apart(joint(early, i), joint(late, i)));
    if (parent >= 0) assert.ok(Math.abs(bone(early, i) - bone(late, i)) < 1e-3 * Math.max(1, bone(early, i)), `bone ${i} changed length`);
  });
  console.log(`01_03.bvh: ${early.parents.length} joints, moved up to ${moved.toFixed(1)} units from 5 s to 11.5 s`);
  assert.ok(early.parents.length >= 31 && moved > 1, 'the skeleton did not move');
  // A channel that stays within float noise of 1 plots flat and says it is constant.
  await open(files.noise);
  assert.equal(await tab.getAttribute('body', 'data-view'), 'animation', await tab.textContent('#error'));
  const scaling = tab.locator('.plot').nth(1);
  assert.equal(await scaling.getAttribute('data-constant'), 'true');
  const rows = await scaling.evaluate((canvas) => {
    const { data, width, height } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
    const drawn = new Set();
    // Right of the label and the cursor, only the curves are drawn.
    for (let y = 0; y < height; ++y) for (let x = Math.round(width / 2); x < width - 20; ++x) if (data[(y * width + x) * 4 + 3]) drawn.add(y);
    return drawn.size;
  });
  assert.ok(rows > 0 && rows < 10, `the constant channel's plot spans ${rows} rows`);

  await open(files.grass, files.blip, files.theme);
  assert.match(await tab.textContent('#media .facts'), /Format: TGA .* 8 × 8$/, 'the TGA texture was not shown as an image');
  await tab.keyboard.press('ArrowDown');
  assert.equal(await tab.locator('#media audio').count(), 1, 'the WAV sound has no player');
  await tab.waitForSelector('#media canvas.waveform[data-drawn]');
  assert.match(await tab.textContent('#media .wave-facts'), /^Duration [\d.]+ s · 1 channel · 8,000 Hz, 8-bit$/);
  const wave = await tab.locator('#media canvas.waveform').evaluate((canvas) => {
    const { data, width, height } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
    let tallest = 0;
    for (let x = 10; x < width; ++x) {
      let rows = 0;
      for (let y = 0; y < height; ++y) rows += data[(y * width + x) * 4 + 3] ? 1 : 0;
      tallest = Math.max(tallest, rows / height);
    }
    return tallest;
  });
  assert.ok(wave > 0.2, `the waveform's tallest column covers ${wave} of its height`);
  await tab.keyboard.press('ArrowDown');
  assert.match(await tab.textContent('#media .hex'), /^00000000 /, 'the MOD music shows no bytes');
  await open(files.bomb);
  assert.match(await tab.textContent('#media'), /cannot be shown: it claims 23170 x 23170 pixels/, 'the image bomb was not refused by its claim');

  // Normals shown on a model whose first mesh has none, then the next file: the view
  // is cleared without error, and opening goes on working.
  await open(files.groups, files.crate);
  await tab.keyboard.press('n');
  await tab.keyboard.press('ArrowDown');
  assert.equal(await tab.getAttribute('body', 'data-view'), 'model', await tab.textContent('#error'));
  await open(files.walk);
  assert.equal(await tab.getAttribute('body', 'data-view'), 'animation');
  assert.equal(await tab.getAttribute('#title', 'title'), await tab.textContent('#title'));
  assert.equal(await tab.evaluate(() => window.qxViewer.timings.upload), undefined, 'a stale upload time');

  // Shortcuts from the time slider and the drop-downs; left and right step keys there.
  await tab.focus('.toolbar input[type="range"]');
  await tab.keyboard.press('ArrowRight');
  assert.equal(await tab.textContent('.time'), 't = 1 (0.04 s)'); // 25 ticks a second unless told
  await tab.focus('.toolbar select[aria-label="Channel"]');
  await tab.keyboard.press('ArrowRight');
  assert.equal(await tab.textContent('.time'), 't = 2 (0.08 s)');
  // Scrubbing with growing values keeps every plot's height.
  const heights = () => tab.evaluate(() => [...document.querySelectorAll('.plots figure')].map((f) => f.getBoundingClientRect().height));
  const before = await heights();
  await tab.keyboard.press('e');
  for (const at of [0.1, 0.5, 0.9]) {
    const box = await tab.locator('.plot').first().boundingBox();
    await tab.mouse.click(box.x + box.width * at, box.y + box.height / 2);
    assert.deepEqual(await heights(), before, 'the plots changed height while scrubbing');
  }
  await tab.keyboard.press('e');

  // Playback runs in seconds at the rate given: 2 ticks a second for 0.6 s is about 1.2 ticks.
  await tab.locator('.rate').fill('2');
  await tab.locator('.rate').dispatchEvent('change');
  const plot = await tab.locator('.plot').first().boundingBox();
  await tab.mouse.click(plot.x + 1, plot.y + plot.height / 2);
  await tab.click('.playback button');
  await tab.waitForTimeout(600);
  await tab.click('.playback button');
  const played = Number(/t = ([\d.]+)/.exec(await tab.textContent('.time'))[1]);
  console.log(`played 0.6 s at 2 ticks a second: t = ${played}`);
  assert.ok(played > 0.6 && played < 2.5, `the cursor moved to ${played} ticks`);
  assert.match(await tab.textContent('.time'), /\(0\.[3-9]\d* s\)|\(1\.\d+ s\)/);
  await tab.click('#shot'); // the plots as a picture, below

  // Every channel can be reached, past the 2000 listed at a time.
  await open(files.many);
  await tab.fill('.channel-number', '2300');
  await tab.press('.channel-number', 'Enter');
  assert.equal(await tab.textContent('.channels tr.selected td'), '2300');
  assert.match(await tab.textContent('.table-wrap .note'), /Channels 2000–2499 of 2500/);
  await open(files.one);
  assert.match(await tab.textContent('.toolbar select'), /\(1 channel\)/);

  // Textures the report names follow the model opened with them; a choice made by
  // hand is kept for the file name.
  await open(files.crate, `${files.crate}.json`, files.grass);
  assert.equal(await tab.inputValue('select.texture'), 'grass.img', 'the texture the report names was not given');
  const named = await tab.evaluate(() => window.qxViewer.snapshot());
  await tab.selectOption('select.texture', '');
  assert.notEqual(await tab.evaluate(() => window.qxViewer.snapshot()), named, 'the texture the report names was not drawn');
  await open(files.crate, `${files.crate}.json`);
  assert.equal(await tab.inputValue('select.texture'), '', 'the choice made by hand was not kept');

  // Scale and orientation: the size and grid spacing are said; Z up turns the view and
  // back; the grid is not counted as the model's pixels.
  await open(files.crate);
  assert.match(await tab.textContent('#mesh-summary'), /size 1 × 1 × 1 units; grid lines 0\.1 apart/);
  const upright = await tab.evaluate(() => window.qxViewer.drawnPixels().drawn);
  await tab.keyboard.press('g');
  assert.equal(await tab.evaluate(() => window.qxViewer.drawnPixels().drawn), upright);
  await tab.keyboard.press('g');
  // A texture among the open files drawn on the crate's material, and taken off again.
  await open(files.grass);
  await open(files.crate);
  const untextured = await tab.evaluate(() => window.qxViewer.snapshot());
  await tab.selectOption('select.texture', 'grass.img');
  await tab.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
  assert.notEqual(await tab.evaluate(() => window.qxViewer.snapshot()), untextured, 'the texture was not drawn');
  await tab.screenshot({ path: join(shots, 'textured.png') });
  assert.match(await tab.textContent('#frame-time'), /last frame [\d.]+ ms/);
  await tab.selectOption('select.texture', '');
  assert.equal(await tab.evaluate(() => window.qxViewer.snapshot()), untextured);
  const [download] = await Promise.all([tab.waitForEvent('download'), tab.keyboard.press('p')]);
  assert.equal(download.suggestedFilename(), 'crate.mdl.png');
  await download.saveAs(join(shots, 'screenshot.png'));
  assert.deepEqual([...readFileSync(join(shots, 'screenshot.png')).subarray(1, 4)], [0x50, 0x4e, 0x47]);
  await open(files.walk);
  await open(files.groups);
  await tab.keyboard.press('z');
  await tab.screenshot({ path: join(shots, 'z-up.png') });
  const turned = await tab.evaluate(() => window.qxViewer.drawnPixels().drawn);
  await tab.keyboard.press('z');
  const back = await tab.evaluate(() => window.qxViewer.drawnPixels().drawn);
  assert.notEqual(turned, back, 'Z up did not turn the model');

  // Files: the same file again replaces it; one closes; all close.
  const listed = await tab.locator('#opened li').count();
  await open(files.crate);
  assert.equal(await tab.locator('#opened li').count(), listed);
  await tab.keyboard.press('Delete');
  assert.equal(await tab.locator('#opened li').count(), listed - 1);
  await tab.click('#clear');
  assert.equal(await tab.locator('#opened li').count(), 0);
  assert.equal(await tab.getAttribute('body', 'data-view'), 'empty');

  // A model too large to draw says so.
  await open(files.huge);
  assert.match(await tab.textContent('#mesh-summary'), /Nothing is drawn: positions reach 3\.4e\+38, too large to draw/);

  await tab.keyboard.press('t'); // the large model in the other colour scheme
  const started = Date.now();
  await open(files.big);
  const loaded = Date.now() - started;
  const big = await drawn();
  const frame = await tab.evaluate(() => window.qxViewer.frameTime(3));
  const timings = await tab.evaluate(() => window.qxViewer.timings);
  console.log(`1,002,528 triangles: shown ${loaded} ms after the pick (decoded in ${timings.decode.toFixed(0)} ms, `
    + `uploaded in ${timings.upload.toFixed(0)} ms), ${frame.toFixed(0)} ms per orbit frame in software WebGL, ${big.drawn} pixels drawn`);
  assert.ok(big.drawn > big.total * 0.05, 'the large model was not drawn');
  await tab.keyboard.press('w');
  const wireframe = await tab.evaluate(() => window.qxViewer.frameTime(1));
  await tab.keyboard.press('w');
  console.log(`  its first wireframe frame (edges built once): ${wireframe.toFixed(0)} ms`);
  await tab.screenshot({ path: join(shots, 'large-model.png') });

  // Files named in the address, with the report: a build's link to a preview.
  const linked = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  linked.on('pageerror', (error) => problems.push(`page error: ${error.message}`));
  await linked.goto(`http://127.0.0.1:${server.address().port}/index.html#file=assets/walk.anm&file=assets/walk.anm.json`);
  await linked.waitForSelector('body[data-view="animation"][data-state="idle"]');
  assert.equal(await linked.locator('.channels tbody tr').nth(0).locator('td').nth(1).textContent(), 'Hips');
  // Other files named later open too; one missing among them is listed with its
  // error, and the model's texture comes from beside it.
  await linked.evaluate(() => {
    location.hash = '#file=assets/crate.mdl&file=assets/missing.snd&file=assets/blip.snd&file=assets/crate.mdl.json';
  });
  await linked.waitForFunction(() => document.querySelectorAll('#opened li').length === 5, null, { timeout: 10000 });
  assert.deepEqual(await linked.locator('#opened .name').allTextContents(), ['walk.anm', 'crate.mdl', 'blip.snd', 'missing.snd', 'grass.img']);
  assert.match(await linked.locator('#opened li').nth(3).locator('.kind').textContent(), /cannot be fetched from assets\/missing\.snd: 404/);
  assert.equal(await linked.getAttribute('body', 'data-view'), 'model');
  assert.equal(await linked.inputValue('select.texture'), 'grass.img', 'the texture beside the model was not given');
  await linked.close();

  // Opened from disk, with no server at all.
  // There a link cannot open its files, and says why.
  await tab.goto(`${pathToFileURL(process.env.QX_PAGE).href}#file=assets/crate.mdl`);
  assert.match(await tab.textContent('#link-note'), /opened from disk .* may not read other files/);
  await open(files.crate);
  assert.equal((await drawn()).drawn, solid.drawn, 'the page opened from disk drew the crate differently');
} finally {
  await browser.close();
  server.close();
  rmSync(work, { recursive: true, force: true });
}
assert.deepEqual(problems, []);
console.log(`screenshots in ${shots}`);
