// The whole road of one receiver against the real program: pairing and the offer,
// video decoded in Chromium, its mouse on the host's X server, one receiver at a time,
// refusals, and the ways a receiver goes away.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import { setTimeout as delay } from 'node:timers/promises';
import { promisify } from 'node:util';
import { Tavelin, launchBrowser } from './harness.mjs';

const limit = { timeout: 90_000 };
const busy = 'A receiver is already connected. Disconnect it on the host computer first.';

let tavelin;
let browser;
let shared; // the shared display on the X root: { x, y, width, height }

before(async () => {
  [tavelin, browser] = await Promise.all([Tavelin.start(), launchBrowser()]);
  shared = await sharedDisplay();
});

after(async () => {
  await browser?.close();
  if (tavelin?.child.exitCode === null) await tavelin.stop();
});

// The display Tavelin shares is the active monitor beside the primary one.
async function sharedDisplay() {
  const monitors = (await tavelin.x('xrandr', '--listactivemonitors'))
    .split('\n')
    .map((line) => line.match(/^\s*\d+: \+(\*?)(\S+) (\d+)\/\d+x(\d+)\/\d+\+(-?\d+)\+(-?\d+)/))
    .filter(Boolean)
    .map(([, primary, name, width, height, x, y]) => ({ primary: primary === '*', name, width: +width, height: +height, x: +x, y: +y }));
  const display = monitors.find((m) => !m.primary) ?? monitors[0];
  assert.ok(display, 'no active monitor on the X server');
  return display;
}

async function pointer() {
  const shell = await tavelin.x('xdotool', 'getmouselocation', '--shell');
  return { x: Number(shell.match(/^X=(\d+)/m)[1]), y: Number(shell.match(/^Y=(\d+)/m)[1]) };
}

// Button numbers of X (1 left, 2 middle, 3 right) held by the XTest device, the one
// Tavelin injects through (xinput reads the state of slave devices only).
async function heldButtons() {
  const state = await tavelin.x('xinput', 'query-state', 'Virtual core XTEST pointer');
  return [...state.matchAll(/button\[(\d+)\]=down/g)].map((m) => Number(m[1]));
}

// The X server answers asynchronously to what the page sent: ask until it agrees.
async function eventually(read, expected, what, ms = 10_000) {
  const end = Date.now() + ms;
  let actual;
  for (;;) {
    actual = await read();
    try {
      expected(actual);
      return actual;
    } catch (error) {
      if (Date.now() > end) throw new Error(`${what}: ${error.message}`);
    }
    await delay(50);
  }
}
const holds = (buttons, what) => eventually(heldButtons, (held) => assert.deepEqual(held, buttons), what);

// A receiver whose window has the shared display's shape, so window fractions are
// picture fractions without depending on the page's own mapping.
// It records script errors and anything the host's Content-Security-Policy blocks, the
// pair answer and the offers it sends.
async function openReceiver() {
  const context = await browser.newContext({ viewport: { width: shared.width / 2, height: shared.height / 2 } });
  const page = await context.newPage();
  page.problems = [];
  page.on('pageerror', (error) => page.problems.push(error.message));
  // The page declares no icon, so the browser's first look for /favicon.ico is a 404.
  page.on('console', (message) => {
    const { url } = message.location();
    if (message.type() === 'error' && !url.endsWith('/favicon.ico')) page.problems.push(`${message.text()} ${url}`);
  });
  page.offers = [];
  page.on('request', (r) => { if (new URL(r.url()).pathname === '/api/connect') page.offers.push(r); });
  const paired = page.waitForResponse((r) => r.url().endsWith('/api/pair'), { timeout: 30_000 });
  const answer = page.waitForResponse((r) => r.url().endsWith('/api/connect') && r.status() === 200, { timeout: 30_000 });
  await page.goto(tavelin.link);
  page.paired = await paired;
  page.answer = await (await answer).json();
  await page.waitForSelector('body[data-state="streaming"]', { timeout: 30_000 });
  page.at = (fx, fy) => ({ x: (shared.width / 2) * fx, y: (shared.height / 2) * fy });
  return page;
}

const decodedFrames = (page, count) => page.evaluate((wanted) => new Promise((resolve) => {
  const video = document.getElementById('video');
  let seen = 0;
  const next = () => video.requestVideoFrameCallback(() => {
    if (++seen === wanted) resolve({ width: video.videoWidth, height: video.videoHeight });
    else next();
  });
  next();
}), count);

let receiver;

test('the page pairs, offers one complete session and gets frames at the shared display size', limit, async () => {
  receiver = await openReceiver();
  assert.equal(receiver.paired.status(), 200);
  const { token } = await receiver.paired.json();
  assert.match(token, /^[0-9a-f]{32}$/);
  const [first] = receiver.offers;
  const offer = first.postDataJSON();
  assert.equal(first.headers().authorization, `Bearer ${token}`);
  assert.equal(offer.type, 'offer');
  assert.match(offer.sessionID, /^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$/);
  // One complete offer: video to receive, the mouse channel, and the gathered candidates.
  assert.match(offer.sdp, /^v=0[^]*m=video [^]*a=recvonly/);
  assert.match(offer.sdp, /m=application [^]*webrtc-datachannel/);
  assert.match(offer.sdp, /a=candidate:/);
  assert.equal(receiver.offers.length, 1, 'one offer was enough');
  assert.equal(await receiver.isVisible('#fullscreen'), true);
  assert.equal(await receiver.isHidden('#pair'), true);

  assert.deepEqual([receiver.answer.width, receiver.answer.height], [shared.width, shared.height]);
  // A static screen is sent again once a second, so three frames come without any change.
  assert.deepEqual(await decodedFrames(receiver, 3), { width: shared.width, height: shared.height });
  assert.deepEqual(receiver.problems, []);
});

// Where a fraction lands and which X button a browser button is are the input and X11
// tests' cases; here one drag must come through the whole road to the shared display.
test('a drag reaches the X server at the same place of the shared display', limit, async () => {
  const start = receiver.at(0.3, 0.3);
  await receiver.mouse.move(start.x, start.y);
  await receiver.mouse.down({ button: 'right' });
  await holds([3], 'pressed');
  const end = receiver.at(0.6, 0.4);
  await receiver.mouse.move(end.x, end.y, { steps: 5 });
  const want = { x: shared.x + 0.6 * shared.width, y: shared.y + 0.4 * shared.height };
  await eventually(pointer, (p) => {
    assert.ok(Math.abs(p.x - want.x) <= 1 && Math.abs(p.y - want.y) <= 1, `${JSON.stringify(p)} vs ${JSON.stringify(want)}`);
  }, 'drag');
  assert.deepEqual(await heldButtons(), [3], 'held through the drag');
  await receiver.mouse.up({ button: 'right' });
  await holds([], 'released');
});

test('a held button stays down past the host watchdog while the page sends heartbeats', limit, async () => {
  await receiver.mouse.down();
  await holds([1], 'pressed');
  await delay(4500); // longer than the host's 3 s release after silence
  assert.deepEqual(await heldButtons(), [1]);
  // Losing focus lets go at once.
  await receiver.evaluate(() => window.dispatchEvent(new Event('blur')));
  await holds([], 'released on blur');
  await receiver.mouse.up();
});

test('a second receiver is refused while one is connected, and a wrong code at once', limit, async () => {
  const { origin, pathname } = new URL(tavelin.link);
  const wrong = String((Number(pathname.slice(1)) + 1) % 10000).padStart(4, '0');
  for (const [link, state, message] of [[tavelin.link, 'failed', busy],
    [`${origin}/${wrong}`, 'refused', 'This receiver link is out of date. Copy the current link from the Tavelin app.']]) {
    const context = await browser.newContext();
    const page = await context.newPage();
    await page.goto(link);
    await page.waitForSelector(`body[data-state="${state}"]`, { timeout: 30_000 });
    assert.equal(await page.textContent('#status'), message);
    if (state === 'refused') assert.equal(await page.isVisible('#pair'), true);
    await context.close();
  }
});

test('closing the page releases its button and the link connects again', limit, async () => {
  await receiver.mouse.down();
  await holds([1], 'pressed');
  const first = receiver.answer.sessionID;
  await receiver.context().close();
  await holds([], 'released on close');

  receiver = await openReceiver();
  assert.notEqual(receiver.answer.sessionID, first);
  await decodedFrames(receiver, 2);
});

test('a reload disconnects and reconnects with the same link', limit, async () => {
  const first = receiver.answer.sessionID;
  // The unloading page's disconnect is a keepalive request the browser sends after the
  // page is gone, out of the page's sight; the host shows it got it by accepting the
  // next connection at once instead of refusing it as a second receiver.
  const connects = [];
  receiver.on('response', (r) => { if (r.url().endsWith('/api/connect')) connects.push(r.status()); });
  const answer = receiver.waitForResponse((r) => r.url().endsWith('/api/connect'), { timeout: 30_000 });
  await receiver.reload();
  const response = await answer;
  assert.equal(response.status(), 200, await response.text());
  assert.notEqual((await response.json()).sessionID, first);
  await receiver.waitForSelector('body[data-state="streaming"]', { timeout: 30_000 });
  assert.deepEqual(connects, [200]);
});

// The WebRTC stack under Tavelin acts on no bandwidth feedback: Tavelin itself reads the
// browser's loss reports and lowers its rate from the 35 Mbit/s setting, while the
// picture keeps coming.
test('a lossy link lowers the sending rate and the picture keeps coming', limit, async () => {
  const nft = (...args) => promisify(execFile)('/usr/sbin/nft', args);
  // A moving picture, so that the video has packets to lose.
  const player = spawn('/usr/bin/ffplay', ['-hide_banner', '-loglevel', 'error', '-an', '-noborder',
    '-left', String(shared.x), '-top', String(shared.y), '-x', '640', '-y', '360',
    '-f', 'lavfi', '-i', 'testsrc2=size=640x360:rate=30'], { env: await tavelin.xEnvironment(), stdio: 'ignore' });
  await nft('add', 'table', 'inet', 'loss');
  try {
    await nft('add', 'chain', 'inet', 'loss', 'out', '{ type filter hook output priority 0; }');
    // Only large datagrams, the video: ICE, DTLS and the reports themselves get through.
    await nft('add', 'rule', 'inet', 'loss', 'out', 'meta', 'l4proto', 'udp', 'meta', 'length', 'gt', '600',
      'numgen', 'random', 'mod', '100', 'lt', '25', 'drop');
    const [, rate] = await tavelin.waitForLine(/^Tavelin: sending at (\d+) kbit\/s/, 30_000);
    assert.ok(Number(rate) < 35_000, `${rate} kbit/s`);
    await decodedFrames(receiver, 3);
  } finally {
    player.kill();
    await nft('delete', 'table', 'inet', 'loss');
  }
});

test('stopping sharing shows the stopped state', limit, async () => {
  const { code } = await tavelin.stop();
  assert.equal(code, 0);
  await receiver.waitForSelector('body[data-state="stopped"]', { timeout: 30_000 });
  assert.equal(await receiver.textContent('#status'), 'The host computer is not sharing a display.');
});
