// The reader compiled to WebAssembly decodes every asset exactly as QXInspect does:
// the same values, and the same errors for damaged files.
//   QX_WASM=.../qx_reader.js QX_INSPECT=.../QXInspect QX_ASSETS=DIR node --test viewer/
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const QxReader = require(process.env.QX_WASM);
const inspect = process.env.QX_INSPECT;
const assets = process.env.QX_ASSETS;

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

function describeNative(file) {
  const run = spawnSync(inspect, ['--json', '--full', file], { encoding: 'utf8', maxBuffer: 1 << 30 });
  if (run.status !== 0) return { error: run.stderr.trim().replace(`QXInspect: ${file}: `, '') };
  return JSON.parse(run.stdout)[0];
}

test('every asset decodes to the same values as QXInspect --json --full', async () => {
  const reader = await QxReader();
  const files = fs.readdirSync(assets).filter((f) => /\.(mdl|anm|img|mus|snd)$/.test(f));
  assert.ok(files.length >= 10, `only ${files.length} assets in ${assets}`);
  for (const name of files) {
    const file = path.join(assets, name);
    assert.deepStrictEqual(describeWasm(reader, fs.readFileSync(file), file), describeNative(file), name);
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
