// Textures, music and sounds hold their source bytes unchanged: shown as the image
// or played in an audio element when the browser can, and otherwise described by
// their size and first bytes.

// Textures do not store their source's extension, so the image format is told by
// its first bytes.
const IMAGE_SIGNATURES = [
  { name: 'PNG', type: 'image/png', test: (b) => b[0] === 0x89 && b[1] === 0x50 && b[2] === 0x4e && b[3] === 0x47 },
  { name: 'JPEG', type: 'image/jpeg', test: (b) => b[0] === 0xff && b[1] === 0xd8 && b[2] === 0xff },
  { name: 'GIF', type: 'image/gif', test: (b) => b[0] === 0x47 && b[1] === 0x49 && b[2] === 0x46 },
  { name: 'BMP', type: 'image/bmp', test: (b) => b[0] === 0x42 && b[1] === 0x4d },
  { name: 'WebP', type: 'image/webp', test: (b) => ascii(b, 0, 4) === 'RIFF' && ascii(b, 8, 4) === 'WEBP' },
  { name: 'DDS', type: null, test: (b) => ascii(b, 0, 4) === 'DDS ' },
  { name: 'KTX', type: null, test: (b) => b[0] === 0xab && ascii(b, 1, 3) === 'KTX' },
];

const AUDIO_TYPES = {
  '.wav': 'audio/wav', '.ogg': 'audio/ogg', '.oga': 'audio/ogg', '.opus': 'audio/ogg; codecs=opus',
  '.mp3': 'audio/mpeg', '.flac': 'audio/flac', '.m4a': 'audio/mp4', '.aac': 'audio/aac',
  '.webm': 'audio/webm', '.weba': 'audio/webm',
};

function ascii(bytes, at, length) {
  return String.fromCharCode(...bytes.subarray(at, at + length));
}

// "2.1 KiB (2,140 bytes)", or with exact false "2.1 KiB".
export function formatSize(bytes, exact = true) {
  if (bytes < 1024) return `${bytes} bytes`;
  const units = ['KiB', 'MiB', 'GiB'];
  let value = bytes;
  let unit = -1;
  do {
    value /= 1024;
    ++unit;
  } while (value >= 1024 && unit < units.length - 1);
  const rounded = `${value.toFixed(value < 10 ? 1 : 0)} ${units[unit]}`;
  return exact ? `${rounded} (${bytes.toLocaleString('en')} bytes)` : rounded;
}

function hexDump(bytes, count = 64) {
  const lines = [];
  for (let at = 0; at < Math.min(count, bytes.length); at += 16) {
    const row = bytes.subarray(at, Math.min(at + 16, bytes.length, count));
    const hex = Array.from(row, (b) => b.toString(16).padStart(2, '0')).join(' ');
    const text = Array.from(row, (b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : '·')).join('');
    lines.push(`${at.toString(16).padStart(8, '0')}  ${hex.padEnd(47)}  ${text}`);
  }
  return lines.join('\n');
}

function bytesBlock(bytes, why) {
  const block = document.createElement('div');
  const note = document.createElement('p');
  note.className = 'note';
  note.textContent = why;
  const pre = document.createElement('pre');
  pre.className = 'hex';
  pre.textContent = bytes.length ? hexDump(bytes) : '(no bytes)';
  block.append(note, pre);
  return block;
}

// Small images (icons, tiles) are shown a whole number of times larger, pixels kept sharp.
function enlarge(picture, width, height) {
  const scale = Math.max(1, Math.floor(384 / Math.max(width, height, 1)));
  picture.style.width = `${width * scale}px`;
}

// Fills `container` for a texture, music or sound asset; `decodeImage` turns bytes
// the browser cannot show (TGA, for one) into RGBA pixels, or says why it cannot.
export function showMedia(container, asset, decodeImage) {
  const { info, data } = asset;
  const facts = document.createElement('p');
  facts.className = 'facts';
  const signature = info.type === 'texture' ? IMAGE_SIGNATURES.find((s) => s.test(data)) : null;
  const format = info.type === 'texture' ? (signature ? signature.name : 'not recognised from its bytes') : info.extension || 'none';
  facts.textContent = `${info.type === 'texture' ? 'Format' : 'Extension'}: ${format} · ${formatSize(data.length)}`;
  container.replaceChildren(facts);

  if (info.type === 'texture') {
    const place = document.createElement('div');
    place.className = 'media';
    container.append(place);
    const fallback = () => {
      const pixels = decodeImage(data);
      if (!pixels || pixels.error) {
        const why = pixels ? `This image cannot be shown: ${pixels.error}; its first bytes:` : 'This browser cannot show this image; its first bytes:';
        place.replaceWith(bytesBlock(data, why));
        return;
      }
      const canvas = document.createElement('canvas');
      canvas.width = pixels.width;
      canvas.height = pixels.height;
      canvas.getContext('2d').putImageData(new ImageData(pixels.rgba, pixels.width, pixels.height), 0, 0);
      canvas.className = 'picture';
      // Only TGA among the formats decoded here has no signature.
      if (!signature) facts.textContent = facts.textContent.replace('not recognised from its bytes', 'TGA');
      facts.textContent += ` · ${pixels.width} × ${pixels.height}`;
      enlarge(canvas, pixels.width, pixels.height);
      place.append(canvas);
    };
    if (!signature?.type) {
      fallback();
      return;
    }
    const image = new Image();
    image.className = 'picture';
    image.src = URL.createObjectURL(new Blob([data], { type: signature.type }));
    image.decode().then(() => {
      facts.textContent += ` · ${image.naturalWidth} × ${image.naturalHeight}`;
      enlarge(image, image.naturalWidth, image.naturalHeight);
      place.append(image);
    }, fallback);
    return;
  }

  const type = AUDIO_TYPES[(info.extension || '').toLowerCase()];
  const audio = document.createElement('audio');
  if (!type || audio.canPlayType(type) === '') {
    container.append(bytesBlock(data, `This browser cannot play ${info.extension || 'this format'}; its first bytes:`));
    return;
  }
  audio.controls = true;
  audio.src = URL.createObjectURL(new Blob([data], { type }));
  audio.addEventListener('error', () => audio.replaceWith(bytesBlock(data, 'This browser could not play these bytes; the first of them:')));
  container.append(audio);
}
