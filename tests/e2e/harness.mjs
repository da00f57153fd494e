// Starts the tavelin program with its own X server and private folders, and headless
// Chromium to open its receiver link.
import { spawn, execFile } from 'node:child_process';
import { mkdtemp, mkdir, readdir, rm } from 'node:fs/promises';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';
import { chromium } from 'playwright-core';

const repository = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const program = path.resolve(repository, process.env.TAVELIN_PROGRAM || 'build/program/tavelin');
const startLimit = 30_000;
// Programs still running when the test process ends, however it ends.
const running = new Set();
process.once('exit', () => { for (const child of running) child.kill('SIGTERM'); });
const stopLimit = 20_000;

// A port the kernel just handed out and took back.
export function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function withTimeout(promise, ms, what) {
  let timer;
  const limit = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what} took longer than ${ms} ms`)), ms);
  });
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
}

export class Tavelin {
  static async start() {
    const root = await mkdtemp(path.join(tmpdir(), 'tavelin-e2e-'));
    const folders = Object.fromEntries(['home', 'config', 'data', 'runtime'].map((name) => [name, path.join(root, name)]));
    for (const folder of Object.values(folders)) await mkdir(folder, { mode: 0o700 });
    const environment = {
      PATH: '/usr/bin:/bin',
      HOME: folders.home,
      XDG_CONFIG_HOME: folders.config,
      XDG_DATA_HOME: folders.data,
      XDG_RUNTIME_DIR: folders.runtime,
    };
    const port = await freePort();
    const child = spawn(program, ['--headless', '--start', '--port', String(port)], {
      env: environment,
      stdio: ['ignore', 'ignore', 'pipe'],
    });
    const tavelin = new Tavelin(child, root, folders.runtime);
    try {
      const [, link] = await tavelin.waitForLine(/^Tavelin: Receiver link (http:\/\/\S+)$/);
      const [, display] = tavelin.line(/^Tavelin: Started its own X server on (:\d+)$/) ?? [];
      tavelin.link = link;
      tavelin.display = display;
    } catch (error) {
      await tavelin.stop().catch(() => {});
      throw error;
    }
    return tavelin;
  }

  constructor(child, root, runtime) {
    this.child = child;
    this.root = root;
    this.runtime = runtime;
    this.stderr = '';
    this.waiters = new Set();
    running.add(child);
    this.exited = new Promise((resolve) => {
      child.once('exit', (code, signal) => {
        running.delete(child);
        resolve({ code, signal });
      });
    });
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text) => {
      this.stderr += text;
      for (const waiter of this.waiters) waiter();
    });
    child.once('exit', () => { for (const waiter of this.waiters) waiter(); });
    child.once('error', (error) => {
      this.failure = error;
      running.delete(child);
      for (const waiter of this.waiters) waiter();
    });
  }

  line(pattern) {
    for (const line of this.stderr.split('\n')) {
      const match = line.match(pattern);
      if (match) return match;
    }
    return null;
  }

  // The first stderr line matching `pattern`, now or later.
  waitForLine(pattern, ms = startLimit) {
    let waiter;
    const found = new Promise((resolve, reject) => {
      waiter = () => {
        const match = this.line(pattern);
        if (match) resolve(match);
        else if (this.failure) reject(new Error(`cannot run ${program}: ${this.failure.message}`));
        else if (this.child.exitCode !== null || this.child.signalCode !== null) {
          reject(new Error(`tavelin ended before printing ${pattern}:\n${this.stderr}`));
        }
      };
      this.waiters.add(waiter);
      waiter();
    });
    return withTimeout(found, ms, `waiting for ${pattern}; stderr so far:\n${this.stderr}`)
      .finally(() => this.waiters.delete(waiter));
  }

  // The X server's client environment, for tools that look at the shared desktop.
  async xEnvironment() {
    const entries = await readdir(this.runtime);
    const folder = entries.find((name) => name.startsWith('tavelin-xserver-'));
    if (!this.display || !folder) throw new Error('tavelin did not start its own X server');
    return { PATH: '/usr/bin:/bin', DISPLAY: this.display, XAUTHORITY: path.join(this.runtime, folder, 'client.auth') };
  }

  async x(command, ...args) {
    const { stdout } = await promisify(execFile)(command, args, { env: await this.xEnvironment(), timeout: 10_000 });
    return stdout;
  }

  // Ends the program with SIGTERM (only this child) and reports how it ended.
  async stop() {
    if (this.failure) {
      await rm(this.root, { recursive: true, force: true });
      return { code: null, signal: null };
    }
    if (this.child.exitCode === null && this.child.signalCode === null) this.child.kill('SIGTERM');
    try {
      return await withTimeout(this.exited, stopLimit, 'tavelin stopping after SIGTERM');
    } catch (error) {
      this.child.kill('SIGKILL');
      await this.exited;
      throw error;
    } finally {
      await rm(this.root, { recursive: true, force: true });
    }
  }
}

// `plainAddresses` shows host candidates as addresses instead of mDNS names, for a
// browser that plays the host's side of a connection.
export function launchBrowser({ plainAddresses = false } = {}) {
  const args = [
    '--disable-background-networking',
    '--disable-component-update',
    '--disable-sync',
    '--no-first-run',
    '--disable-gpu',
  ];
  // Chromium refuses to run as root inside its sandbox.
  if (process.getuid?.() === 0) args.push('--no-sandbox');
  if (plainAddresses) args.push('--disable-features=WebRtcHideLocalIpsWithMdns');
  return chromium.launch({ executablePath: '/usr/bin/chromium', headless: true, args });
}
