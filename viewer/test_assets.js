// Asset files for the viewer's checks, converted by the QXConvert under test: the
// samples and some of Assimp's test models, each scrambled and plain.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const EXTENSIONS = { mdl: 'mdl', anm: 'anm', tex: 'img', mus: 'mus', snd: 'snd' };

// The reference conversions every build is held against (scripts/reference_models.txt).
function sources() {
  const places = {
    examples: process.env.QX_SAMPLES,
    assimp: process.env.QX_MODELS || '/usr/share/assimp/models',
  };
  const list = fs.readFileSync(path.join(__dirname, '..', 'scripts', 'reference_models.txt'), 'utf8');
  return list.split('\n').filter((line) => line.trim() && !line.startsWith('#')).map((line) => {
    const [type, where] = line.trim().split(/\s+/);
    const slash = where.indexOf('/');
    return [type, path.join(places[where.slice(0, slash)], where.slice(slash + 1))];
  });
}

function convert(type, source, output, scrambled = true, options = []) {
  execFileSync(process.env.QX_CONVERT, [type, source, output, ...(scrambled ? [] : ['-ue']), ...options], { stdio: 'ignore' });
  return output;
}

// Converts every source into a new temporary folder; returns the folder.
function convertAll() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qx-viewer-'));
  for (const [type, source] of sources()) {
    const name = `${path.basename(source)}.${EXTENSIONS[type]}`;
    convert(type, source, path.join(dir, name));
    convert(type, source, path.join(dir, `plain-${name}`), false);
  }
  return dir;
}

module.exports = { convert, convertAll, tempDir: (prefix) => fs.mkdtempSync(path.join(os.tmpdir(), prefix)) };
