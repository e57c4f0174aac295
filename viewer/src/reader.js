// The project's reader, compiled to WebAssembly and inlined into the page as the
// global QxReader. Every file is decoded there; this module only copies the
// results out of WebAssembly memory into arrays the page owns.

let modulePromise = null;
let loaded = null;

function reader() {
  modulePromise ??= globalThis.QxReader().then((wasm) => (loaded = wasm));
  return modulePromise;
}

const KEY_BYTES = 24; // a double time, then x, y, z, w as floats
const LISTS = ['positions', 'scalings', 'rotations'];

function copyFloats(wasm, pointer, count) {
  return pointer === 0 ? null : wasm.HEAPF32.slice(pointer >>> 2, (pointer >>> 2) + count);
}

// Keys come out as one Float64Array of times and one Float32Array of 4 values per key.
function copyKeys(wasm, handle, animation, channel, list, countAt) {
  const at = wasm._qx_channel_keys(handle, animation, channel, list, countAt);
  const count = wasm.HEAPU32[countAt >>> 2];
  const times = new Float64Array(count);
  const values = new Float32Array(count * 4);
  const view = new DataView(wasm.HEAPU8.buffer);
  for (let k = 0; k < count; ++k) {
    const record = at + k * KEY_BYTES;
    times[k] = view.getFloat64(record, true);
    for (let c = 0; c < 4; ++c) values[k * 4 + c] = view.getFloat32(record + 8 + c * 4, true);
  }
  return { times, values };
}

function withString(wasm, text, use) {
  const size = wasm.lengthBytesUTF8(text) + 1;
  const at = wasm._malloc(size);
  wasm.stringToUTF8(text, at, size);
  try {
    return use(at);
  } finally {
    wasm._free(at);
  }
}

// An opened asset: `info` is what QXInspect --json writes for it ({error} when the
// reader refused the file); meshes carry their arrays, animations their channels,
// and stored bytes are in `data`.
export async function openAsset(bytes, name) {
  try {
    return await decode(await reader(), bytes, name);
  } catch (error) {
    // An instance that ran out of memory has aborted for good; the next file gets a new one.
    modulePromise = loaded = null;
    throw error;
  }
}

async function decode(wasm, bytes, name) {
  const at = wasm._malloc(Math.max(1, bytes.length));
  if (at === 0) throw new RangeError('out of memory');
  wasm.HEAPU8.set(bytes, at);
  const handle = wasm._qx_read(at, bytes.length);
  wasm._free(at);
  try {
    const text = withString(wasm, name, (nameAt) => wasm._qx_json(handle, nameAt, 0));
    const info = JSON.parse(wasm.UTF8ToString(text));
    wasm._qx_free(text);
    if (info.error) return { info };

    const asset = { info };
    if (info.meshes) {
      asset.meshes = info.meshes.map((mesh, m) => ({
        ...mesh,
        positions: copyFloats(wasm, wasm._qx_mesh_positions(handle, m), mesh.vertexCount * 3),
        normals: copyFloats(wasm, wasm._qx_mesh_normals(handle, m), mesh.vertexCount * 3),
        uvs: copyFloats(wasm, wasm._qx_mesh_texture_coords(handle, m), mesh.vertexCount * 2),
        indices: (() => {
          const p = wasm._qx_mesh_indices(handle, m);
          return p === 0 ? null : wasm.HEAPU32.slice(p >>> 2, (p >>> 2) + mesh.indexCount);
        })(),
      }));
    }
    if (info.animations) {
      const countAt = wasm._malloc(4);
      asset.animations = info.animations.map((animation, a) => {
        const channels = [];
        const count = wasm._qx_channel_count(handle, a);
        for (let c = 0; c < count; ++c) {
          const channel = {};
          LISTS.forEach((list, l) => { channel[list] = copyKeys(wasm, handle, a, c, l, countAt); });
          channels.push(channel);
        }
        return { ...animation, channels };
      });
      wasm._free(countAt);
    }
    if (info.dataSize !== undefined) {
      const p = wasm._qx_data(handle);
      asset.data = p === 0 ? new Uint8Array(0) : wasm.HEAPU8.slice(p, p + info.dataSize);
    }
    return asset;
  } finally {
    wasm._qx_close(handle);
  }
}

// Image bytes the browser cannot decode itself (TGA among them) as RGBA pixels, by
// the same decoder QXInspect --render uses; { error } saying why when they cannot be
// decoded (a header claiming more pixels than are decoded among the reasons), null
// when the decoder is not loaded.
export function decodeImage(bytes) {
  const wasm = loaded;
  if (!wasm || bytes.length === 0) return null;
  const at = wasm._malloc(bytes.length);
  wasm.HEAPU8.set(bytes, at);
  const outAt = wasm._malloc(12);
  wasm.HEAP32[(outAt >>> 2) + 2] = 0;
  const pixels = wasm._qx_decode_image(at, bytes.length, outAt, outAt + 4, outAt + 8);
  wasm._free(at);
  const width = wasm.HEAP32[outAt >>> 2];
  const height = wasm.HEAP32[(outAt >>> 2) + 1];
  const errorAt = wasm.HEAP32[(outAt >>> 2) + 2] >>> 0;
  wasm._free(outAt);
  if (pixels === 0) {
    const error = errorAt ? wasm.UTF8ToString(errorAt) : 'not an image this tool decodes';
    if (errorAt) wasm._qx_free(errorAt);
    return { error };
  }
  const rgba = new Uint8ClampedArray(wasm.HEAPU8.slice(pixels, pixels + width * height * 4).buffer);
  wasm._qx_free(pixels);
  return { width, height, rgba };
}
