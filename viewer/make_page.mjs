// Builds the viewer as one self-contained HTML file: the page's scripts and three.js
// bundled by esbuild, the reader's WebAssembly build (which carries its module
// inline), and the style sheet, all written into page.html.
//   node make_page.mjs READER_JS NODE_MODULES OUT_HTML
import { readFileSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const [readerJs, modules, out] = process.argv.slice(2);
if (!out) {
  console.error('usage: node make_page.mjs READER_JS NODE_MODULES OUT_HTML');
  process.exit(2);
}
const here = dirname(fileURLToPath(import.meta.url));
const esbuild = createRequire(join(modules, 'esbuild', 'package.json'))('esbuild');

const bundle = await esbuild.build({
  entryPoints: [join(here, 'src', 'main.js')],
  bundle: true,
  minify: true,
  format: 'iife',
  target: 'es2022',
  nodePaths: [modules],
  legalComments: 'eof',
  write: false,
  logLevel: 'warning',
});

// Inline scripts end at the first "</script", wherever it stands.
const inline = (text) => text.replaceAll('</script', '<\\/script');
const parts = {
  '/*STYLE*/': readFileSync(join(here, 'src', 'page.css'), 'utf8'),
  '/*READER*/': inline(readFileSync(readerJs, 'utf8')),
  '/*SCRIPT*/': inline(bundle.outputFiles[0].text),
};
let page = readFileSync(join(here, 'page.html'), 'utf8');
for (const [mark, text] of Object.entries(parts)) {
  if (!page.includes(mark)) throw new Error(`page.html has no ${mark}`);
  page = page.replace(mark, () => text);
}
writeFileSync(out, page);
console.log(`${out}: ${(page.length / 1024).toFixed(0)} KiB`);
