// The receiver page against a scripted host: what it sends on the mouse channel for
// what the user does, and how it rides out drops, refusals and restarts.
import { after, afterEach, before, beforeEach, test } from 'node:test';
import assert from 'node:assert/strict';
import { setTimeout as delay } from 'node:timers/promises';
import { eventually, launchBrowser, newPage } from './harness.mjs';
import { ScriptedHost, pictureSize } from './scripted_host.mjs';

const limit = { timeout: 60_000 };
let receiverBrowser, senderBrowser, host, page;

before(async () => {
  [receiverBrowser, senderBrowser] = await Promise.all([launchBrowser(), launchBrowser({ plainAddresses: true })]);
  host = await ScriptedHost.start(await senderBrowser.newPage());
});

after(() => Promise.all([host?.close(), receiverBrowser?.close(), senderBrowser?.close()]));

beforeEach(() => {
  Object.assign(host, { sharing: true, refusal: null, requests: [] });
  Object.assign(host.settings, { rotation: 0, flip: false, fit: 'contain' });
});

// Each page closes with no script errors.
async function close() {
  if (!page || page.isClosed()) return;
  assert.deepEqual(page.errors, [], 'script errors on the page');
  await page.context().close();
}
afterEach(close);

async function open(link, state) {
  await close();
  page = await newPage(receiverBrowser, { viewport: { width: 640, height: 480 } });
  await page.goto(link);
  await page.waitForState(state);
}

const leaves = (state) => page.waitForFunction((s) => document.body.dataset.state !== s, state, { timeout: 30_000 });

// Nudges the pointer until the host hears it, so that no test's first packet is lost to a
// channel still opening. The stand-in host's end of the channel, a second browser on a
// busy machine, now and then never opens: one new page is a new session.
async function openReceiver(attempts = 2) {
  await open(host.link, 'streaming');
  let step = 1;
  try {
    await eventually(async () => {
      await page.mouse.move(step, step);
      step = 3 - step;
      await delay(100);
      return (await host.messages()).length;
    }, assert.ok, 'the mouse channel never carried a packet');
  } catch (error) {
    if (attempts === 1) throw error;
    host.requests = [];
    return openReceiver(attempts - 1);
  }
  await host.messages(); // anything sent while connecting
}

async function received(count) {
  const seen = [];
  await eventually(async () => seen.push(...await host.messages()), (n) => assert.ok(n >= count), `${count} packets`);
  return seen;
}

test('the picture arrives and the pointer is sent in fractions of the turned, cropped picture', limit, async () => {
  // The 16:9 picture covers a 4:3 window turned a quarter and flipped: each of the host's
  // settings moves the point (the mapping's own cases are in mapping.test.mjs).
  Object.assign(host.settings, { rotation: 90, flip: true, fit: 'cover' });
  await openReceiver();
  assert.equal(await page.evaluate(() => document.getElementById('video').videoWidth), pictureSize.width);
  await page.mouse.move(320, 120);
  const [packet] = await received(1);
  assert.equal(packet.type, 'move');
  assert.ok(Math.abs(packet.x - 0.60546875) < 1e-3 && Math.abs(packet.y - 0.5) < 1e-3, `${packet.x}, ${packet.y}`);
});

test('presses, scrolls, heartbeats and release reach the host; a dropped connection is made anew', limit, async () => {
  const keys = { shift: false, control: false, alt: false, meta: false };
  await openReceiver();
  await page.mouse.move(320, 240);
  await page.keyboard.down('Shift');
  await page.mouse.down({ button: 'right' });
  await page.keyboard.up('Shift');
  const [move, down] = await received(2);
  assert.equal(move.type, 'move');
  assert.deepEqual(down, { type: 'down', x: 0.5, y: 0.5, button: 2, ...keys, shift: true });
  // Held, the page keeps the host from releasing the button after its silence limit.
  assert.deepEqual((await received(1))[0], { type: 'heartbeat' });
  await page.mouse.up({ button: 'right' });
  assert.deepEqual((await received(1))[0], { type: 'up', x: 0.5, y: 0.5, button: 2, ...keys });
  await page.mouse.wheel(0, 120);
  const [scroll] = await received(1);
  assert.deepEqual([scroll.type, scroll.dx, scroll.dy], ['scroll', 0, 120]);
  await page.evaluate(() => window.dispatchEvent(new Event('blur')));
  assert.deepEqual(await received(1), [{ type: 'release' }]);

  // Dropped by the host, the connection is abandoned and made again with a new identifier.
  const first = host.calls('/api/connect').at(-1).sessionID;
  await host.sender.evaluate(() => window.peer.close());
  await leaves('streaming');
  await page.waitForState('streaming');
  assert.ok(host.calls('/api/disconnect').some(({ sessionID }) => sessionID === first));
  assert.notEqual(host.calls('/api/connect').at(-1).sessionID, first);
});

test('refusals show their message; a stopped share or a forgotten token means pairing again', limit, async () => {
  await open(`${host.origin}/0000`, 'refused');
  const outOfDate = 'This receiver link is out of date. Copy the current link from the Tavelin app.';
  assert.equal(await page.textContent('#status'), outOfDate);
  assert.equal(await page.isVisible('#pair'), true, 'a refused code asks for another');

  host.refusal = 'A receiver is already connected. Disconnect it on the host computer first.';
  await open(host.link, 'failed');
  assert.equal(await page.textContent('#status'), host.refusal);
  assert.deepEqual(host.calls('/api/disconnect'), [], 'a refused offer leaves nothing to disconnect');
  host.refusal = null;
  await page.waitForState('streaming');

  host.sharing = false;
  await page.waitForState('stopped');
  assert.equal(await page.textContent('#status'), 'Sharing has stopped.');
  // A new share has a new token: the page pairs again before it connects.
  Object.assign(host, { token: 'b'.repeat(32), requests: [], sharing: true });
  await page.waitForState('streaming');
  assert.deepEqual(host.requests.map(([p]) => p).slice(0, 3), ['/api/pair', '/api/receiver', '/api/connect']);

  // A status poll refused for its token while streaming: the page pairs and connects anew.
  Object.assign(host, { token: 'c'.repeat(32), requests: [] });
  await leaves('streaming');
  await page.waitForState('streaming');
  assert.ok(host.calls('/api/pair').length >= 1);
});

// Tab reaches the code field, Enter sends it, a wrong code is typed over; the button sends too.
test('the page speaks for itself: a typed wrong code, a host out of reach, a failed poll', limit, async () => {
  const status = (text) => eventually(() => page.textContent('#status'), (t) => assert.equal(t, text), text);
  await open(`${host.origin}/`, 'refused');
  await page.keyboard.press('Tab');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'code');
  await page.keyboard.type('0000\n');
  await status('That code is not right. Check the pairing code on the host computer.');
  await page.waitForFunction(() => document.activeElement.id === 'code' && !document.getElementById('pair').hidden);
  assert.equal(await page.isVisible('#fullscreen'), false, 'full screen without a picture');
  await page.fill('#code', host.link.slice(-4));
  await page.click('#pair button');
  await page.waitForState('streaming');
  assert.equal(await page.isVisible('#fullscreen'), true);
  // Polls that get no answer leave a working stream alone.
  const connects = host.calls('/api/connect').length;
  await page.route('**/api/status', (route) => route.abort());
  await delay(7_000);
  assert.equal(await page.getAttribute('body', 'data-state'), 'streaming');
  assert.equal(host.calls('/api/connect').length, connects);
  // A host that no longer answers at all is out of reach, and its figures go with it.
  await page.route('**/api/**', (route) => route.abort());
  await host.sender.evaluate(() => window.peer.close());
  await page.waitForState('stopped');
  await status('The host computer cannot be reached. Is Tavelin still running?');
  assert.equal(await page.innerHTML('#stats'), '');
});
