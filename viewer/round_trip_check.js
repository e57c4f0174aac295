// Every asset scripts/round_trip.py converted from Assimp's test models, read by the
// WebAssembly reader as the page reads it (qx_read, then the description): each must
// be accepted, and described exactly as QXInspect --json describes it.
//   QX_WASM=.../qx_reader.js QX_INSPECT=.../QXInspect QX_ROUND_TRIP=OUT_DIR node viewer/round_trip_check.js
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { isDeepStrictEqual } = require('node:util');

const QxReader = require(process.env.QX_WASM);
const out = process.env.QX_ROUND_TRIP;

function describeWasm(reader, bytes, name) {
  const at = reader._malloc(Math.max(1, bytes.length));
  reader.HEAPU8.set(bytes, at);
  const handle = reader._qx_read(at, bytes.length);
  reader._free(at);
  const nameBytes = reader.lengthBytesUTF8(name) + 1;
  const nameAt = reader._malloc(nameBytes);
  reader.stringToUTF8(name, nameAt, nameBytes);
  const text = reader._qx_json(handle, nameAt, 0);
  const json = JSON.parse(reader.UTF8ToString(text));
  reader._qx_free(text);
  reader._free(nameAt);
  reader._qx_close(handle);
  return json;
}

async function main() {
  const models = process.env.QX_MODELS || '/usr/share/assimp/models';
  if (!fs.existsSync(models)) {
    console.log(`needs ${models} (assimp-testmodels)`);
    process.exitCode = 77;
    return;
  }
  const { assets } = JSON.parse(fs.readFileSync(path.join(out, 'manifest.json'), 'utf8'));
  const reader = await QxReader();
  const problems = [];
  for (const { asset } of assets) {
    const file = path.join(out, asset);
    const wasm = describeWasm(reader, fs.readFileSync(file), file);
    if (wasm.error) {
      problems.push(`the WebAssembly reader refuses ${asset}: ${wasm.error}`);
      continue;
    }
    // The C++ reader's refusals are scripts/round_trip.py's to report; here only
    // whether the two readers agree where the C++ one reads the file.
    const native = spawnSync(process.env.QX_INSPECT, ['--json', file], { encoding: 'utf8', maxBuffer: 1 << 28 });
    if (native.status === 0 && !isDeepStrictEqual(JSON.parse(native.stdout)[0], wasm)) {
      problems.push(`the WebAssembly reader describes ${asset} otherwise than QXInspect --json`);
    }
  }
  for (const problem of problems) console.log(`  ${problem}`);
  console.log(`WebAssembly reader: ${assets.length - problems.length} assets read back of ${assets.length} converted`
    + ` (${problems.length} refused or read otherwise)`);
  process.exitCode = problems.length > 0 || assets.length === 0 ? 1 : 0;
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
