// Starts the tavelin program with its own X server and private folders, and headless
// Chromium (playwright-core) or Firefox ESR (puppeteer-core over WebDriver BiDi) to open
// its receiver link.
import assert from 'node:assert/strict';
import { spawn, execFile } from 'node:child_process';
import { existsSync, readFileSync, readdirSync } from 'node:fs';
import { mkdtemp, mkdir, readdir, rm, writeFile } from 'node:fs/promises';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { setTimeout as delay } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';
import { chromium } from 'playwright-core';
import puppeteer from 'puppeteer-core';

const repository = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const program = path.resolve(repository, process.env.TAVELIN_PROGRAM || 'build/program/tavelin');

// A port the kernel just handed out and took back.
export const freePort = () => new Promise((resolve, reject) => {
  const server = createServer().once('error', reject);
  server.listen(0, '127.0.0.1', () => {
    const { port } = server.address();
    server.close(() => resolve(port));
  });
});

// Reads until `check` accepts what `read` returns (it throws otherwise) or `ms` pass; an
// error of `read` itself ends the wait at once.
export async function eventually(read, check, what, ms = 10_000) {
  for (const end = Date.now() + ms; ; await delay(50)) {
    const value = await read();
    try {
      check(value);
      return value;
    } catch (error) {
      if (Date.now() > end) throw new Error(`${what}: ${error.message}`);
    }
  }
}

const truthy = (value) => { if (!value) throw new Error('not yet'); };

// A headless GNOME of our own: dbus-daemon, PipeWire, WirePlumber and mutter, ended in
// reverse by their process ids. `pids` are mutter's and PipeWire's, for CPU readings.
export async function startGnome() {
  const runtime = await mkdtemp(path.join(tmpdir(), 'tavelin-gnome-'));
  const env = { PATH: '/usr/bin:/bin', XDG_RUNTIME_DIR: runtime, GSETTINGS_BACKEND: 'memory', HOME: runtime };
  const started = [];
  const run = (command, ...args) => started[started.push(spawn(command, args, { env, stdio: ['ignore', 'pipe', 'ignore'] })) - 1];
  const bus = run('dbus-daemon', '--session', '--nofork', '--print-address=1', `--address=unix:path=${runtime}/bus`);
  env.DBUS_SESSION_BUS_ADDRESS = await new Promise((resolve) => bus.stdout.once('data', (text) => resolve(`${text}`.trim())));
  const pipewire = run('pipewire');
  await eventually(() => existsSync(`${runtime}/pipewire-0`), truthy, 'PipeWire', 5000);
  run('wireplumber');
  const mutter = run('mutter', '--headless', '--wayland', '--no-x11', '--virtual-monitor', '1920x1080');
  const gdbus = (...args) => promisify(execFile)('gdbus', ['call', '--session', ...args], { env });
  await eventually(() => gdbus('-d', 'org.gnome.Mutter.ScreenCast', '-o', '/org/gnome/Mutter/ScreenCast', '-m',
    'org.freedesktop.DBus.Peer.Ping').then(() => true, () => false), truthy, 'mutter', 30_000);
  const stop = async () => {
    for (const child of started.reverse()) child.kill('SIGTERM');
    await delay(300);
    await rm(runtime, { recursive: true, force: true });
  };
  const monitors = async () => (await gdbus('-d', 'org.gnome.Mutter.DisplayConfig', '-o', '/org/gnome/Mutter/DisplayConfig',
    '-m', 'org.gnome.Mutter.DisplayConfig.GetCurrentState')).stdout;
  return { env, stop, monitors, pids: { mutter: mutter.pid, pipewire: pipewire.pid } };
}

// Saves a display list in a configuration folder (what XDG_CONFIG_HOME names) as the
// program stores it, with the display `selected` chosen.
export async function saveDisplays(config, displays, selected) {
  await mkdir(path.join(config, 'tavelin'), { recursive: true, mode: 0o700 });
  await writeFile(path.join(config, 'tavelin', 'defaults.json'), JSON.stringify({
    'displayProfiles.v1': { data: Buffer.from(JSON.stringify(displays)).toString('base64') },
    'selectedDisplay.v1': selected, 'displayDefaultName.v2': true }));
}

export class Tavelin {
  // `desktop`: variables of a desktop to run on (GNOME's bus and runtime folder) instead
  // of the program's own X server.
  static async start(desktop = {}, options = []) {
    const root = await mkdtemp(path.join(tmpdir(), 'tavelin-e2e-'));
    const folders = Object.fromEntries(['home', 'config', 'data', 'runtime'].map((name) => [name, path.join(root, name)]));
    for (const folder of Object.values(folders)) await mkdir(folder, { mode: 0o700 });
    const env = { PATH: '/usr/bin:/bin', HOME: folders.home, XDG_CONFIG_HOME: folders.config,
      XDG_DATA_HOME: folders.data, XDG_RUNTIME_DIR: folders.runtime, ...desktop };
    const port = await freePort();
    const child = spawn(program, ['--headless', '--start', '--port', String(port), ...options], { env, stdio: ['ignore', 'ignore', 'pipe'] });
    const tavelin = new Tavelin(child, root, folders.runtime);
    tavelin.env = env;
    try {
      [, tavelin.link] = await tavelin.waitForLine(/^Tavelin: Receiver link (http:\/\/\S+)$/);
      [, tavelin.display] = tavelin.line(/^Tavelin: Started its own X server on (:\d+)$/) ?? [];
    } catch (error) {
      await tavelin.stop().catch(() => {});
      throw error;
    }
    return tavelin;
  }

  constructor(child, root, runtime) {
    Object.assign(this, { child, root, runtime, stderr: '' });
    // A program still running when the test process ends, however it ends, is stopped.
    process.once('exit', () => child.kill('SIGTERM'));
    this.exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
    child.once('error', (error) => { this.failure = error; });
    child.stderr.setEncoding('utf8').on('data', (text) => { this.stderr += text; });
  }

  line(pattern) {
    return this.stderr.split('\n').map((line) => line.match(pattern)).find(Boolean) ?? null;
  }

  // The first stderr line matching `pattern`, now or later.
  waitForLine(pattern, ms = 30_000) {
    return eventually(() => {
      const match = this.line(pattern);
      if (!match && (this.failure || this.child.exitCode !== null || this.child.signalCode !== null)) {
        throw new Error(`${program} ended before printing ${pattern} ${this.failure?.message ?? ''}\n${this.stderr}`);
      }
      return match;
    }, (match) => { if (!match) throw new Error(`stderr so far:\n${this.stderr}`); }, `waiting for ${pattern}`, ms);
  }

  // The X server's client environment, for tools that look at the shared desktop.
  async xEnvironment() {
    const folder = (await readdir(this.runtime)).find((name) => name.startsWith('tavelin-xserver-'));
    if (!this.display || !folder) throw new Error('tavelin did not start its own X server');
    return { PATH: '/usr/bin:/bin', DISPLAY: this.display, XAUTHORITY: path.join(this.runtime, folder, 'client.auth') };
  }

  async x(command, ...args) {
    const { stdout } = await promisify(execFile)(command, args, { env: await this.xEnvironment(), timeout: 10_000 });
    return stdout;
  }

  async pointer() {
    return (await this.x('xdotool', 'getmouselocation')).match(/x:(\d+) y:(\d+)/).slice(1).map(Number);
  }

  // Button numbers of X (1 left, 2 middle, 3 right) held by the XTest device, the one
  // Tavelin injects through (xinput reads the state of slave devices only).
  async heldButtons() {
    return [...(await this.x('xinput', 'query-state', 'Virtual core XTEST pointer')).matchAll(/button\[(\d+)\]=down/g)]
      .map((m) => Number(m[1]));
  }

  holds(buttons, what) {
    return eventually(() => this.heldButtons(), (held) => assert.deepEqual(held, buttons), what);
  }

  // Threads, descriptors and resident memory of the program, from /proc.
  usage() {
    const proc = (what) => `/proc/${this.child.pid}/${what}`;
    return { threads: readdirSync(proc('task')).length, fds: readdirSync(proc('fd')).length,
      rssKiB: Number(readFileSync(proc('status'), 'utf8').match(/^VmRSS:\s+(\d+) kB/m)[1]) };
  }

  // A POST to its API as the receiver page sends it, with the token when one is given.
  async post(route, body, token = null) {
    const { origin } = new URL(this.link);
    const headers = { 'Content-Type': 'application/json', Origin: origin, ...(token ? { Authorization: `Bearer ${token}` } : {}) };
    const response = await fetch(`${origin}${route}`, { method: 'POST', headers, body: JSON.stringify(body) });
    return { status: response.status, json: await response.json() };
  }

  // The running copy's answer to a control option (`--status`, `--disconnect`, …).
  async control(option) {
    const { stdout } = await promisify(execFile)(program, [option], { env: this.env, timeout: 10_000 });
    return stdout.trim();
  }

  // Ends the program with SIGTERM (only this child) and reports how it ended.
  async stop() {
    try {
      if (this.failure) return { code: null, signal: null };
      this.child.kill('SIGTERM');
      const ended = await Promise.race([this.exited, delay(20_000, null, { ref: false })]);
      if (ended) return ended;
      this.child.kill('SIGKILL');
      await this.exited;
      throw new Error('tavelin took over 20 s to stop after SIGTERM');
    } finally {
      await rm(this.root, { recursive: true, force: true });
    }
  }
}

// `plainAddresses` shows host candidates as addresses instead of mDNS names, for a
// browser that plays the host's side of a connection. Playwright's own switches already
// leave out the sandbox, first-run pages, sync and background traffic.
// `executablePath` starts Chromium through a wrapper of the test's (into another network
// namespace, say).
export function launchBrowser({ plainAddresses = false, executablePath = '/usr/bin/chromium' } = {}) {
  const args = ['--disable-gpu', ...(plainAddresses ? ['--disable-features=WebRtcHideLocalIpsWithMdns'] : [])];
  return chromium.launch({ executablePath, args });
}

// The display Tavelin shares is the active monitor beside the primary one.
export async function sharedDisplay(tavelin) {
  const monitors = [...(await tavelin.x('xrandr', '--listactivemonitors'))
    .matchAll(/^\s*\d+: \+(\*?)\S+ (\d+)\/\d+x(\d+)\/\d+\+(-?\d+)\+(-?\d+)/gm)]
    .map(([, primary, width, height, x, y]) => ({ primary, width: +width, height: +height, x: +x, y: +y }));
  if (!monitors.length) throw new Error('no active monitor on the X server');
  return monitors.find((m) => !m.primary) ?? monitors[0];
}

// The video's size once `count` more frames were shown (Playwright and Puppeteer pages alike).
export const decodedFrames = (page, count = 3) => page.evaluate((left) => new Promise((resolve) => {
  const video = document.getElementById('video');
  const next = () => video.requestVideoFrameCallback(() => {
    if (--left) next(); else resolve({ width: video.videoWidth, height: video.videoHeight });
  });
  next();
}), count);

// Debian's Firefox ESR, which offers no H.264 (its OpenH264 plug-in is off), with the
// preferences it would have on a receiver: host candidates hidden behind mDNS names.
export function launchFirefox() {
  return puppeteer.launch({ browser: 'firefox', executablePath: '/usr/bin/firefox-esr', headless: true });
}

// A page in a context of its own that keeps its script errors in `errors` and the
// console's errors (what the Content-Security-Policy blocks among them) in `consoleErrors`.
// `initScript` runs in the page before its own scripts.
export async function newPage(browser, options = {}, initScript = null) {
  const context = await browser.newContext(options);
  if (initScript) await context.addInitScript(initScript);
  const page = await context.newPage();
  Object.assign(page, { errors: [], consoleErrors: [] });
  page.on('pageerror', (error) => page.errors.push(error.message));
  page.on('console', (message) => message.type() === 'error' &&
    page.consoleErrors.push(`${message.text()} ${message.location().url}`));
  page.waitForState = (state) => page.waitForSelector(`body[data-state="${state}"]`, { timeout: 30_000 });
  return page;
}
