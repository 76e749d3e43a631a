// Drives Debian's Chromium (through playwright-core) against the page, for
// the page tests (web_e2e_test.cpp), which set up the simulated boards first.
// Usage: node drive.js CONFIG_JSON; prints one JSON line: what the page showed.
// CONFIG: web (the built page), port, shim (the preloaded sysfs shim), hex,
// mcu, usb, action ("load", "flash", "connect" or "station"), boards (station: how many
// end), shots (a folder for screenshots, or ""), timeout_ms, ready (station:
// a file written once the page is in station mode, for a test that plugs its
// boards in then). QV_CHROMIUM_ARGS in the environment: more switches for
// Chromium, when debugging (such as --enable-logging=stderr). variant:
// "no-webhid" (the page as a browser without WebHID shows it) or "insecure"
// (served under a name that is not localhost, over http). keyboard (flash):
// reach the Flash button with Tab alone and press Enter. above64k: tick the
// box of -above64k before the file is picked.
'use strict';
const { chromium } = require('playwright-core');
const fs = require('fs');
const http = require('http');
const path = require('path');

const config = JSON.parse(process.argv[2]);
const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm' };

function serve() {
  const server = http.createServer((request, response) => {
    const name = path.basename(new URL(request.url, 'http://x').pathname) || 'index.html';
    const file = path.join(config.web, name);
    if (!fs.existsSync(file)) { response.statusCode = 404; response.end(); return; }
    response.setHeader('content-type', types[path.extname(file)] || 'application/octet-stream');
    response.end(fs.readFileSync(file));
  });
  return new Promise(resolve => server.listen(config.port, '127.0.0.1', () => resolve(server)));
}

async function layout(page) {
  const result = {};
  for (const width of [1280, 400]) {
    await page.setViewportSize({ width, height: 900 });
    result[width] = await page.evaluate(() => {
      const root = document.documentElement;
      const outside = [...document.querySelectorAll('main *')].filter(e => {
        const r = e.getBoundingClientRect();
        return r.width > 0 && r.right > window.innerWidth + 0.5;
      }).map(e => e.tagName + (e.id ? '#' + e.id : ''));
      return { scroll: root.scrollWidth - root.clientWidth, outside };
    });
  }
  return result;
}

// The lowest contrast ratio (WCAG's) of the page's visible text against
// what lies behind it, and where.
async function contrast(page) {
  return page.evaluate(() => {
    const rgb = text => text.match(/[\d.]+/g).map(Number);
    const luminance = ([r, g, b]) => {
      const lin = c => (c /= 255) <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
      return 0.2126 * lin(r) + 0.7152 * lin(g) + 0.0722 * lin(b);
    };
    const behind = e => {
      for (; e; e = e.parentElement) {
        const c = rgb(getComputedStyle(e).backgroundColor);
        if (c.length < 4 || c[3] > 0) return c;
      }
      return [255, 255, 255];
    };
    let lowest = { ratio: 99, where: '' };
    for (const e of document.querySelectorAll('h1, h2, p, pre, label, button, li, td, th, input, summary')) {
      if (!e.getClientRects().length || !e.textContent.trim() && e.tagName !== 'INPUT') continue;
      const [a, b] = [luminance(rgb(getComputedStyle(e).color)), luminance(behind(e))];
      const ratio = (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05);
      if (ratio < lowest.ratio) lowest = { ratio: Math.round(ratio * 100) / 100, where: e.tagName + (e.id ? '#' + e.id : '') };
    }
    return lowest;
  });
}

const started = Date.now();
const note = what => process.stderr.write(`drive.js ${((Date.now() - started) / 1000).toFixed(2)} s: ${what}\n`);

(async () => {
  const server = await serve();
  const browser = await chromium.launch({
    executablePath: '/usr/lib/chromium/chromium',
    args: ['--no-sandbox', ...(process.env.QV_CHROMIUM_ARGS ? process.env.QV_CHROMIUM_ARGS.split(' ') : []),
      // A name for the loopback that is not "localhost": no secure context.
      ...(config.variant === 'insecure' ? ['--host-resolver-rules=MAP insecure.test 127.0.0.1'] : [])],
    env: { ...process.env, LD_PRELOAD: config.shim },
  });
  note('Chromium started');
  const out = { errors: [] };
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
    page.on('pageerror', e => { note(String(e)); out.errors.push(String(e)); });
    page.on('console', m => { if (m.type() === 'error') { note('console: ' + m.text()); out.errors.push(m.text()); } });
    const shot = async name => config.shots &&
      page.screenshot({ path: path.join(config.shots, name + '.png'), fullPage: name !== 'during' });
    // As a browser without WebHID (Firefox, Safari) shows the page.
    if (config.variant === 'no-webhid') await page.addInitScript(() => { delete Navigator.prototype.hid; });
    await page.goto(`http://${config.variant === 'insecure' ? 'insecure.test' : '127.0.0.1'}:${config.port}/`);
    await page.waitForSelector('body[data-ready=yes]', { timeout: 20000 });
    out.devices = await page.evaluate(async () => (navigator.hid ? (await navigator.hid.getDevices()).length : -1));
    note(`page ready, ${out.devices} devices`);
    // Typed in as a person would; Escape closes the part's list of names.
    for (const [id, value] of [['#mcu', config.mcu], ['#usb', config.usb || '']]) {
      await page.fill(id, value);
      await page.press(id, 'Escape');
      await page.dispatchEvent(id, 'change');
    }
    // As -above64k: the whole flash of a 128 KiB part.
    if (config.above64k) await page.check('#above64k');
    await page.setInputFiles('#file', config.hex);
    await page.waitForFunction(() => document.getElementById('file-result').textContent !== '');
    const text = id => page.evaluate(i => document.getElementById(i).textContent, id);
    if (config.action === 'flash') {
      await shot('before');
      const started = Date.now();
      // (A pointer click right after typing in the part's field, whose list
      // of names may be open, does not always reach the button.)
      if (config.keyboard) {
        // With the keyboard alone: Tab from the top to the Flash button, Enter.
        // A click on the page's top corner starts the Tab order there, as on a fresh page.
        await page.evaluate(() => document.activeElement && document.activeElement.blur());
        await page.mouse.click(2, 2);
        out.tab_order = [];
        for (let presses = 0; presses < 30 && out.tab_order[out.tab_order.length - 1] !== 'flash'; presses++) {
          await page.keyboard.press('Tab');
          out.tab_order.push(await page.evaluate(() => {
            const e = document.activeElement;
            return e.id || e.tagName + (e.name ? '[' + e.name + ']' : '') + (e.type ? ':' + e.type : '');
          }));
        }
        await page.keyboard.press('Enter');
      } else {
        await page.evaluate(() => document.getElementById('flash').click());
      }
      await page.waitForFunction(() => /%/.test(document.getElementById('progress-text').textContent) ||
        document.getElementById('status').textContent !== '', null, { timeout: config.timeout_ms, polling: 20 });
      if ((await text('status')) === '') {
        await shot('during');
        out.during = await text('progress-text');
      }
      await page.waitForFunction(() => document.getElementById('status').textContent !== '', null,
        { timeout: config.timeout_ms, polling: 5 });
      out.seconds = (Date.now() - started) / 1000;
      await shot('after');
    } else if (config.action === 'connect') {
      // Connect as a person presses it: the browser's chooser, asked for the
      // devices that the page's filters name (recorded on the way through).
      await page.evaluate(() => {
        const ask = navigator.hid.requestDevice.bind(navigator.hid);
        navigator.hid.requestDevice = options => {
          window.asked = options;
          window.chosen = 'open';
          return ask(options).then(d => { window.chosen = d.length + ' chosen'; return d; },
            e => { window.chosen = String(e); throw e; });
        };
      });
      await page.click('#connect');
      await page.waitForFunction(() => window.asked !== undefined || document.getElementById('board-message').textContent,
        null, { timeout: config.timeout_ms });
      // Headless, the chooser has no window: it stays open, and nobody picks.
      await page.waitForTimeout(500);
      out.filters = await page.evaluate(() => window.asked && window.asked.filters);
      out.chosen = await page.evaluate(() => window.chosen || '');
      out.boards = await page.evaluate(() => [...document.querySelectorAll('#boards li')].map(e => e.textContent));
    } else if (config.action === 'station') {
      await page.evaluate(() => { document.getElementById('station').checked = true; document.getElementById('flash').click(); });
      // The test plugs its boards in from now on.
      if (config.ready) fs.writeFileSync(config.ready, 'station\n');
      await page.waitForFunction(n => {
        const m = /^(\d+) done, (\d+) failed, 0 in progress$/.exec(document.getElementById('summary').textContent);
        return m && Number(m[1]) + Number(m[2]) === n;
      }, config.boards, { timeout: config.timeout_ms, polling: 20 });
      if (config.shots) await shot('station');
      out.rows = await page.evaluate(() => [...document.querySelectorAll('#rows tbody tr')].map(r => r.cells[2].textContent));
    }
    for (const id of ['file-result', 'status', 'progress-text', 'summary', 'log', 'board-message', 'support'])
      out[id] = await text(id);
    if (config.layout) {
      out.layout = await layout(page);
      out.contrast = { light: await contrast(page) };
      // The system's dark mode, as a person using it sees the page.
      await page.emulateMedia({ colorScheme: 'dark' });
      out.dark = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
      out.contrast.dark = await contrast(page);
      await shot('dark-400');
    }
  } catch (e) {
    out.errors.push(String(e));
  }
  note('done');
  await browser.close();
  server.close();
  process.stdout.write(JSON.stringify(out) + '\n');
})().catch(e => { process.stdout.write(JSON.stringify({ errors: [String(e)] }) + '\n'); process.exit(1); });
