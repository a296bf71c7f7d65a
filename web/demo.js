// The demo instrument page: posts each form to upgrade.cgi with a progress bar,
// follows the Refresh of the result page as a browser would, states the outcome
// that comes back in the query string, and draws the instrument's state from
// state.cgi. No framework and no build step: this file is served as it is.
'use strict';

const STATE_URL = 'cgi-bin/state.cgi';
const LAST_UPLOAD_KEY = 'quib.lastUpload';
const SECTOR = 0x10000;

// ---------------------------------------------------------------- outcome --

const NAND_WORDS = 'copied to the NAND drive (/NANDdrive/firm/)';
const FLASH_WORDS = 'stored in the instrument\'s flash';

// What each type= of a success means: [name, what became of it on board 1, on board 2].
const TYPE_WORDS = {
  FirmwareCINT: ['CINT firmware', FLASH_WORDS, NAND_WORDS],
  LoaderCINT: ['CINT loader', FLASH_WORDS, NAND_WORDS],
  IHM: ['Web interface archive', FLASH_WORDS, NAND_WORDS],
  FirmwareDSP: ['DSP firmware', 'handed to the loader service'],
  LoaderDSP: ['DSP loader', 'handed to the loader service'],
};

// The handler's failures, shown as the outcome code plus 1900.
const ERROR_WORDS = {
  2001: 'no usable file name: none was chosen, it was empty or longer than 127 characters, ' +
        'or the upload could not be opened',
  2002: 'nothing was uploaded in the form field "Filedata"',
  2003: 'the file was refused: its name has no known image prefix or does not end in .txt, ' +
        'a settings backup lacks its markers (IHM or MMI, and QNX), a GPS configuration ' +
        'needs a board with a NAND drive, or the message to the application could not be sent',
  2004: 'the loader service cannot be reached, or it refused the DSP image',
  2005: 'the DSP image message to the loader service failed or was not accepted',
  2006: 'the application server or the loader service cannot be reached, or did not accept ' +
        'the request',
  2007: 'the image could not be written: writing it into flash or onto the drive failed, the ' +
        'board could not be identified, or another upload held the instrument too long',
  2008: 'the file\'s size is outside the limits of its target',
  2009: 'refused: the request came from another site',
};

// The image kinds that the file name's prefix chooses (case-sensitive), with
// the flash region whose limits apply on board 1.
const IMAGE_KINDS = [
  { prefix: 'Web', words: 'web archive', region: 'web' },
  { prefix: 'FrmWCINT', words: 'CINT firmware', region: 'firmware' },
  { prefix: 'LoaderCINT', words: 'CINT loader', region: 'loader' },
  { prefix: 'FrmWDSP', words: 'DSP firmware' },
  { prefix: 'LoaderDSP', words: 'DSP loader' },
];
const GPS_MAX_SIZE = 51200;

// Undoes the percent escapes of a query value where they are whole and form
// UTF-8; anything else (a stray %, a cut or invalid sequence) is kept as it stands.
function decodeLoose(s) {
  return s.replace(/(?:%[0-9A-Fa-f]{2})+/g, (run) => {
    const escapes = run.match(/%[0-9A-Fa-f]{2}/g);
    let out = '';
    for (let i = 0; i < escapes.length;) {
      // One character is 1 to 4 bytes: the longest that decodes wins.
      let n = Math.min(4, escapes.length - i);
      for (; n > 0; --n) {
        try {
          out += decodeURIComponent(escapes.slice(i, i + n).join(''));
          break;
        } catch (e) { /* fewer bytes */ }
      }
      if (n === 0) {
        out += escapes[i];
        n = 1;
      }
      i += n;
    }
    return out;
  });
}

// The query string as the handler wrote it: keys and values split at & and =,
// percent escapes undone, '+' kept as it is (the handler escapes a real one).
function readQuery(search) {
  const out = new Map();
  for (const part of search.replace(/^\?/, '').split('&')) {
    if (!part) continue;
    const eq = part.indexOf('=');
    out.set(decodeLoose(eq < 0 ? part : part.slice(0, eq)), decodeLoose(eq < 0 ? '' : part.slice(eq + 1)));
  }
  return out;
}

const count = (n) => Number(n).toLocaleString('en');

// What the page knows of the instrument that explains an outcome: the board,
// the chip and each image region's limits, from the state report.
function factsOf(show) {
  if (!show || !show.board) return null;
  const chipSize = show.chip && isNum(show.chip.size) ? show.chip.size : null;
  const regions = {};
  for (const r of chosenRegions(show)) {
    const key = String(r.name).startsWith('firmware') ? 'firmware' : String(r.name);
    const outside = chipSize !== null && r.offset + r.sectors * SECTOR > chipSize;
    regions[key] = { min: r.minSize, max: r.maxSize, sectors: r.sectors, outside };
  }
  // identified false: the board report could not be read, version is the fallback.
  return { board: show.board.version, identified: show.board.identified !== false,
    lockHeld: show.requestLock === 'held', chipSize, regions };
}

function kindOf(fileName) {
  return IMAGE_KINDS.find((k) => String(fileName || '').startsWith(k.prefix)) || null;
}

function limitWords(kind, facts) {
  const region = facts.regions[kind.region];
  if (!region || !isNum(region.max)) return null;
  const where = kind.region === 'firmware' ? ` on this board's ${region.sectors} sectors` : '';
  // The size is checked first; a region beyond the chip refuses any size after it.
  const beyond = region.outside ? ` but cannot be written on this ${bytes(facts.chipSize)} chip` : '';
  return `a ${kind.words}${where} takes ${count(region.min || 0)} to ${count(region.max)} bytes${beyond}`;
}

// 2008 with the file's size and the limits of every kind on this board.
function sizeWords(last) {
  const size = last && isNum(last.size) ? ` (${count(last.size)} bytes)` : '';
  if (last && last.label === 'GPS configuration') {
    return `the file's size${size} is over the ${count(GPS_MAX_SIZE)} bytes a GPS configuration may have`;
  }
  const facts = last && last.facts;
  if (!facts) return `the file's size${size} is outside the limits of its target`;
  const kind = kindOf(last.fileName);
  const own = kind && kind.region ? limitWords(kind, facts) : null;
  const all = IMAGE_KINDS.filter((k) => k.region && k !== kind)
    .map((k) => limitWords(k, facts)).filter(Boolean);
  let text = `the file's size${size} is outside the limits of its target`;
  if (own) text += `: ${own}`;
  if (all.length) text += ` (${own ? 'and ' : ''}${all.join('; ')})`;
  return text;
}

// A name that the handler puts into a message to a peer may not hold these:
// each would end or add a key of the message.
const MESSAGE_NAME_RULE = /[&=:\x00-\x1f]/;
const MESSAGE_NAME_WORDS = 'the file name holds &, = or : or a control character, which a ' +
  'message to the instrument\'s services cannot carry';

// 2003 covers a different refusal on each route; the form that was used tells which.
const REFUSED_WORDS = {
  image: 'the file name has no known image prefix: an image\'s name begins with FrmWCINT, ' +
    'LoaderCINT, Web, FrmWDSP or LoaderDSP, capitals as shown',
  'UDP configuration': 'the file name does not end in .txt, or the message to the application ' +
    'could not be sent',
  'settings restore': 'the file name does not end in .txt, the backup\'s first kilobyte lacks ' +
    'its markers (IHM or MMI, and QNX), or the message to the application could not be sent',
  'models restore': 'the file name does not end in .txt, or the message could not be sent',
  'system restore': 'the file name does not end in .txt, or the message could not be sent',
  'GPS configuration': 'the file name does not end in .txt, or this board has no NAND drive',
};

// The name rule of the messages, where this name went into one: a UDP
// configuration's, or a DSP image's on the image form.
function brokeMessageRule(last) {
  if (!last || !MESSAGE_NAME_RULE.test(String(last.fileName || ''))) return false;
  const kind = kindOf(last.fileName);
  return last.label === 'UDP configuration' || (last.label === 'image' && kind && !kind.region);
}

function errorWords(code, last) {
  if (code === 2003 && brokeMessageRule(last)) return MESSAGE_NAME_WORDS;
  if (code === 2003 && last && REFUSED_WORDS[last.label]) return REFUSED_WORDS[last.label];
  if (code === 2008) return sizeWords(last);
  const facts = last && last.facts;
  // Either holds the request back before anything is written.
  if (code === 2007 && facts && facts.lockHeld) {
    return 'another upload is still running: wait until it has ended, then upload again';
  }
  if (code === 2007 && facts && !facts.identified) {
    return 'the board could not be identified (its report could not be written or read), ' +
      'so the image was not written: nothing was changed';
  }
  if (code === 2007 && facts) {
    // The handler refuses, before any erase, a region that the chip does not hold whole.
    const kind = kindOf(last.fileName);
    const region = kind && kind.region ? facts.regions[kind.region] : null;
    if (region && region.outside) {
      return `the region lies outside this ${bytes(facts.chipSize)} chip: nothing was written`;
    }
  }
  return ERROR_WORDS[code] || 'an error this page does not know';
}

// {ok, text, detail} for the outcome in the query string, or null when it holds none.
// last: what this page sent just before ({label, fileName, size, facts}), when it knows.
function describeOutcome(q, last) {
  const name = q.get('name');
  const port = q.get('port');
  const quoted = (s) => (s ? `"${s}"` : 'a file with an empty name');
  if (q.has('error')) {
    const code = parseInt(q.get('error'), 10);
    const version = q.get('version');
    const target = port ? ` (UDP output ${port})` : '';
    return {
      ok: false,
      text: `Error ${code}${target}: ${errorWords(code, last)}.`,
      detail: version ? `Reported by upgrade.cgi ${version}.` : '',
    };
  }
  if (q.has('restoresettingserror')) {
    const code = parseInt(q.get('restoresettingserror'), 10);
    const file = last && last.fileName ? ` ${quoted(last.fileName)}` : '';
    if (code === 1) return { ok: true, text: `GPS configuration${file} stored.`, detail: '' };
    const what = last && last.label && last.label !== 'GPS configuration'
      ? `The ${last.label}` : 'The restore';
    if (code === 0) {
      return { ok: true, text: `${what}${file} was accepted.`, detail: '' };
    }
    const failed = last && last.label === 'GPS configuration'
      ? `The GPS configuration${file} was not stored` : `${what}${file} failed`;
    return { ok: false, text: `${failed}: error ${code}: ${errorWords(code, last)}.`, detail: '' };
  }
  if (q.has('type')) {
    const type = q.get('type');
    if (type === 'UDP') {
      const output = port ? ` to UDP output ${port}` : '';
      return { ok: true, text: `UDP configuration ${quoted(name)} sent${output}.`, detail: '' };
    }
    if (type === 'Unknown') {
      return {
        ok: false,
        text: `Nothing was written for ${quoted(name)}: the flash could not be prepared.`,
        detail: 'upgrade.cgi reported type "Unknown" and no error.',
      };
    }
    const words = TYPE_WORDS[type];
    const board2 = last && last.facts && last.facts.board === 2;
    if (words) {
      const fate = board2 && words[2] ? words[2] : words[1];
      return { ok: true, text: `${words[0]} ${quoted(name)} ${fate}.`, detail: '' };
    }
    return { ok: true, text: `Handled ${type} ${quoted(name)}.`, detail: '' };
  }
  return null;
}

function showOutcome(outcome, kind) {
  const el = document.getElementById('outcome');
  el.textContent = outcome.text;
  if (outcome.detail) {
    el.append(' ');
    const d = document.createElement('span');
    d.className = 'detail';
    d.textContent = outcome.detail;
    el.appendChild(d);
  }
  el.className = kind || (outcome.ok ? 'ok' : 'error');
  el.hidden = false;
  return el;
}

function takeLastUpload() {
  try {
    const raw = sessionStorage.getItem(LAST_UPLOAD_KEY);
    sessionStorage.removeItem(LAST_UPLOAD_KEY);
    return raw ? JSON.parse(raw) : null;
  } catch (e) {
    return null;
  }
}

// -------------------------------------------------------------- uploading --

// The target of a meta Refresh's content ("0;url=..."), read the way browsers
// read it: a delay, then ';' or ',', then an optional url= and optional quotes.
// Returns {delay, url} (url null: reload the same page), or null when malformed.
function parseRefresh(content) {
  const ws = /^[\t\n\f\r ]*/;
  let s = content.replace(ws, '');
  const time = /^(\d*)(\.[\d.]*)?/.exec(s);
  if (!time[1] && !time[2]) return null;
  const delay = time[1] ? parseInt(time[1], 10) : 0;
  s = s.slice(time[0].length);
  if (s && !/^[\t\n\f\r ;,]/.test(s)) return null;
  s = s.replace(/^[\t\n\f\r ]*[;,]?[\t\n\f\r ]*/, '');
  if (!s) return { delay, url: null };
  s = s.replace(/^url[\t\n\f\r ]*=[\t\n\f\r ]*/i, '');
  if (s[0] === '"' || s[0] === "'") {
    const end = s.indexOf(s[0], 1);
    s = end < 0 ? s.slice(1) : s.slice(1, end);
  }
  return { delay, url: s };
}

// The Refresh that a result page names, or null.
function refreshOf(html) {
  const doc = new DOMParser().parseFromString(html, 'text/html');
  for (const meta of doc.querySelectorAll('meta[http-equiv]')) {
    if (meta.getAttribute('http-equiv').trim().toLowerCase() === 'refresh') {
      return parseRefresh(meta.getAttribute('content') || '');
    }
  }
  return null;
}

function setBusy(busy) {
  for (const b of document.querySelectorAll('form.upload button')) b.disabled = busy;
}

function udpAction(port) {
  return `cgi-bin/upgrade.cgi?udp_port=${encodeURIComponent(port)}&url=../index.html`;
}

// ------------------------------------------------- while the flash is written --

const PROGRESS_URL = 'cgi-bin/state.cgi?progress';
const PROGRESS_POLL_MS = 400;
// A firmware takes about 13 s to erase and program on the instrument, and a
// request waits at most 120 s for another one to end; an answer still missing
// after this long will not come.
const REQUEST_LIMIT_MS = 180000;

// {text, fraction} for a progress record of the handler (fraction null: unknown).
function phaseWords(p) {
  const done = isNum(p.done) ? p.done : 0;
  const total = isNum(p.total) ? p.total : 0;
  const fraction = total > 0 ? done / total : null;
  switch (p.phase) {
    case 'erasing': return { text: `Erasing sector ${done} of ${total}`, fraction };
    case 'programming': return { text: `Programming ${bytes(done)} of ${bytes(total)}`, fraction };
    default: return { text: 'Checking the file', fraction: null };
  }
}

// Shows what the instrument is doing with the image, until stop() is called.
function watchWriting(fileName) {
  let timer = 0;
  let stopped = false;
  const poll = async () => {
    try {
      const res = await fetch(PROGRESS_URL, { cache: 'no-store' });
      const data = res.ok ? await res.json() : null;
      const p = data && data.progress;
      // Between two records the file may be missing for a moment: keep what is shown.
      if (!stopped && p && typeof p === 'object') {
        const words = phaseWords(p);
        const el = showOutcome({
          ok: true,
          text: 'Writing the instrument\'s flash — do not switch it off.',
          detail: `${words.text}${p.file ? ` of "${p.file}"` : ''}.`,
        }, 'busy writing');
        const bar = document.createElement('progress');
        bar.max = 1;
        if (words.fraction !== null) bar.value = words.fraction;
        el.appendChild(bar);
        el.dataset.phase = String(p.phase);
      }
    } catch (e) { /* the next poll may work; the request's own end decides */ }
    if (!stopped) timer = setTimeout(poll, PROGRESS_POLL_MS);
  };
  showOutcome({ ok: true, text: `"${fileName}" sent; waiting for the instrument…`, detail: '' }, 'busy');
  poll();
  return () => { stopped = true; clearTimeout(timer); };
}

function upload(form) {
  const input = form.querySelector('input[type=file]');
  const file = input.files[0];
  const problem = form.querySelector('.form-error');
  if (problem) problem.hidden = true;
  if (form.dataset.prefix && file && !file.name.startsWith(form.dataset.prefix)) {
    // Under settings= any other name is taken for a settings backup.
    problem.textContent = `The file's name must begin with ${form.dataset.prefix}: ` +
      `upgrade.cgi would take "${file.name}" for a settings backup.`;
    problem.hidden = false;
    return;
  }
  try {
    sessionStorage.setItem(LAST_UPLOAD_KEY, JSON.stringify({
      label: form.dataset.label, fileName: file ? file.name : '', size: file ? file.size : null,
      facts: factsOf(lastShow),
    }));
  } catch (e) { /* private mode: the outcome is stated without the file's name */ }

  pendingOutcome = null;
  const bar = form.querySelector('progress');
  bar.value = 0;
  bar.hidden = false;
  setBusy(true);
  showOutcome({ ok: true, text: `Uploading ${file ? `"${file.name}"` : ''}…`, detail: '' }, 'busy');

  let stopWatching = () => {};
  const fail = (outcome) => {
    stopWatching();
    setBusy(false);
    bar.hidden = true;
    showOutcome(outcome);
    refreshState();
  };
  const xhr = new XMLHttpRequest();
  xhr.open('POST', form.action);
  xhr.timeout = REQUEST_LIMIT_MS;
  xhr.upload.addEventListener('progress', (ev) => {
    if (ev.lengthComputable && ev.total > 0) bar.value = ev.loaded / ev.total;
  });
  xhr.upload.addEventListener('load', () => {
    bar.value = 1;
    if (form.id === 'form-image') stopWatching = watchWriting(file ? file.name : '');
  });
  xhr.addEventListener('load', () => {
    stopWatching();
    bar.value = 1;
    const refresh = xhr.status === 200 ? refreshOf(xhr.responseText) : null;
    if (!refresh) {
      fail({
        ok: false,
        text: `upgrade.cgi gave no result page (HTTP status ${xhr.status}).`,
        detail: 'See the web server\'s error log.',
      });
      return;
    }
    const base = xhr.responseURL || form.action;
    const target = refresh.url === null ? base : new URL(refresh.url, base).href;
    setTimeout(() => location.assign(target), refresh.delay * 1000);
  });
  xhr.addEventListener('timeout', () => fail({
    ok: false,
    text: `The instrument did not answer within ${REQUEST_LIMIT_MS / 1000} s.`,
    detail: 'Check that it is switched on and reachable, and that its web server runs; then ' +
      'read its state below before you upload again: an image whose writing was cut off shows ' +
      'as a byte sum mismatch.',
  }));
  xhr.addEventListener('error', () => fail({
    ok: false, text: 'The upload could not be sent: the web server did not answer.', detail: '',
  }));
  xhr.send(new FormData(form));
}

// ------------------------------------------------------------ state panel --

const SVG_NS = 'http://www.w3.org/2000/svg';

function svg(tag, attrs, parent) {
  const el = document.createElementNS(SVG_NS, tag);
  for (const [k, v] of Object.entries(attrs || {})) el.setAttribute(k, String(v));
  if (parent) parent.appendChild(el);
  return el;
}

function html(tag, attrs, text, parent) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) el.setAttribute(k, String(v));
  if (text !== undefined && text !== null) el.textContent = String(text);
  if (parent) parent.appendChild(el);
  return el;
}

const isNum = (v) => typeof v === 'number' && Number.isFinite(v);
const hex = (v, width) => (isNum(v) ? '0x' + v.toString(16).toUpperCase().padStart(width || 0, '0') : '?');
const arr = (v) => (Array.isArray(v) ? v : []);

function bytes(n) {
  if (!isNum(n)) return '?';
  if (n >= 1 << 20 && n % (1 << 16) === 0) return `${n / (1 << 20)} MiB`;
  if (n >= 1024 && n % 1024 === 0) return `${n / 1024} KiB`;
  return `${n} bytes`;
}

// Where the map's fixed addresses say what a stretch of flash holds.
const MAP_WORDS = {
  FLASH_ADD_IMAGE: ['system image', 'other'],
  FLASH_ADD_WEB: ['web archive', 'other'],
  FLASH_ADD_FIRMW: ['CINT firmware', 'other'],
  FLASH_ADD_PARAM_MAINT: ['maintenance parameters', 'params'],
  FLASH_ADD_LOADER: ['CINT loader', 'other'],
  FLASH_ADD_PARAM_USER: ['user parameters', 'params'],
  FLASH_ADD_PARAM_PROD: ['product parameters', 'params'],
  FLASH_ADD_PARAM_RFU2: ['reserved (RFU2)', 'params'],
  FLASH_ADD_PARAM_RFU1: ['reserved (RFU1)', 'params'],
};

const STATE_WORDS = {
  erased: 'erased', valid: 'valid image', mismatch: 'byte sum mismatch',
  oversize: 'size exceeds the region', params: 'parameters', other: 'not written by uploads',
  outside: 'beyond the chip',
};

function regionState(r) {
  if (r.state === 'outside') return 'outside';
  if (r.state === 'erased') return 'erased';
  if (r.state === 'written') {
    if (r.agree === false) return 'mismatch';
    if (r.fits === false) return 'oversize';
    return 'valid';
  }
  return 'other';
}

// The image regions to draw: the firmware region has two layouts (8 or 10
// sectors) and the board says which one is in use.
function chosenRegions(show) {
  const sectors = show.board && show.board.firmwareSectorCount;
  const regions = arr(show.regions).filter((r) => isNum(r.offset) && isNum(r.sectors) && r.sectors > 0);
  const firmware = regions.filter((r) => String(r.name).startsWith('firmware'));
  const keep = firmware.find((r) => r.sectors === sectors) ||
               firmware.reduce((a, r) => (!a || r.sectors > a.sectors ? r : a), null);
  return regions.filter((r) => !String(r.name).startsWith('firmware') || r === keep);
}

// Consecutive stretches of the chip's address range, each with what it holds.
function flashSegments(show) {
  const chipSize = show.chip && isNum(show.chip.size) ? show.chip.size : 0;
  const map = arr(show.map).filter((m) => isNum(m.offset));
  const regions = chosenRegions(show);
  let extent = chipSize;
  for (const m of map) extent = Math.max(extent, Math.ceil((m.offset + 1) / SECTOR) * SECTOR);
  for (const r of regions) extent = Math.max(extent, r.offset + r.sectors * SECTOR);
  if (!extent) return null;

  const inRegion = (a) => regions.find((r) => a > r.offset && a < r.offset + r.sectors * SECTOR);
  const cuts = new Set([0, extent]);
  if (chipSize && chipSize < extent) cuts.add(chipSize);
  for (const m of map) if (m.offset % SECTOR === 0) cuts.add(m.offset);
  for (const r of regions) { cuts.add(r.offset); cuts.add(r.offset + r.sectors * SECTOR); }
  // A region is one box, unless the chip ends inside it (the web region of the 2 MiB chip).
  const points = [...cuts].filter((c) => c <= extent && (c === chipSize || !inRegion(c)))
    .sort((a, b) => a - b);

  const segments = [];
  for (let i = 0; i + 1 < points.length; ++i) {
    const start = points[i];
    const end = points[i + 1];
    const region = regions.find((r) => r.offset === start);
    const entry = map.find((m) => m.offset === start);
    const seg = { start, end, key: '', label: 'unused', state: 'other', lines: [], region: null };
    const continued = inRegion(start);
    if (continued) {
      seg.key = `${continued.name}-continued`;
      seg.label = `${continued.label || continued.name}, continued`;
    } else if (region) {
      seg.key = String(region.name);
      seg.label = region.label || region.name;
      seg.state = regionState(region);
      seg.region = region;
      if (region.state === 'written') {
        const agree = region.agree === false ? '≠' : '=';
        seg.lines.push(`${region.size} bytes, byte sum ${hex(region.storedSum, 8)} ${agree} ${hex(region.computedSum, 8)}`);
        if (region.version && region.version.text !== undefined) seg.lines.push(`version "${region.version.text}"`);
      }
    } else if (entry) {
      const words = MAP_WORDS[entry.name] || [String(entry.name).replace(/^FLASH_ADD_/, ''), 'other'];
      seg.key = String(entry.name);
      seg.label = words[0];
      seg.state = words[1];
      if (entry.name === 'FLASH_ADD_PARAM_PROD' && show.records && Array.isArray(show.records.packs)) {
        const packs = show.records.packs.filter((p) => p.status !== 'free');
        const valid = packs.filter((p) => p.status === 'valid').length;
        seg.lines.push(`${packs.length} pack${packs.length === 1 ? '' : 's'}, ${valid} valid`);
      }
    }
    if (chipSize && start >= chipSize) seg.state = 'outside';
    segments.push(seg);
  }
  return { extent, chipSize, segments };
}

function drawFlash(show) {
  const box = document.getElementById('flash-map');
  box.textContent = '';
  const chip = show.chip || {};
  document.getElementById('chip').textContent = isNum(chip.size)
    ? `(code ${chip.codeHex || hex(chip.code, 2)}, ${bytes(chip.size)})` : '';
  const layout = flashSegments(show);
  if (!layout) {
    html('p', { class: 'empty' }, 'The report has no flash map.', box);
    return;
  }
  const perSector = 10;
  const barW = 80;
  const width = 370;
  const height = (layout.extent / SECTOR) * perSector;
  const root = svg('svg', {
    viewBox: `0 0 ${width} ${height + 1}`, role: 'img',
    'aria-label': 'Flash map: each region a box in proportion to its size',
  }, box);
  const defs = svg('defs', {}, root);
  const hatch = svg('pattern', { id: 'hatch', width: 6, height: 6, patternUnits: 'userSpaceOnUse', patternTransform: 'rotate(45)' }, defs);
  svg('rect', { width: 6, height: 6, fill: '#fff' }, hatch);
  svg('rect', { width: 2, height: 6, fill: '#aab' }, hatch);

  for (const seg of layout.segments) {
    const y = (seg.start / SECTOR) * perSector;
    const h = ((seg.end - seg.start) / SECTOR) * perSector;
    const first = seg.start / SECTOR;
    const last = seg.end / SECTOR - 1;
    const g = svg('g', { 'data-region': seg.key || 'unused', 'data-state': seg.state }, root);
    const tip = [
      `${seg.label}: ${hex(seg.start, 6)}–${hex(seg.end - 1, 6)}, sector${first === last ? ` ${first}` : `s ${first}–${last}`} (${bytes(seg.end - seg.start)})`,
      STATE_WORDS[seg.state] || seg.state, ...seg.lines,
    ].join('\n');
    svg('title', {}, g).textContent = tip;
    svg('rect', { class: `box st-${seg.state}`, x: 0, y, width: barW, height: h }, g);
    if (seg.region && seg.region.state === 'written' && isNum(seg.region.size)) {
      // The part of the region that the image (behind its 8-byte header) fills.
      const used = Math.min(1, (seg.region.size + 8) / (seg.end - seg.start));
      svg('rect', { class: 'used', x: 0, y, width: barW, height: Math.max(1, used * h) }, g);
    }
    const sectors = first === last ? `${first}` : `${first}–${last}`;
    const head = `${seg.label} · ${sectors} · ${STATE_WORDS[seg.state] || seg.state}`;
    const t = svg('text', { x: barW + 8, y: y + Math.min(h / 2, 10) + 3.5 }, g);
    t.textContent = head;
    seg.lines.forEach((line, i) => {
      if ((i + 2) * 11 > h) return;
      const s = svg('text', { class: 'sub', x: barW + 8, y: y + 13.5 + (i + 1) * 11 }, g);
      s.textContent = line;
    });
  }
  if (layout.chipSize && layout.chipSize < layout.extent) {
    const y = (layout.chipSize / SECTOR) * perSector;
    svg('line', { x1: 0, x2: width, y1: y, y2: y, stroke: '#c23a32', 'stroke-dasharray': '4 3' }, root);
  }
}

function drawBoard(show) {
  const dl = document.getElementById('board');
  dl.textContent = '';
  const b = show.board;
  if (!b) {
    html('dd', {}, 'not in the report', dl);
    return;
  }
  const version = b.version === 2 ? '2 (NAND drive)' : b.version === 1 ? '1 (NOR image regions)' : b.version;
  const rows = [
    ['board', b.identified === false ? `not identified: its report could not be read (taken for ${version})`
      : version],
    ['loader generation', b.loaderGeneration === null ? 'not examined on this board' : b.loaderGeneration],
    ['firmware sectors', b.firmwareSectorCount],
    ['loader name', b.loaderName],
    ['firmware name', b.firmwareName],
  ];
  for (const [k, v] of rows) {
    if (v === undefined) continue;
    html('dt', {}, k, dl);
    html('dd', {}, v === '' ? '(none)' : v, dl);
  }
}

function drawRecords(show) {
  const box = document.getElementById('records');
  box.textContent = '';
  const r = show.records;
  if (!r) {
    html('p', { class: 'empty' }, 'Not in the report.', box);
    return;
  }
  if (r.present === false) {
    html('p', { class: 'empty' }, r.reason || 'This chip has no product parameter sector.', box);
    return;
  }
  const chain = html('div', { class: 'chain', role: 'list' }, null, box);
  arr(r.packs).forEach((p, i) => {
    if (i > 0) html('span', { class: 'arrow', 'aria-hidden': 'true' }, '→', chain);
    const status = ['valid', 'obsolete', 'writing', 'free'].includes(p.status) ? p.status : 'invalid';
    const el = html('div', { class: `pack ${status}`, role: 'listitem', title: `pack at ${p.offset}` }, null, chain);
    html('b', {}, p.status === 'free' ? 'free' : `id ${p.id} · ${p.status}`, el);
    html('span', {}, p.status === 'free' ? `${p.room} bytes left` : `${p.length} bytes at ${p.offset}`, el);
    if (isNum(p.version)) html('span', {}, ` · product format ${p.version}`, el);
    if (Array.isArray(p.networkCommands)) html('span', {}, ` · ${p.networkCommands.length} network commands`, el);
  });
  if (!arr(r.packs).length) html('p', { class: 'empty' }, 'No packs.', box);
  if (r.end) html('p', { class: 'hint' }, r.end, box);
  if (r.damaged) html('p', { class: 'hint' }, 'Damaged chain: its records load as the defaults until a full save erases the sector.', box);
  if (r.partErased) html('p', { class: 'hint' }, `Part-erased: ${r.strayBytes} bytes past the chain are not erased (a cut erase leaves this).`, box);
  if (r.unstableWeakBytes > 0) html('p', { class: 'hint' }, `${r.unstableWeakBytes} weak byte(s) read either way: loads may differ.`, box);
}

function drawTable(boxId, rows, columns, emptyText) {
  const box = document.getElementById(boxId);
  box.textContent = '';
  if (!rows.length) {
    html('p', { class: 'empty' }, emptyText, box);
    return;
  }
  const table = html('table', { class: 'list' }, null, box);
  const head = html('tr', {}, null, html('thead', {}, null, table));
  for (const c of columns) html('th', {}, c.title, head);
  const body = html('tbody', {}, null, table);
  for (const row of rows) {
    const tr = html('tr', {}, null, body);
    for (const c of columns) {
      const cls = [c.num ? 'num' : '', c.long ? 'long' : ''].filter(Boolean).join(' ');
      const td = html('td', cls ? { class: cls } : {}, c.value(row), tr);
      if (c.cls) td.className = c.cls(row) || td.className;
      if (c.tip && c.tip(row)) td.title = c.tip(row);
    }
  }
}

function drawFiles(show) {
  drawTable('nand-files', arr(show.nandFiles), [
    { title: 'file', value: (f) => f.name, long: true },
    { title: 'size', value: (f) => f.size, num: true },
    { title: 'byte sum', value: (f) => hex(f.byteSum, 8), num: true },
  ], show.nandFiles ? 'No files.' : 'Not in the report.');
  drawTable('gps-files', arr(show.gpsConfigurations), [
    { title: 'file', value: (f) => f.name, long: true },
    { title: 'size', value: (f) => f.size, num: true },
  ], show.gpsConfigurations ? 'None stored.' : 'Not in the report.');
}

function drawPeersLog(lines) {
  // Newest first: the line that the last upload caused is the one to see.
  const rows = arr(lines).slice().reverse().map((line) => {
    try {
      const v = JSON.parse(line);
      return v && typeof v === 'object' ? v : { error: 'not a log record' };
    } catch (e) {
      return { error: 'unreadable line' };
    }
  });
  drawTable('peers-log', rows, [
    { title: 'peer', value: (r) => r.peer || '' },
    { title: 'message', value: (r) => r.message || r.kind || '', long: true },
    { title: 'file read', value: (r) => (r.sha256 ? `${r.size} bytes, SHA-256 ${String(r.sha256).slice(0, 12)}…` : r.error || ''),
      long: true, tip: (r) => (r.sha256 ? `SHA-256 ${r.sha256}` : '') },
    { title: 'answer', value: (r) => (r.status === undefined ? '' : r.status === null ? r.answer || 'none' : `status ${r.status}`) },
  ], 'Nothing received yet.');
}

let stateRequest = 0;
// The last state report drawn, and an outcome still to be stated again once
// the report gives the facts it lacked (the board, the limits).
let lastShow = null;
let pendingOutcome = null;

function restateOutcome(show) {
  if (!pendingOutcome) return;
  const { q, last } = pendingOutcome;
  pendingOutcome = null;
  const outcome = describeOutcome(q, { ...(last || {}), facts: factsOf(show) });
  if (outcome) showOutcome(outcome);
}

async function refreshState() {
  const status = document.getElementById('state-status');
  const mine = ++stateRequest;
  let data;
  try {
    const res = await fetch(STATE_URL, { cache: 'no-store' });
    if (!res.ok) throw new Error(`HTTP status ${res.status}`);
    data = await res.json();
  } catch (e) {
    if (mine === stateRequest) status.textContent = `The instrument's state cannot be read: ${e.message}.`;
    return;
  }
  if (mine !== stateRequest) return;
  const show = data && typeof data.show === 'object' && data.show ? data.show : {};
  lastShow = show;
  // On board 2 the images go to the NAND drive: its files lead the panel.
  document.getElementById('state').dataset.board = show.board ? String(show.board.version) : '';
  drawFlash(show);
  drawBoard(show);
  drawRecords(show);
  drawFiles(show);
  drawPeersLog(data.peersLog);
  const when = new Date().toLocaleTimeString();
  status.textContent = data.showError
    ? `Report incomplete: ${data.showError}`
    : `Read at ${when} from ${data.root || 'the instrument root'}.`;
  document.getElementById('state').dataset.loaded = String(mine);
  restateOutcome(show);
}

// ------------------------------------------------------------------ start --

function start() {
  const q = readQuery(location.search);
  const last = takeLastUpload();
  const outcome = describeOutcome(q, last);
  if (outcome) showOutcome(outcome);
  // A 2007's cause (another upload, the board) is in the report read after it.
  const after = q.get('error') === '2007' || q.get('restoresettingserror') === '2007';
  if (outcome && (after || !(last && last.facts))) pendingOutcome = { q, last };

  const port = document.getElementById('udp-port');
  const udp = document.getElementById('form-udp');
  const syncPort = () => { udp.setAttribute('action', udpAction(port.value)); };
  port.addEventListener('change', syncPort);
  syncPort();

  for (const form of document.querySelectorAll('form.upload')) {
    form.addEventListener('submit', (ev) => {
      ev.preventDefault();
      upload(form);
    });
  }
  document.getElementById('state-refresh').addEventListener('click', refreshState);
  refreshState();
}

document.addEventListener('DOMContentLoaded', start);
