// The reader compiled to WebAssembly decodes every asset exactly as QXInspect does:
// the same values, and the same errors for damaged files.
//   QX_WASM=.../qx_reader.js QX_CONVERT=.../QXConvert QX_INSPECT=.../QXInspect
//   QX_SAMPLES=examples node --test viewer/reader_wasm_test.js
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const { convertAll } = require('./test_assets.js');

const QxReader = require(process.env.QX_WASM);
const inspect = process.env.QX_INSPECT;
const assets = convertAll();
test.after(() => fs.rmSync(assets, { recursive: true, force: true }));

function describeWasm(reader, bytes, name) {
  const at = reader._malloc(Math.max(1, bytes.length));
  reader.HEAPU8.set(bytes, at);
  const nameBytes = reader.lengthBytesUTF8(name) + 1;
  const nameAt = reader._malloc(nameBytes);
  reader.stringToUTF8(name, nameAt, nameBytes);
  const text = reader._qx_describe(at, bytes.length, nameAt, 1);
  const json = reader.UTF8ToString(text);
  reader._qx_free(text);
  reader._free(nameAt);
  reader._free(at);
  return JSON.parse(json);
}

// The arrays the page copies out of WebAssembly memory, in the shape of --json --full.
function arraysWasm(reader, bytes) {
  const at = reader._malloc(Math.max(1, bytes.length));
  reader.HEAPU8.set(bytes, at);
  const handle = reader._qx_read(at, bytes.length);
  reader._free(at);
  const floats = (p, n, width) => Array.from({ length: n }, (_, i) => Array.from(reader.HEAPF32.subarray((p >>> 2) + i * width, (p >>> 2) + (i + 1) * width)));
  const text = reader._qx_json(handle, 0, 0);
  const json = JSON.parse(reader.UTF8ToString(text));
  reader._qx_free(text);
  const meshes = (json.meshes || []).map((mesh, m) => {
    const out = { positions: floats(reader._qx_mesh_positions(handle, m), mesh.vertexCount, 3) };
    const indices = reader._qx_mesh_indices(handle, m);
    out.indices = Array.from(reader.HEAPU32.subarray(indices >>> 2, (indices >>> 2) + mesh.indexCount));
    if (mesh.hasNormals) out.normals = floats(reader._qx_mesh_normals(handle, m), mesh.vertexCount, 3);
    if (mesh.hasTextureCoords) out.textureCoords = floats(reader._qx_mesh_texture_coords(handle, m), mesh.vertexCount, 2);
    return out;
  });
  const countAt = reader._malloc(4);
  const animations = (json.animations || []).map((_, a) => ({
    channels: Array.from({ length: reader._qx_channel_count(handle, a) }, (__, c) => {
      const channel = {};
      ['positions', 'scalings', 'rotations'].forEach((list, l) => {
        const p = reader._qx_channel_keys(handle, a, c, l, countAt);
        const view = new DataView(reader.HEAPU8.buffer);
        channel[list] = Array.from({ length: reader.HEAPU32[countAt >>> 2] }, (___, k) => [view.getFloat64(p + k * 24, true),
          ...[0, 1, 2, 3].slice(0, l === 2 ? 4 : 3).map((i) => view.getFloat32(p + k * 24 + 8 + i * 4, true))]);
      });
      return channel;
    }),
  }));
  reader._free(countAt);
  reader._qx_close(handle);
  return { meshes, animations };
}

// Whether every number of `native` (parsed JSON text) is what `wasm` holds as a float.
function sameValues(wasm, native, where) {
  if (Array.isArray(native)) {
    assert.strictEqual(wasm.length, native.length, where);
    native.forEach((v, i) => sameValues(wasm[i], v, `${where}[${i}]`));
  } else if (typeof native === 'object') {
    for (const key of Object.keys(wasm)) sameValues(wasm[key], native[key], `${where}.${key}`);
  } else {
    const value = Number(native); // "NaN" and "Infinity" are written as strings
    assert.ok(Object.is(wasm, value) || Object.is(wasm, Math.fround(value)), `${where}: ${wasm} is not ${native}`);
  }
}

function describeNative(file) {
  const run = spawnSync(inspect, ['--json', '--full', file], { encoding: 'utf8', maxBuffer: 1 << 30 });
  if (run.status !== 0) return { error: run.stderr.trim().replace(`QXInspect: ${file}: `, '') };
  return JSON.parse(run.stdout)[0];
}

test('every asset decodes to the same values as QXInspect --json --full, as text and as arrays', async () => {
  const reader = await QxReader();
  const files = fs.readdirSync(assets).filter((f) => /\.(mdl|anm|img|mus|snd)$/.test(f));
  assert.ok(files.length >= 10, `only ${files.length} assets in ${assets}`);
  for (const name of files) {
    const file = path.join(assets, name);
    const native = describeNative(file);
    assert.deepStrictEqual(describeWasm(reader, fs.readFileSync(file), file), native, name);
    const arrays = arraysWasm(reader, fs.readFileSync(file));
    sameValues(arrays.meshes, native.meshes || [], `${name} meshes`);
    sameValues(arrays.animations, native.animations || [], `${name} animations`);
  }
});

test('damaged files give the reader own error text, as QXInspect does', async () => {
  const reader = await QxReader();
  const files = fs.readdirSync(assets).filter((f) => /\.(mdl|anm)$/.test(f)).slice(0, 4);
  for (const name of files) {
    const whole = fs.readFileSync(path.join(assets, name));
    for (const cut of [0, 5, 9, 26, Math.floor(whole.length / 2), whole.length - 1]) {
      if (cut >= whole.length) continue;
      const file = path.join(assets, `cut-${cut}-${name}`);
      fs.writeFileSync(file, whole.subarray(0, cut));
      const wasm = describeWasm(reader, whole.subarray(0, cut), file);
      fs.unlinkSync(file);
      assert.ok(wasm.error, `${name} cut at ${cut} was accepted`);
      fs.writeFileSync(file, whole.subarray(0, cut));
      assert.deepStrictEqual(wasm, describeNative(file), `${name} cut at ${cut}`);
      fs.unlinkSync(file);
    }
  }
});
