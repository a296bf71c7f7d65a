// Yardstick for bench_multipart: busboy spooling every file part into a file
// of its own in OUT_DIR, the body read from standard input.
// Usage: node yardstick_busboy.js BOUNDARY OUT_DIR (busboy found through NODE_PATH)
'use strict';
const fs = require('fs');
const path = require('path');
const busboy = require('busboy');

const [boundary, outDir] = process.argv.slice(2);
const bb = busboy({
  headers: { 'content-type': 'multipart/form-data; boundary=' + boundary },
  limits: { fieldSize: Infinity },
});
let n = 0;
bb.on('file', (name, file) => {
  file.pipe(fs.createWriteStream(path.join(outDir, 'part' + ++n)));
});
fs.createReadStream(null, { fd: 0, highWaterMark: 65536 }).pipe(bb);
