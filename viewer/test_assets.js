// Asset files for the viewer's checks, converted by the QXConvert under test: the
// samples and some of Assimp's test models, each scrambled and plain.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const EXTENSIONS = { mdl: 'mdl', anm: 'anm', tex: 'img', mus: 'mus', snd: 'snd' };

function sources() {
  const samples = process.env.QX_SAMPLES;
  const models = process.env.QX_MODELS || '/usr/share/assimp/models';
  return [
    ['mdl', path.join(samples, 'crate.obj')], ['anm', path.join(samples, 'walk.bvh')],
    ['tex', path.join(samples, 'grass.tga')], ['mus', path.join(samples, 'theme.mod')],
    ['snd', path.join(samples, 'blip.wav')],
    ['mdl', path.join(models, 'OBJ/spider.obj')], ['mdl', path.join(models, 'Collada/duck.dae')],
    ['mdl', path.join(models, 'PLY/cube.ply')], ['mdl', path.join(models, 'FBX/box.fbx')],
    ['anm', path.join(models, 'BVH/01_01.bvh')],
  ];
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
