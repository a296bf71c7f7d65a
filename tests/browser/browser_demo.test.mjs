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
  // peers: options of `instrument peers`; env: more variables for the CGI programs.
  constructor(board, { peers = [], env = {} } = {}) {
    this.board = board;
    this.peerOptions = peers;
    this.env = env;
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
    this.peers = spawn(path.join(binDir, 'instrument'), ['peers', this.root, ...this.peerOptions],
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
        .replaceAll('@ROOT@', this.root) + Object.entries(this.env)
        .map(([k, v]) => `setenv.add-environment += ("${k}" => "${v}")\n`).join('');
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
// result page's Refresh leads back to, with its state panel drawn; during()
// looks at the page while the request runs.
async function uploadThrough(page, formId, filePath, during = async () => {}) {
  await page.setInputFiles(`#${formId} input[type=file]`, filePath);
  const before = page.url();
  await Promise.all([
    page.waitForURL((u) => u.href !== before && /[?&](type|error|restoresettingserror)=/.test(u.search)),
    page.click(`#${formId} button[type=submit]`).then(() => during()),
  ]);
  await page.waitForSelector('#state[data-loaded]');
  return { url: new URL(page.url()), outcome: (await page.textContent('#outcome')).trim(),
    outcomeClass: await page.getAttribute('#outcome', 'class') };
}

const firmwareBox = (page) => page.locator('#flash-map g[data-region^="firmware"]');
const boardFact = (page, name) => page.locator(`#board dt:text-is("${name}") + dd`).textContent();

describe('board with NOR image regions', () => {
  const inst = new Instrument(1);
  let page;
  servePage(inst, (p) => { page = p; });

  test('a CINT firmware upload shows the flash being written, then fills the firmware region', async () => {
    assert.equal(await firmwareBox(page).getAttribute('data-state'), 'erased');
    // The erased version block names no firmware.
    assert.equal(await boardFact(page, 'firmware name'), '(none)');
    // Each sector's erase now answers busy twice (0.2 s each): long enough to watch.
    fs.appendFileSync(path.join(inst.root, 'flash/nor.conf'), 'erase_busy_reads=2\n');
    const image = imageBytes(100000);
    fs.mkdirSync(artifactDir, { recursive: true });
    const r = await uploadThrough(page, 'form-image', inst.file('FrmWCINT_browser.bin', image), async () => {
      await page.waitForSelector('#outcome.writing[data-phase="erasing"]');
      const text = await page.textContent('#outcome');
      assert.match(text, /^Writing the instrument's flash — do not switch it off\. Erasing sector \d+ of 10 of "FrmWCINT_browser\.bin"\.$/);
      assert.equal(await page.locator('#outcome progress').count(), 1);
      await page.screenshot({ path: path.join(artifactDir, 'demo-writing-flash.png') });
    });
    fs.writeFileSync(path.join(inst.root, 'flash/nor.conf'), 'code=0x93\n');
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
    assert.equal(await boardFact(page, 'firmware name'), 'FrmWCINT_browser');
    await page.screenshot({ path: path.join(artifactDir, 'demo-after-firmware-upload.png'), fullPage: true });
  });

  test('a firmware too small for its region is refused and the region keeps its image', async () => {
    const r = await uploadThrough(page, 'form-image', inst.file('FrmWCINT_small.bin', imageBytes(1000)));
    assert.equal(r.url.search, '?error=2008&version=v2.11');
    assert.equal(r.outcome, 'Error 2008: the file\'s size (1,000 bytes) is outside the limits of ' +
      'its target: a CINT firmware on this board\'s 10 sectors takes 65,536 to 655,224 bytes ' +
      '(and a web archive takes 0 to 1,376,248 bytes; a CINT loader takes 1,024 to 65,272 bytes). ' +
      'Reported by upgrade.cgi v2.11.');
    assert.equal(r.outcomeClass, 'error');
    assert.equal(await firmwareBox(page).getAttribute('data-state'), 'valid');
    assert.match(await firmwareBox(page).locator('title').textContent(), /version "FrmWCINT_browser"/);
  });

  test('a DSP image goes to the loader service, which the peers log shows', async () => {
    const hexFile = `:10000000${'AB'.repeat(16)}45\n:00000001FF\n`;
    // A space and a percent sign come back escaped (or, for a lone %, as they were).
    const r = await uploadThrough(page, 'form-image', inst.file('FrmWDSP_browser 100%.hex', hexFile));
    assert.equal(r.outcome, 'DSP firmware "FrmWDSP_browser 100%.hex" handed to the loader service.');
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
    // A name that would add keys to the application's message is refused, and the page says why.
    await page.selectOption('#udp-port', '3');
    const refused = await uploadThrough(page, 'form-udp', inst.file('a&mode=9.txt', 'udp\n'));
    assert.equal(refused.url.search, '?error=2003&version=v2.11&port=3');
    assert.equal(refused.outcome, 'Error 2003 (UDP output 3): the file name holds &, = or : or a control ' +
      'character, which a message to the instrument\'s services cannot carry. Reported by upgrade.cgi v2.11.');
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

  test('at 400 px the page, long peer log lines included, never scrolls sideways', async () => {
    await page.setViewportSize({ width: 400, height: 900 });
    try {
      assert.ok((await page.locator('#peers-log tbody tr').count()) >= 2);
      const widths = await page.evaluate(() => [document.documentElement.scrollWidth,
        document.documentElement.clientWidth]);
      assert.ok(widths[0] <= widths[1], `page ${widths[0]} px wide in a ${widths[1]} px window`);
      await page.screenshot({ path: path.join(artifactDir, 'demo-400px.png'), fullPage: true });
    } finally {
      await page.setViewportSize({ width: 1500, height: 1000 });
    }
  });

  test('a cross-site refusal and an escaped or malformed name are stated', async () => {
    await page.goto(`${inst.url}index.html?error=2009&version=v2.11`);
    assert.equal((await page.textContent('#outcome')).trim(),
      'Error 2009: refused: the request came from another site. Reported by upgrade.cgi v2.11.');
    await page.goto(`${inst.url}index.html?type=FirmwareDSP&name=a%25b%ZZ%C3%A9%E2`);
    assert.equal((await page.textContent('#outcome')).trim(),
      'DSP firmware "a%b%ZZé%E2" handed to the loader service.');
    await page.waitForSelector('#state[data-loaded]');
  });
});

describe('board with a NAND drive', () => {
  // The loader service answers a DSP image after 4 s, and an upload waits at most 0.5 s for another.
  const inst = new Instrument(2, { peers: ['--loader-delay-ms', '4000'], env: { QUIB_LOCK_WAIT_MS: '500' } });
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
    assert.equal(r.outcome, 'CINT firmware "FrmWCINT_nand.bin" copied to the NAND drive (/NANDdrive/firm/).');
    const nand = await page.locator('#nand-files tbody').textContent();
    assert.ok(nand.includes('FrmWCINT_nand.bin') && nand.includes('70000'), nand);
    // The drive leads the panel; the NOR map follows, marked as not written here.
    const top = async (sel) => (await page.locator(sel).boundingBox()).y;
    assert.ok(await top('#nand') <= await top('#flash') && await top('#nand') < await top('#board'),
      'the NAND drive leads the panel');
    assert.ok(await page.locator('#flash-board2').isVisible());
    await page.screenshot({ path: path.join(artifactDir, 'demo-board2.png'), fullPage: true });
  });

  test('an upload while another runs, and a board that cannot be identified, write nothing and say why', async () => {
    const nand = () => fs.readdirSync(path.join(inst.root, 'NANDdrive/firm')).sort();
    const before = nand();
    const body = new FormData();
    body.append('Filedata', new Blob(['dsp']), 'FrmWDSP_slow.hex');
    const slow = fetch(`${inst.url}cgi-bin/upgrade.cgi`, { method: 'POST', body });
    await until('the DSP upload being handled', () => fs.readdirSync(path.join(inst.root, 'tmp'))
      .some((n) => n.startsWith('quib')));
    let r = await uploadThrough(page, 'form-image', inst.file('FrmWCINT_busy.bin', imageBytes(70000)));
    assert.equal(r.url.search, '?error=2007&version=v2.11');
    assert.equal(r.outcome, 'Error 2007: another upload is still running: wait until it has ended, then ' +
      'upload again. Reported by upgrade.cgi v2.11.');
    assert.match(await (await slow).text(), /type=FirmwareDSP&name=FrmWDSP_slow\.hex/);

    // The board report program fails: neither the NAND drive nor the NOR flash takes the image.
    const chip = fs.readFileSync(path.join(inst.root, 'flash/nor.img'));
    fs.writeFileSync(path.join(inst.root, 'proc/boot/pidin'), '#!/bin/sh\nexit 1\n');
    await page.goto(inst.url);  // the same outcome again must still lead somewhere new
    await page.waitForSelector('#state[data-loaded]');
    r = await uploadThrough(page, 'form-image', inst.file('FrmWCINT_lost.bin', imageBytes(70000)));
    assert.equal(r.url.search, '?error=2007&version=v2.11');
    assert.equal(r.outcome, 'Error 2007: the board could not be identified (its report could not be written ' +
      'or read), so the image was not written: nothing was changed. Reported by upgrade.cgi v2.11.');
    assert.match(await boardFact(page, 'board'), /^not identified: its report could not be read/);
    assert.deepEqual(nand(), before);
    assert.ok(fs.readFileSync(path.join(inst.root, 'flash/nor.img')).equals(chip), 'the chip is as it was');
    await page.setViewportSize({ width: 400, height: 900 });
    try {
      const widths = await page.evaluate(() => [document.documentElement.scrollWidth,
        document.documentElement.clientWidth]);
      assert.ok(widths[0] <= widths[1], `page ${widths[0]} px wide in a ${widths[1]} px window`);
    } finally {
      await page.setViewportSize({ width: 1500, height: 1000 });
    }
  });
});
