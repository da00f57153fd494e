// The real program on a headless GNOME (mutter with PipeWire on a private session bus):
// it makes its display there, a browser shows it, and the browser's clicks land in a
// Wayland window on that display.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtemp, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { Tavelin, decodedFrames, eventually, launchBrowser, newPage, program, saveDisplays, startGnome } from './harness.mjs';

const limit = { timeout: 90_000 };
const pointerClient = path.resolve(path.dirname(program), '../tests/gnome/tavelin_pointer_client');
let gnome, tavelin, browser, page;

const onGnome = () => ({ DBUS_SESSION_BUS_ADDRESS: gnome.env.DBUS_SESSION_BUS_ADDRESS, WAYLAND_DISPLAY: 'wayland-0',
  XDG_RUNTIME_DIR: gnome.env.XDG_RUNTIME_DIR });
// The logical monitors: place and scale of each, by its first monitor's connector.
const logicalMonitors = async () => [...(await gnome.monitors())
  .matchAll(/\((-?\d+), (-?\d+), ([\d.]+), (?:uint32 )?\d+, (?:true|false), \[\('(Meta-\d+)'/g)]
  .map(([, x, y, scale, name]) => ({ name, x: +x, y: +y, scale: +scale }));
// Tavelin's: every one but mutter's own Meta-0.
const tavelinMonitors = async () => (await logicalMonitors()).filter((m) => m.name !== 'Meta-0')
  .map(({ x, y, scale }) => ({ x, y, scale }));

before(async () => {
  gnome = await startGnome();
  [tavelin, browser] = await Promise.all([Tavelin.start(onGnome()), launchBrowser()]);
});

after(async () => {
  await Promise.all([browser?.close(), tavelin?.stop()]);
  await gnome?.stop();
});

test('the display Tavelin makes on GNOME shows in the browser at its size', limit, async () => {
  // Tavelin's monitor is the one beside the headless one, to its right.
  assert.deepEqual(await tavelinMonitors(), [{ x: 1920, y: 0, scale: 1 }]);
  page = await newPage(browser, { viewport: { width: 960, height: 540 } });
  await page.goto(tavelin.link);
  await page.waitForState('streaming');
  assert.deepEqual(await decodedFrames(page), { width: 1920, height: 1080 });
});

test('the browser\'s clicks land in a window on that display', limit, async () => {
  const client = spawn(pointerClient, ['1920', '0'], { env: { ...gnome.env, WAYLAND_DISPLAY: 'wayland-0' } });
  let heard = '';
  client.stdout.setEncoding('utf8').on('data', (text) => { heard += text; });
  try {
    await eventually(() => heard, (text) => assert.match(text, /^ready 1920 1080$/m), 'the window shown');
    // The page maps the middle of its picture to the middle of the display; the window
    // hears moves only once it is shown, and a move to the same place is none, so the
    // pointer steps by a pixel until it does.
    await eventually(async () => {
      await page.mouse.move(480 + (heard.length % 2), 270);
      return heard;
    }, (text) => assert.match(text, /^motion 96[01] 540$/m), 'the pointer in the middle');
    await page.mouse.down();
    await page.mouse.up();
    await eventually(() => heard, (text) => assert.match(text, /^button 272 1$[^]*^button 272 0$/m), 'a click');
  } finally {
    client.kill('SIGTERM');
  }
});

test('a HiDPI display is a logical monitor of scale 2 with the full pixel size, gone when Tavelin stops', limit, async () => {
  await tavelin.stop();
  await eventually(tavelinMonitors, (list) => assert.deepEqual(list, []), 'the display released');
  tavelin = await Tavelin.start(onGnome(), ['--hidpi']);
  assert.deepEqual(await tavelinMonitors(), [{ x: 1920, y: 0, scale: 2 }]);
  await page.goto(tavelin.link);
  await page.waitForState('streaming');
  assert.deepEqual(await decodedFrames(page), { width: 1920, height: 1080 });
});

test('a display saved above or below the main one is placed there', limit, async () => {
  await tavelin.stop();
  const config = await mkdtemp(path.join(tmpdir(), 'tavelin-e2e-config-'));
  const id = '5A2B7C1E-0D3F-4E6A-9B8C-1F2E3D4C5B6A';
  try {
    // Placed from the main display's top left; mutter then moves the whole layout so that
    // its top left is 0, 0. Each place is [mutter's own, x, y], from the top.
    for (const [originY, expected] of [[-1080, [[false, 0, 0], [true, 0, 1080]]], [1080, [[true, 0, 0], [false, 0, 1080]]]]) {
      const displays = [{ id, name: 'Tavelin Virtual Display', width: 1920, height: 1080, refreshRate: 60,
        bitrateMbps: 35, hiDPI: false, enabled: true, originX: 0, originY }];
      await saveDisplays(config, displays, id);
      tavelin = await Tavelin.start({ ...onGnome(), XDG_CONFIG_HOME: config });
      const places = async () => (await logicalMonitors()).map(({ name, x, y }) => [name === 'Meta-0', x, y])
        .sort((a, b) => a[2] - b[2]);
      await eventually(places, (list) => assert.deepEqual(list, expected), `Tavelin's display saved at 0, ${originY}`);
      await tavelin.stop();
    }
  } finally {
    await rm(config, { recursive: true, force: true });
  }
});
