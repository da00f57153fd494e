// The receiver page in Debian's Firefox ESR against the real program: it gets VP8, shows
// the shared display, and its mouse drives the host's pointer. The cases of the road
// itself (loss, a vanished receiver, colours) are the Chromium tests', a second receiver's
// refusal the session's.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { Tavelin, decodedFrames, eventually, launchFirefox, sharedDisplay } from './harness.mjs';

const limit = { timeout: 90_000 };
let tavelin, firefox, page;
let shared; // the shared display on the X root

before(async () => {
  [tavelin, firefox] = await Promise.all([Tavelin.start(), launchFirefox()]);
  shared = await sharedDisplay(tavelin);
});

after(() => Promise.all([firefox?.close(), tavelin?.stop()]));

const waitForState = (p, wanted) => p.waitForFunction((s) => document.body.dataset.state === s, { timeout: 30_000 }, wanted);

async function openReceiver() {
  const opened = await (await firefox.createBrowserContext()).newPage();
  await opened.setViewport({ width: shared.width / 2, height: shared.height / 2 });
  await opened.goto(tavelin.link);
  await waitForState(opened, 'streaming');
  return opened;
}

test('Firefox pairs and shows the shared display in VP8', limit, async () => {
  page = await openReceiver();
  await tavelin.waitForLine(/^Tavelin: sending VP8 \(vp8enc\)$/);
  assert.deepEqual(await decodedFrames(page), { width: shared.width, height: shared.height });
});

test('its pointer and buttons land on the shared display', limit, async () => {
  await page.mouse.move(shared.width / 8, shared.height / 8);
  await page.mouse.move(shared.width / 4, shared.height / 8, { steps: 4 });
  const want = [shared.x + shared.width / 2, shared.y + shared.height / 4];
  await eventually(() => tavelin.pointer(), ([x, y]) => assert.ok(Math.abs(x - want[0]) <= 1 && Math.abs(y - want[1]) <= 1, `${x}, ${y}`),
    `the pointer at ${want}`);
  await page.mouse.down({ button: 'right' });
  await tavelin.holds([3], 'pressed');
  await page.mouse.up({ button: 'right' });
  await tavelin.holds([], 'released');
});

test('a reload in Firefox connects again', limit, async () => {
  await page.reload();
  await waitForState(page, 'streaming');
  await decodedFrames(page);
});

test('stopping sharing shows the stopped state in Firefox', limit, async () => {
  assert.equal((await tavelin.stop()).code, 0);
  await waitForState(page, 'stopped');
});
