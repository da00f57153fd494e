// The real program on a headless GNOME (mutter with PipeWire on a private session bus):
// it makes its display there, a browser shows it, and the browser's clicks land in a
// Wayland window on that display.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { mkdtemp, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { setTimeout as delay } from 'node:timers/promises';
import { promisify } from 'node:util';
import { Tavelin, decodedFrames, eventually, launchBrowser, newPage, program } from './harness.mjs';

const limit = { timeout: 90_000 };
const pointerClient = path.resolve(path.dirname(program), '../tests/gnome/tavelin_pointer_client');
let gnome, tavelin, browser, page;

// dbus-daemon, PipeWire, WirePlumber and mutter, ended in reverse by their process ids.
async function startGnome() {
  const runtime = await mkdtemp(path.join(tmpdir(), 'tavelin-gnome-'));
  const env = { PATH: '/usr/bin:/bin', XDG_RUNTIME_DIR: runtime, GSETTINGS_BACKEND: 'memory', HOME: runtime };
  const started = [];
  const run = (command, ...args) => started[started.push(spawn(command, args, { env, stdio: ['ignore', 'pipe', 'ignore'] })) - 1];
  const bus = run('dbus-daemon', '--session', '--nofork', '--print-address=1', `--address=unix:path=${runtime}/bus`);
  env.DBUS_SESSION_BUS_ADDRESS = await new Promise((resolve) => bus.stdout.once('data', (text) => resolve(`${text}`.trim())));
  run('pipewire');
  await eventually(() => existsSync(`${runtime}/pipewire-0`), assert.ok, 'PipeWire', 5000);
  run('wireplumber');
  run('mutter', '--headless', '--wayland', '--no-x11', '--virtual-monitor', '1920x1080');
  const gdbus = (...args) => promisify(execFile)('gdbus', ['call', '--session', ...args], { env });
  await eventually(() => gdbus('-d', 'org.gnome.Mutter.ScreenCast', '-o', '/org/gnome/Mutter/ScreenCast', '-m',
    'org.freedesktop.DBus.Peer.Ping').then(() => true, () => false), assert.ok, 'mutter', 30_000);
  const stop = async () => {
    for (const child of started.reverse()) child.kill('SIGTERM');
    await delay(300);
    await rm(runtime, { recursive: true, force: true });
  };
  const monitors = async () => (await gdbus('-d', 'org.gnome.Mutter.DisplayConfig', '-o', '/org/gnome/Mutter/DisplayConfig',
    '-m', 'org.gnome.Mutter.DisplayConfig.GetCurrentState')).stdout;
  return { env, stop, monitors };
}

before(async () => {
  gnome = await startGnome();
  [tavelin, browser] = await Promise.all([
    Tavelin.start({ DBUS_SESSION_BUS_ADDRESS: gnome.env.DBUS_SESSION_BUS_ADDRESS, WAYLAND_DISPLAY: 'wayland-0',
      XDG_RUNTIME_DIR: gnome.env.XDG_RUNTIME_DIR }),
    launchBrowser()]);
});

after(async () => {
  await Promise.all([browser?.close(), tavelin?.child.exitCode === null && tavelin.stop()]);
  await gnome?.stop();
});

test('the display Tavelin makes on GNOME shows in the browser at its size', limit, async () => {
  // Tavelin's monitor is the one beside the headless one, to its right.
  const [, x, y] = (await gnome.monitors()).match(/\((\d+), (\d+), [\d.]+, (?:uint32 )?\d+, false, \[\('Meta-1'/) ?? [];
  assert.deepEqual([x, y], ['1920', '0']);
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
