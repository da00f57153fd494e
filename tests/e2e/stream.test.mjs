// The whole road of one receiver against the real program: the offer, video decoded in
// Chromium, its mouse on the host's X server, a lossy link, the ways a receiver goes away.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import { setTimeout as delay } from 'node:timers/promises';
import { promisify } from 'node:util';
import { Tavelin, eventually, launchBrowser, newPage } from './harness.mjs';

const limit = { timeout: 90_000 };
let tavelin, browser, receiver;
let shared; // the shared display on the X root: { x, y, width, height }

before(async () => {
  [tavelin, browser] = await Promise.all([Tavelin.start(), launchBrowser()]);
  shared = await sharedDisplay();
});

after(() => Promise.all([browser?.close(), tavelin?.child.exitCode === null && tavelin.stop()]));

// The display Tavelin shares is the active monitor beside the primary one.
async function sharedDisplay() {
  const monitors = [...(await tavelin.x('xrandr', '--listactivemonitors'))
    .matchAll(/^\s*\d+: \+(\*?)\S+ (\d+)\/\d+x(\d+)\/\d+\+(-?\d+)\+(-?\d+)/gm)]
    .map(([, primary, width, height, x, y]) => ({ primary, width: +width, height: +height, x: +x, y: +y }));
  return monitors.find((m) => !m.primary) ?? monitors[0] ?? assert.fail('no active monitor on the X server');
}

const pointer = async () => (await tavelin.x('xdotool', 'getmouselocation')).match(/x:(\d+) y:(\d+)/).slice(1).map(Number);

// Button numbers of X (1 left, 2 middle, 3 right) held by the XTest device, the one
// Tavelin injects through (xinput reads the state of slave devices only).
const heldButtons = async () => [...(await tavelin.x('xinput', 'query-state', 'Virtual core XTEST pointer'))
  .matchAll(/button\[(\d+)\]=down/g)].map((m) => Number(m[1]));
const holds = (buttons, what) => eventually(heldButtons, (held) => assert.deepEqual(held, buttons), what);

// A streaming receiver, keeping its offers, in a window of the shared display's shape, so
// that window fractions are picture fractions whatever the page's own mapping.
async function openReceiver() {
  const page = await newPage(browser, { viewport: { width: shared.width / 2, height: shared.height / 2 } });
  page.offers = [];
  page.on('request', (r) => { if (new URL(r.url()).pathname === '/api/connect') page.offers.push(r.postDataJSON()); });
  await page.goto(tavelin.link);
  await page.waitForState('streaming');
  return page;
}

// The video's size once `count` more frames were shown.
const decodedFrames = (page, count) => page.evaluate((left) => new Promise((resolve) => {
  const video = document.getElementById('video');
  const next = () => video.requestVideoFrameCallback(() => {
    if (--left) next(); else resolve({ width: video.videoWidth, height: video.videoHeight });
  });
  next();
}), count);

test('one complete offer gets frames at the shared display size', limit, async () => {
  receiver = await openReceiver();
  // Video to receive and the gathered candidates, in one offer that was enough.
  assert.equal(receiver.offers.length, 1);
  assert.match(receiver.offers[0].sdp, /m=video [^]*a=recvonly/);
  assert.match(receiver.offers[0].sdp, /a=candidate:/);
  assert.equal(await receiver.isVisible('#fullscreen'), true);
  assert.equal(await receiver.isHidden('#pair'), true);
  // A static screen is sent again once a second, so three frames come without any change.
  assert.deepEqual(await decodedFrames(receiver, 3), { width: shared.width, height: shared.height });
  assert.deepEqual([...receiver.errors, ...receiver.consoleErrors], []);
});

// Where a fraction lands and which X button a browser button is are the input and X11
// tests' cases; here one drag must come through the whole road to the shared display,
// held by the page's heartbeats past the host's 3 s release after silence.
test('a held drag reaches the X server at the same place of the shared display', limit, async () => {
  const at = (fx, fy) => [(shared.width / 2) * fx, (shared.height / 2) * fy]; // in the window
  const want = [shared.x + 0.6 * shared.width, shared.y + 0.4 * shared.height];
  await receiver.mouse.move(...at(0.3, 0.3));
  await receiver.mouse.down({ button: 'right' });
  await holds([3], 'pressed');
  await receiver.mouse.move(...at(0.6, 0.4), { steps: 5 });
  const near = ([x, y]) => assert.ok(Math.abs(x - want[0]) <= 1 && Math.abs(y - want[1]) <= 1, `${x}, ${y}`);
  await eventually(pointer, near, `drag to ${want}`);
  await delay(4500);
  assert.deepEqual(await heldButtons(), [3], 'held through the drag and the silence limit');
  await receiver.mouse.up({ button: 'right' });
  await holds([], 'released');
});

test('closing the page releases its button; a reload connects again at once', limit, async () => {
  await receiver.mouse.down();
  await holds([1], 'pressed');
  await receiver.context().close();
  await holds([], 'released on close');
  receiver = await openReceiver();
  // The unloading page's disconnect is a keepalive request sent after the page is gone;
  // the host shows it got it by accepting the next connection at once, not refusing it.
  const connects = [];
  receiver.on('response', (r) => { if (r.url().endsWith('/api/connect')) connects.push(r.status()); });
  await receiver.reload();
  await receiver.waitForState('streaming');
  assert.deepEqual(connects, [200]);
});

// The WebRTC stack under Tavelin acts on no bandwidth feedback: Tavelin itself reads the
// browser's loss reports and lowers its rate from the 35 Mbit/s setting.
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
  await receiver.waitForState('stopped');
  assert.equal(await receiver.textContent('#status'), 'The host computer cannot be reached. Is Tavelin still running?');
});
