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
  container.append(audio, waveform(data, audio));
}

// The channels, rate and sample size a WAV file's format chunk gives; null for others.
function wavFormat(bytes) {
  if (bytes.length < 12 || ascii(bytes, 0, 4) !== 'RIFF' || ascii(bytes, 8, 4) !== 'WAVE') return null;
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  for (let at = 12; at + 8 <= bytes.length;) {
    const size = view.getUint32(at + 4, true);
    if (ascii(bytes, at, 4) === 'fmt ' && at + 24 <= bytes.length) {
      return { channels: view.getUint16(at + 10, true), rate: view.getUint32(at + 12, true), bits: view.getUint16(at + 22, true) };
    }
    at += 8 + size + (size & 1);
  }
  return null;
}

// The sound's waveform, one lane per channel, with a playhead that follows the player
// (a click moves it), and its duration, channels and sample rate. The browser decodes
// the sound, so whatever it plays is drawn; a WAV is decoded at its own rate.
function waveform(data, audio) {
  const block = document.createElement('figure');
  block.className = 'waveform-block';
  const facts = document.createElement('figcaption');
  facts.className = 'wave-facts';
  facts.textContent = 'Decoding the waveform…';
  const canvas = document.createElement('canvas');
  canvas.className = 'waveform';
  block.append(facts, canvas);
  const format = wavFormat(data);
  const rate = Math.min(768000, Math.max(3000, format?.rate || 48000));
  let buffer = null;
  let peaks = null; // per lane, per column: low and high
  const draw = () => {
    if (!buffer) return;
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
    const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
    const lanes = Math.min(buffer.numberOfChannels, 8);
    if (canvas.width !== width || canvas.height !== height || !peaks) {
      canvas.width = width;
      canvas.height = height;
      peaks = Array.from({ length: lanes }, (_, lane) => {
        const samples = buffer.getChannelData(lane);
        const out = new Float32Array(width * 2);
        for (let x = 0; x < width; ++x) {
          // Each column reaches the sample before it, so a short sound reads as one curve.
          const from = Math.max(0, Math.floor((x * samples.length) / width) - 1);
          const to = Math.min(samples.length, Math.max(from + 1, Math.floor(((x + 1) * samples.length) / width)));
          let lo = Infinity;
          let hi = -Infinity;
          for (let i = from; i < to; ++i) {
            lo = Math.min(lo, samples[i]);
            hi = Math.max(hi, samples[i]);
          }
          out[x * 2] = lo <= hi ? lo : 0;
          out[x * 2 + 1] = lo <= hi ? hi : 0;
        }
        return out;
      });
    }
    const g = canvas.getContext('2d');
    const style = getComputedStyle(canvas);
    g.clearRect(0, 0, width, height);
    const laneHeight = height / lanes;
    peaks.forEach((lane, l) => {
      const middle = laneHeight * (l + 0.5);
      g.fillStyle = style.getPropertyValue('--grid').trim();
      g.fillRect(0, Math.round(middle), width, Math.max(1, ratio));
      g.fillStyle = style.getPropertyValue('--accent').trim();
      for (let x = 0; x < width; ++x) {
        const top = middle - lane[x * 2 + 1] * laneHeight * 0.45;
        const bottom = middle - lane[x * 2] * laneHeight * 0.45;
        g.fillRect(x, top, 1, Math.max(1, bottom - top));
      }
    });
    const at = buffer.duration > 0 ? (audio.currentTime / buffer.duration) * width : 0;
    g.fillStyle = style.getPropertyValue('--cursor').trim();
    g.fillRect(Math.min(width - Math.ceil(ratio), Math.round(at)), 0, Math.ceil(ratio * 1.5), height);
    canvas.dataset.drawn = 'true';
  };
  let frame = 0;
  const follow = () => {
    draw();
    if (!audio.paused) frame = requestAnimationFrame(follow);
  };
  audio.addEventListener('play', () => { frame = requestAnimationFrame(follow); });
  audio.addEventListener('pause', () => cancelAnimationFrame(frame));
  audio.addEventListener('seeked', draw);
  audio.addEventListener('timeupdate', draw);
  canvas.addEventListener('pointerdown', (event) => {
    if (!buffer) return;
    const box = canvas.getBoundingClientRect();
    audio.currentTime = (Math.min(1, Math.max(0, (event.clientX - box.left) / box.width))) * buffer.duration;
  });
  new ResizeObserver(draw).observe(canvas);
  new OfflineAudioContext(1, 1, rate).decodeAudioData(data.slice().buffer).then((decoded) => {
    buffer = decoded;
    const channels = decoded.numberOfChannels;
    const sampleRate = format ? `${format.rate.toLocaleString('en')} Hz${format.bits ? `, ${format.bits}-bit` : ''}`
      : `${decoded.sampleRate.toLocaleString('en')} Hz as decoded`;
    facts.textContent = `Duration ${Number(decoded.duration.toPrecision(4))} s · ${channels} channel${channels === 1 ? '' : 's'} · ${sampleRate}`
      + (channels > 8 ? ' (the first 8 drawn)' : '');
    draw();
  }, () => {
    facts.textContent = 'This browser could not decode the sound to draw its waveform.';
    canvas.remove();
  });
  return block;
}
