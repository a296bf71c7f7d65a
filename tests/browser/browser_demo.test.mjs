// The demo instrument page in a real browser: lighttpd serves web/ beside the
// built upgrade.cgi and state.cgi for a fresh instrument root, the simulated
// peers answer, and headless chromium uploads through the page's forms.
//
// Environment (set by CTest): QUIB_BIN_DIR, QUIB_WEB_DIR, QUIB_ARTIFACT_DIR
// (screenshots), and optionally CHROMIUM (default /usr/bin/chromium).
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

const SKIP = 77;
const binDir = process.env.QUIB_BIN_DIR;
const webDir = process.env.QUIB_WEB_DIR;
const artifactDir = process.env.QUIB_ARTIFACT_DIR;
const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';
const lighttpdPath = ['/usr/sbin/lighttpd', '/usr/bin/lighttpd'].find((p) => fs.existsSync(p));

if (!binDir || !webDir || !artifactDir) {
  console.error('QUIB_BIN_DIR, QUIB_WEB_DIR and QUIB_ARTIFACT_DIR must be set (run through ctest)');
  process.exit(1);
}
let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch (e) {
  console.log('SKIP: playwright-core is not installed (make test-deps runs npm ci in tests/browser)');
  process.exit(SKIP);
}
if (!fs.existsSync(chromiumPath) || !lighttpdPath) {
  console.log(`SKIP: needs ${chromiumPath} and lighttpd (make test-deps installs them)`);
  process.exit(SKIP);
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function until(what, check, timeoutMs = 10000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    if (await check()) return;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(20);
  }
}

function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

function portOpen(port) {
  return new Promise((resolve) => {
    const s = net.connect(port, '127.0.0.1');
    s.on('connect', () => { s.destroy(); resolve(true); });
    s.on('error', () => resolve(false));
  });
}

function alive(child) {
  return child.exitCode === null && child.signalCode === null;
}

async function stop(child) {
  if (!child || !alive(child)) return;
  const exited = new Promise((r) => child.once('exit', r));
  child.kill('SIGTERM');
  const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
  await exited;
  clearTimeout(timer);
}

// One simulated instrument behind its own lighttpd: root, peers, web server.
class Instrument {
  constructor(board) {
    this.board = board;
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quibbrowser-'));
    this.root = path.join(this.dir, 'root');
    this.run = path.join(this.dir, 'run');
    this.files = path.join(this.dir, 'files');
    fs.mkdirSync(path.join(this.run, 'uploads'), { recursive: true });
    fs.mkdirSync(this.files);
  }

  async start() {
    execFileSync(path.join(binDir, 'instrument'),
      ['init', this.root, '--board', String(this.board), '--flash', '0x93', '--loader-generation', '4'],
      { stdio: ['ignore', 'inherit', 'inherit'] });
    this.peersOut = fs.openSync(path.join(this.run, 'peers.out'), 'w');
    this.peers = spawn(path.join(binDir, 'instrument'), ['peers', this.root],
      { stdio: ['ignore', this.peersOut, this.peersOut] });
    const sock = (n) => path.join(this.root, 'dev/name/local', n);
    await until('the peers', () => {
      if (!alive(this.peers)) throw new Error(`instrument peers ended:\n${this.log('peers.out')}`);
      return fs.existsSync(sock('firmware')) && fs.existsSync(sock('loader'));
    });

    // The port is found free and then bound by lighttpd: another program may
    // take it in between, so a refused bind is retried on a fresh port.
    const template = fs.readFileSync(path.join(webDir, 'lighttpd.conf.in'), 'utf8');
    for (let attempt = 1; ; ++attempt) {
      this.port = await freePort();
      const conf = template
        .replaceAll('@PORT@', String(this.port)).replaceAll('@WEB_DIR@', webDir)
        .replaceAll('@RUN_DIR@', this.run).replaceAll('@BIN_DIR@', binDir)
        .replaceAll('@ROOT@', this.root);
      const confPath = path.join(this.run, 'lighttpd.conf');
      fs.writeFileSync(confPath, conf);
      // The programs' standard error reaches lighttpd's: kept for the sanitizer check.
      const out = fs.openSync(path.join(this.run, 'httpd.out'), 'a');
      this.httpd = spawn(lighttpdPath, ['-D', '-f', confPath], { stdio: ['ignore', out, out] });
      fs.closeSync(out);
      try {
        await until('lighttpd', async () => {
          if (!alive(this.httpd)) throw new Error(`lighttpd ended:\n${this.log('lighttpd-error.log')}`);
          return portOpen(this.port);
        });
        break;
      } catch (e) {
        await stop(this.httpd);
        if (attempt === 3) throw e;
      }
    }
    this.url = `http://127.0.0.1:${this.port}/`;
  }

  log(name) {
    try { return fs.readFileSync(path.join(this.run, name), 'utf8'); } catch (e) { return ''; }
  }

  file(name, content) {
    const p = path.join(this.files, name);
    fs.writeFileSync(p, content);
    return p;
  }

  // What the CGI programs wrote to standard error; sanitizer reports land there.
  programErrors() {
    return this.log('httpd.out');
  }

  async close() {
    await stop(this.httpd);
    await stop(this.peers);
    if (this.peersOut !== undefined) fs.closeSync(this.peersOut);
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

// An image whose bytes are not all alike, so that a wrong byte shows in the sum.
function imageBytes(size) {
  const b = Buffer.alloc(size);
  for (let i = 0; i < size; ++i) b[i] = (i * 131 + (i >> 8)) & 0xff;
  return b;
}

let context;
let userDataDir;

before(async () => {
  userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'quibchromium-'));
  context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: chromiumPath,
    headless: true,
    viewport: { width: 1500, height: 1000 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  if (context) await context.close();
  if (userDataDir) fs.rmSync(userDataDir, { recursive: true, force: true });
});

// Opens the page and waits until the state panel has drawn the report.
async function openPage(inst) {
  const page = await context.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(e.message));
  page.problems = problems;
  await page.goto(inst.url);
  await page.waitForSelector('#state[data-loaded]');
  return page;
}

// Starts the instrument and opens its page before a board's tests; afterwards
// checks that neither the page nor the programs failed on the way, and stops.
function servePage(inst, setPage) {
  let page;
  before(async () => {
    await inst.start();
    page = await openPage(inst);
    setPage(page);
  });
  after(async () => {
    try {
      if (page) assert.deepEqual(page.problems, [], 'the page raised no script error');
      assert.doesNotMatch(inst.programErrors(), /Sanitizer|runtime error/, inst.programErrors());
    } finally {
      await inst.close();
    }
  });
}

// Chooses the file in one form, submits it, and waits for the page that the
// result page's Refresh leads back to, with its state panel drawn.
async function uploadThrough(page, formId, filePath) {
  await page.setInputFiles(`#${formId} input[type=file]`, filePath);
  const before = page.url();
  await Promise.all([
    page.waitForURL((u) => u.href !== before && /[?&](type|error|restoresettingserror)=/.test(u.search)),
    page.click(`#${formId} button[type=submit]`),
  ]);
  await page.waitForSelector('#state[data-loaded]');
  return { url: new URL(page.url()), outcome: (await page.textContent('#outcome')).trim(),
    outcomeClass: await page.getAttribute('#outcome', 'class') };
}

const firmwareBox = (page) => page.locator('#flash-map g[data-region^="firmware"]');

describe('board with NOR image regions', () => {
  const inst = new Instrument(1);
  let page;
  servePage(inst, (p) => { page = p; });

  test('a CINT firmware upload is stated and fills the firmware region of the map', async () => {
    assert.equal(await firmwareBox(page).getAttribute('data-state'), 'erased');
    const image = imageBytes(100000);
    const r = await uploadThrough(page, 'form-image', inst.file('FrmWCINT_browser.bin', image));
    assert.equal(r.url.pathname, '/index.html');
    assert.equal(r.url.search, '?type=FirmwareCINT&name=FrmWCINT_browser.bin');
    assert.equal(r.outcome, 'CINT firmware "FrmWCINT_browser.bin" stored in the instrument\'s flash.');
    assert.equal(r.outcomeClass, 'ok');

    const box = firmwareBox(page);
    assert.equal(await box.getAttribute('data-state'), 'valid');
    const sum = image.reduce((s, b) => s + b, 0);
    const details = await box.locator('title').textContent();
    assert.match(details, /100000 bytes/);
    assert.ok(details.includes(`0x${sum.toString(16).toUpperCase().padStart(8, '0')}`), details);
    assert.match(details, /version "FrmWCINT_browser"/);
    fs.mkdirSync(artifactDir, { recursive: true });
    await page.screenshot({ path: path.join(artifactDir, 'demo-after-firmware-upload.png'), fullPage: true });
  });

  test('a firmware too small for its region is refused and the region keeps its image', async () => {
    const r = await uploadThrough(page, 'form-image', inst.file('FrmWCINT_small.bin', imageBytes(1000)));
    assert.equal(r.url.search, '?error=2008&version=v2.11');
    assert.equal(r.outcome, 'Error 2008: the file\'s size is outside the limits of its target. ' +
      'Reported by upgrade.cgi v2.11.');
    assert.equal(r.outcomeClass, 'error');
    assert.equal(await firmwareBox(page).getAttribute('data-state'), 'valid');
    assert.match(await firmwareBox(page).locator('title').textContent(), /version "FrmWCINT_browser"/);
  });

  test('a DSP image goes to the loader service, which the peers log shows', async () => {
    const hexFile = `:10000000${'AB'.repeat(16)}45\n:00000001FF\n`;
    const r = await uploadThrough(page, 'form-image', inst.file('FrmWDSP_browser.hex', hexFile));
    assert.equal(r.url.search, '?type=FirmwareDSP&name=FrmWDSP_browser.hex');
    assert.equal(r.outcome, 'DSP firmware "FrmWDSP_browser.hex" handed to the loader service.');
    const newest = page.locator('#peers-log tbody tr').first();
    const text = await newest.textContent();
    assert.match(text, /loader/);
    assert.ok(text.includes(`${Buffer.byteLength(hexFile)} bytes`), text);
  });

  test('the UDP form puts the chosen output into the query string', async () => {
    await page.selectOption('#udp-port', '3');
    const r = await uploadThrough(page, 'form-udp', inst.file('Port3.txt', 'udp 3\n'));
    assert.equal(r.url.search, '?type=UDP&name=Port3.txt&port=3');
    assert.equal(r.outcome, 'UDP configuration "Port3.txt" sent to UDP output 3.');
    assert.match(await page.locator('#peers-log tbody tr').first().textContent(), /firmware.*UDPConf3=Port3\.txt/);
  });

  test('a GPS configuration needs a NAND drive; a name without gps_ is not sent', async () => {
    const r = await uploadThrough(page, 'form-gps', inst.file('gps_rtk.txt', 'GPS RTK\n'));
    assert.equal(r.url.search, '?restoresettingserror=2003');
    assert.match(r.outcome, /^The GPS configuration "gps_rtk\.txt" was not stored: error 2003: .*NAND drive/);

    const before = page.url();
    await page.setInputFiles('#form-gps input[type=file]', inst.file('rtk.txt', 'GPS\n'));
    await page.click('#form-gps button[type=submit]');
    await page.waitForSelector('#form-gps .form-error:not([hidden])');
    assert.match(await page.textContent('#form-gps .form-error'), /must begin with gps_/);
    assert.equal(page.url(), before);
  });
});

describe('board with a NAND drive', () => {
  const inst = new Instrument(2);
  let page;
  servePage(inst, (p) => { page = p; });

  test('a GPS configuration is stored and listed; a firmware lands on the NAND drive', async () => {
    const gps = 'GPS RTK configuration\n'.repeat(10);
    let r = await uploadThrough(page, 'form-gps', inst.file('gps_rtk.txt', gps));
    assert.equal(r.url.search, '?restoresettingserror=1');
    assert.equal(r.outcome, 'GPS configuration "gps_rtk.txt" stored.');
    const row = await page.locator('#gps-files tbody tr').first().textContent();
    assert.ok(row.includes('gps_rtk.txt') && row.includes(String(gps.length)), row);

    r = await uploadThrough(page, 'form-image', inst.file('FrmWCINT_nand.bin', imageBytes(70000)));
    assert.equal(r.url.search, '?type=FirmwareCINT&name=FrmWCINT_nand.bin');
    const nand = await page.locator('#nand-files tbody').textContent();
    assert.ok(nand.includes('FrmWCINT_nand.bin') && nand.includes('70000'), nand);
  });
});
