// The page: the file, the part, the board and the upload. Everything that
// reads the file, walks the upload and words a message is the core
// (quorvel_core.wasm, the same C++ as the command line's); this script only
// moves bytes between it, the page and WebHID.
'use strict';

const $ = id => document.getElementById(id);
const WRITE_NO_ANSWER = 0, WRITE_BOARD_GONE = 1;
const BROWSER_GRACE_MS = 1000;
const PROGRESS_EVERY_MS = 250;
const state = { file: null, module: null, core: null, station: false, flashed: new Set(), active: 0, done: 0, failed: 0 };

// A core of its own for each board: the module compiled once, instantiated anew.
function newCore() {
  return QuorvelCore({
    instantiateWasm(imports, receive) {
      WebAssembly.instantiate(state.module, imports).then(instance => receive(instance, state.module));
      return {};
    },
  });
}

// A call into the core; awaited, as the core may wait for the browser
// (WebCrypto's digest, WebHID's reports) through Asyncify.
async function call(core, name, types, args) {
  return JSON.parse(await core.ccall(name, 'string', types, args, { async: true }));
}

// The file read with the core for the part named: the dry run's figures, or
// the command line's message.
async function loadInto(core) {
  if (!state.file) return { ok: false, message: 'Pick a HEX file first\n' };
  return call(core, 'qv_load', ['string', 'array', 'number', 'string', 'number'],
    [state.file.name, state.file.bytes, state.file.bytes.length, $('mcu').value.trim(), $('above64k').checked ? 1 : 0]);
}

async function showFile() {
  localStorage.setItem('quorvel-mcu', $('mcu').value);
  if (!state.file) return;
  const r = await loadInto(state.core);
  const out = $('file-result');
  out.className = r.ok ? '' : 'bad';
  out.textContent = r.ok ? `${state.file.name}\n${r.warnings.map(w => w + '\n').join('')}${r.figures}` : r.message;
}

async function readFile(file) {
  state.file = { name: file.name, bytes: new Uint8Array(await file.arrayBuffer()) };
  await showFile();
}

// -usb=VID:PID as the command line reads it: null when empty.
function usbIds() {
  const text = $('usb').value.trim();
  localStorage.setItem('quorvel-usb', text);
  if (!text) return null;
  const form = 'Give the IDs as -usb=<vid>:<pid>, each 1 to 4 hex digits, as in -usb=0x5e1a:0x0001\n';
  const m = /^(?:0[xX])?([0-9a-fA-F]{1,4})(?:.(?:0[xX])?([0-9a-fA-F]{1,4}))?/.exec(text);
  if (!m) throw new Error('Malformed VID\n' + form);
  if (m[2] === undefined || m[0].length !== text.length) throw new Error('Malformed PID\n' + form);
  return { vendorId: parseInt(m[1], 16), productId: parseInt(m[2], 16) };
}

// The bootloader's shape: one output report of 64 bytes, without report IDs.
function bootloaderShaped(device) {
  const outputs = [];
  const walk = c => { outputs.push(...(c.outputReports || [])); (c.children || []).forEach(walk); };
  device.collections.forEach(walk);
  if (outputs.length !== 1 || outputs[0].reportId !== 0) return false;
  return outputs[0].items.reduce((bits, item) => bits + item.reportSize * item.reportCount, 0) === 512;
}

const hex4 = n => n.toString(16).padStart(4, '0');
const deviceName = d => d.productName || `${hex4(d.vendorId)}:${hex4(d.productId)}`;

function matches(device, ids) {
  return ids ? device.vendorId === ids.vendorId && device.productId === ids.productId : bootloaderShaped(device);
}

async function listBoards() {
  const list = $('boards');
  list.textContent = '';
  if (!navigator.hid) return;
  const devices = await navigator.hid.getDevices();
  let ids = null;
  try { ids = usbIds(); } catch (e) { /* shown at Flash */ }
  devices.forEach((d, i) => {
    const item = document.createElement('li');
    const label = document.createElement('label');
    const radio = document.createElement('input');
    radio.type = 'radio'; radio.name = 'board'; radio.value = i;
    radio.checked = matches(d, ids) && !list.querySelector('input:checked');
    label.append(radio, ` ${deviceName(d)} (${hex4(d.vendorId)}:${hex4(d.productId)})${matches(d, ids) ? '' : ' - not a match'}`);
    item.append(label);
    list.append(item);
  });
  return devices;
}

async function connect() {
  try {
    const ids = usbIds();
    // Without IDs: every vendor-defined usage page (0xFF00 to 0xFFFF), where
    // a bootloader's collection lies; its shape is checked once chosen.
    const filters = ids ? [ids] : Array.from({ length: 256 }, (_, i) => ({ usagePage: 0xFF00 + i }));
    await navigator.hid.requestDevice({ filters });
  } catch (e) {
    $('board-message').textContent = e.message;
  }
  await listBoards();
}

// A pause of at least `seconds`. A timer fires up to a millisecond late, and
// a block's pause comes 224 times in a 56 KiB upload: the timer takes all
// but the last 2 ms, the page's own messages the rest.
function pause(seconds) {
  const until = performance.now() + seconds * 1000;
  return new Promise(resolve => {
    const channel = new MessageChannel();
    channel.port1.onmessage = () => {
      if (performance.now() < until) return channel.port2.postMessage(0);
      channel.port1.close();
      resolve();
    };
    setTimeout(() => channel.port2.postMessage(0), Math.max(0, seconds * 1000 - 2));
  });
}

// The transport of upload/protocol.h over WebHID: one report in hand while
// the next is taken (WebHID delivers in order), each within its limit.
function webTransport(device, onBlock) {
  let pending = null, trouble = 2, why = '', gone = false;
  const onDisconnect = e => {
    if (e.device !== device) return;
    gone = true;
    if (pending) pending.end({ ok: false, trouble: WRITE_BOARD_GONE, why: 'the device is gone' });
  };
  navigator.hid.addEventListener('disconnect', onDisconnect);
  // A report's limit counts from when its write can begin: once the report
  // before it was delivered (WebHID writes one report at a time).
  function start(bytes, ms, before) {
    let end, timer;
    const promise = new Promise(resolve => {
      end = answer => { clearTimeout(timer); resolve(answer); };
      device.sendReport(0, bytes).then(() => end({ ok: true }),
        () => end({ ok: false, trouble: WRITE_BOARD_GONE, why: 'the device is gone' }));
      // A page that was itself held up (a busy machine, a screenshot) sees
      // its timer late: the limit then starts again, so that only a board
      // that does not answer while the page runs ends the upload.
      // The browser's own hand-over (renderer, browser process, write) gets
      // BROWSER_GRACE_MS more once the board's limit has passed.
      const arm = (limit, last) => {
        const armed = performance.now();
        timer = setTimeout(() => {
          if (performance.now() - armed > limit * 1.5) arm(limit, last);
          else if (!last) arm(BROWSER_GRACE_MS, true);
          else end({ ok: false, trouble: WRITE_NO_ANSWER, why: `no answer within ${ms} ms` });
        }, limit);
      };
      before.then(() => arm(ms, false));
    });
    return { promise, end };
  }
  async function settle() {
    const answer = await pending.promise;
    pending = null;
    if (!answer.ok) { trouble = answer.trouble; why = answer.why; }
    return answer.ok;
  }
  return {
    async send(bytes, ms) {
      if (gone) {
        if (pending && !(await settle())) return -1;
        trouble = WRITE_BOARD_GONE; why = 'the device is gone';
        return 0;
      }
      // This report is handed over at once, queued behind the one in hand.
      const next = start(bytes, ms, pending ? pending.promise : Promise.resolve());
      if (pending && !(await settle())) return -1;
      pending = next;
      return 1;
    },
    async drain() { return !pending || (await settle()) ? 1 : 0; },
    pause,
    blockStarted: onBlock,
    trouble: () => trouble,
    why: () => why,
    close: () => navigator.hid.removeEventListener('disconnect', onDisconnect),
  };
}

// The board's -log= line, written by the core (`result`: "done" or the
// message that ended the board), kept in the page's storage.
function addLogLine(core, device, result, seconds) {
  const time = new Date().toISOString().replace(/\.\d+Z$/, 'Z');
  const line = core.ccall('qv_log_line', 'string', ['string', 'number', 'number', 'string', 'number'],
    [time, device.vendorId, device.productId, result, seconds]);
  localStorage.setItem('quorvel-log', (localStorage.getItem('quorvel-log') || '') + line);
  $('log').textContent = localStorage.getItem('quorvel-log');
}

// One board's upload with a core of its own; `view` shows its progress.
async function flashBoard(device, view) {
  const core = await newCore();
  const load = await loadInto(core);
  if (!load.ok) return view.end(load.message);
  const started = performance.now();
  try {
    if (!device.opened) await device.open();
  } catch (e) {
    let message = `Unable to open device\n${deviceName(device)}: ${e.message}\n`;
    if (/Linux/.test(navigator.userAgent) && !/CrOS/.test(navigator.userAgent))
      message += 'On Linux, the user needs access to the board\'s /dev/hidrawN node: install this udev rule ' +
        `as /etc/udev/rules.d/60-quorvel.rules, run sudo udevadm control --reload and plug the board in again:\n` +
        `SUBSYSTEM=="hidraw", ATTRS{idVendor}=="${hex4(device.vendorId)}", ATTRS{idProduct}=="${hex4(device.productId)}", TAG+="uaccess"\n`;
    addLogLine(core, device, message, 0);
    return view.end(message);
  }
  // The bar moves a few times a second, not at each block: each change is
  // drawn by the same thread that hands the reports over, and drawing one
  // per block (some 35 a second) made a 56 KiB upload 4 % slower.
  let blocks = 0, shown = -Infinity;
  core.transport = webTransport(device, () => {
    blocks++;
    const now = performance.now();
    if (now - shown < PROGRESS_EVERY_MS && blocks > 1 && blocks < load.blocks) return;
    shown = now;
    const left = blocks > 1 ? ((now - started) / 1000 / blocks) * (load.blocks - blocks) : NaN;
    view.progress(blocks, load.blocks, left);
  });
  const result = await call(core, 'qv_upload', [], []);
  core.transport.close();
  device.close().catch(() => {});
  addLogLine(core, device, result.ok ? 'done' : result.message, (performance.now() - started) / 1000);
  return view.end(result.ok ? null : result.message);
}

function progressText(blocks, total, left) {
  const percent = Math.round((100 * blocks) / total);
  return `${percent}% - block ${blocks} of ${total}` + (isFinite(left) ? ` - ${left.toFixed(1)} s left` : '');
}

async function flashOne() {
  const status = $('status');
  status.className = '';
  status.textContent = '';
  let ids;
  try { ids = usbIds(); } catch (e) { status.className = 'bad'; status.textContent = e.message; return; }
  const devices = await listBoards();
  const chosen = document.querySelector('#boards input:checked');
  let device = chosen ? devices[Number(chosen.value)] : null;
  if (!device) {
    status.className = 'bad';
    if (ids) status.textContent = `Unable to open device\nNo HID device with the IDs ${hex4(ids.vendorId)}:${hex4(ids.productId)} is present\n`;
    else if (devices.length) status.textContent = 'Unable to open device\n' +
      await call(state.core, 'qv_not_bootloader', ['string', 'number', 'number'], [deviceName(devices[0]), devices[0].vendorId, devices[0].productId]) + '\n';
    else status.textContent = 'No board: put it in its bootloader and press Connect\n';
    return;
  }
  $('flash').disabled = true;
  $('progress').value = 0;
  $('progress-text').textContent = 'Starting…';
  await flashBoard(device, {
    progress(blocks, total, left) {
      $('progress').value = (100 * blocks) / total;
      $('progress-text').textContent = progressText(blocks, total, left);
    },
    end(message) {
      $('flash').disabled = false;
      status.className = message ? 'bad' : 'good';
      if (!message) { $('progress').value = 100; $('progress-text').textContent = '100%'; }
      status.textContent = message || 'Done.\n';
    },
  });
}

// Station: each matching board once, as it comes, several at once.
function stationBoard(device) {
  let ids = null;
  try { ids = usbIds(); } catch (e) { return; }
  if (!state.station || state.flashed.has(device) || !matches(device, ids)) return;
  state.flashed.add(device);
  state.active++;
  const row = document.createElement('tr');
  const bar = document.createElement('progress');
  bar.max = 100; bar.value = 0;
  const cells = [document.createElement('td'), document.createElement('td'), document.createElement('td')];
  cells[0].textContent = deviceName(device);
  cells[1].append(bar);
  row.append(...cells);
  $('rows').hidden = false;
  $('rows').tBodies[0].append(row);
  showSummary();
  flashBoard(device, {
    progress(blocks, total) { bar.value = (100 * blocks) / total; },
    end(message) {
      state.active--;
      message ? state.failed++ : state.done++;
      if (!message) bar.value = 100;
      cells[2].className = message ? 'bad' : 'good';
      cells[2].textContent = message || 'Done.';
      showSummary();
    },
  });
}

function showSummary() {
  $('summary').textContent = `${state.done} done, ${state.failed} failed, ${state.active} in progress`;
}

async function toggleStation() {
  state.station = !state.station;
  $('flash').textContent = state.station ? 'Stop the station' : 'Flash';
  if (state.station) (await navigator.hid.getDevices()).forEach(stationBoard);
}

async function main() {
  const support = $('support');
  if (!window.isSecureContext) {
    support.textContent = 'This page needs a secure context to reach USB devices: open it through https, or from localhost.';
    support.hidden = false;
  } else if (!navigator.hid) {
    support.textContent = 'This browser has no WebHID (Firefox and Safari do not have it): use Chrome, Edge or Opera, ' +
      'or the quorvel command line.';
    support.hidden = false;
  }
  $('mcu').value = localStorage.getItem('quorvel-mcu') || $('mcu').value;
  $('usb').value = localStorage.getItem('quorvel-usb') || '';
  $('log').textContent = localStorage.getItem('quorvel-log') || '';
  state.module = await WebAssembly.compile(await (await fetch('quorvel_core.wasm')).arrayBuffer());
  state.core = await newCore();
  $('file').addEventListener('change', e => e.target.files[0] && readFile(e.target.files[0]));
  const drop = $('drop');
  drop.addEventListener('dragover', e => { e.preventDefault(); drop.classList.add('over'); });
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', e => {
    e.preventDefault();
    drop.classList.remove('over');
    if (e.dataTransfer.files[0]) readFile(e.dataTransfer.files[0]);
  });
  $('mcu').addEventListener('change', showFile);
  $('above64k').addEventListener('change', showFile);
  $('usb').addEventListener('change', listBoards);
  $('connect').addEventListener('click', connect);
  $('flash').addEventListener('click', () => ($('station').checked || state.station ? toggleStation() : flashOne()));
  $('save-log').addEventListener('click', () => {
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([localStorage.getItem('quorvel-log') || ''], { type: 'text/plain' }));
    link.download = 'quorvel.log';
    link.click();
  });
  $('clear-log').addEventListener('click', () => { localStorage.removeItem('quorvel-log'); $('log').textContent = ''; });
  if (navigator.hid) {
    navigator.hid.addEventListener('connect', e => { listBoards(); stationBoard(e.device); });
    navigator.hid.addEventListener('disconnect', listBoards);
    await listBoards();
  }
  document.body.dataset.ready = 'yes';
}

main().catch(e => { $('support').textContent = String(e); $('support').hidden = false; });
