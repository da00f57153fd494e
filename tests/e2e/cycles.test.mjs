// Receivers coming and going, one after another, against one running program: each
// connects, shows frames, starts a drag and goes away in one of four ways — its page
// closed abruptly (the renderer crashes: no goodbye at all), reloaded, cut off by the link
// between the two computers going down for 10 s, or closed in the ordinary way. After each, no
// button stays held on X and the host waits for the next receiver; the program's
// threads, descriptors, memory and media elements stay level from cycle to cycle.
//
// Chromium runs in a network namespace of its own, joined to the program's by a veth
// pair, so that "the link goes down" is a real link going down.
//   E2E_CYCLES  how many cycles (default 8, two of each way; 100 for the soak)
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import { chmod, mkdtemp, readlink, rm, writeFile } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { setTimeout as delay } from 'node:timers/promises';
import { promisify } from 'node:util';
import { Tavelin, decodedFrames, eventually, launchBrowser, newPage, sharedDisplay } from './harness.mjs';

const cycles = Number(process.env.E2E_CYCLES || 8);
const soak = cycles >= 100;
const ways = ['close', 'reload', 'network', 'disconnect'];
// The first reading once the program has seen every way of leaving, and the last: both
// after the same way, whose leftovers in the first seconds differ.
const from = Math.min(10, Math.max(4, Math.floor(cycles / 2)));
const early = from + ((((cycles - from) % ways.length) + ways.length) % ways.length);
// A receiver gone without a word is let go after 3 s of silence; xinput is polled
// for the release, which on a busy machine adds its own latency.
const releaseLimit = 3000;
const releaseSlack = 500;
// About what one connection's ICE agent opens on this machine.
const perConnectionDescriptors = 24;

const run = (command, ...args) => promisify(execFile)(command, args, { timeout: 10_000 });
let tavelin, browser, shared, holder, scratch, token;

// The receiver's side of the link: a namespace kept by a sleeping process of ours.
const receiverSide = (...args) => run('/usr/bin/nsenter', `--net=/proc/${holder.pid}/ns/net`, '/usr/sbin/ip', ...args);
async function linkUp() {
  await receiverSide('link', 'set', 'tavc1', 'up');
  // A link set down loses its routes.
  await receiverSide('route', 'replace', 'default', 'via', '10.214.0.1');
}

before(async () => {
  holder = spawn('/usr/bin/unshare', ['--net', '/usr/bin/sleep', 'infinity'], { stdio: 'ignore' });
  process.once('exit', () => holder.kill('SIGKILL'));
  const namespaceOf = (pid) => readlink(`/proc/${pid}/ns/net`).catch(() => null);
  const ours = await namespaceOf(process.pid);
  await eventually(() => namespaceOf(holder.pid), (theirs) => assert.ok(theirs && theirs !== ours), 'a namespace for the receiver');
  for (const ip of ['link add tavc0 type veth peer name tavc1', `link set tavc1 netns ${holder.pid}`,
    'addr add 10.214.0.1/24 dev tavc0', 'link set tavc0 up']) await run('/usr/sbin/ip', ...ip.split(' '));
  for (const ip of ['link set lo up', 'addr add 10.214.0.2/24 dev tavc1']) await receiverSide(...ip.split(' '));
  await linkUp();

  scratch = await mkdtemp(path.join(tmpdir(), 'tavelin-cycles-'));
  const wrapper = path.join(scratch, 'chromium');
  await writeFile(wrapper, `#!/bin/sh\nexec /usr/bin/nsenter --net=/proc/${holder.pid}/ns/net -- /usr/bin/chromium "$@"\n`);
  await chmod(wrapper, 0o755);
  [tavelin, browser] = await Promise.all([Tavelin.start(), launchBrowser({ executablePath: wrapper })]);
  shared = await sharedDisplay(tavelin);
});

after(async () => {
  await Promise.all([browser?.close(), tavelin?.stop()]);
  holder?.kill('SIGKILL'); // its namespace goes with it, and both ends of the pair
  if (scratch) await rm(scratch, { recursive: true, force: true });
});

// The host's own figures: the program's threads, descriptors and resident memory, and its
// media elements from the statistics a paired receiver may read.
async function reading() {
  token ??= (await tavelin.post('/api/pair', { code: new URL(tavelin.link).pathname.slice(1) })).json.token;
  const { json: status } = await tavelin.post('/api/status', {}, token);
  if (!Number.isInteger(status.mediaElements)) throw new Error(`no media elements in the statistics: ${JSON.stringify(status)}`);
  return { ...tavelin.usage(), mediaElements: status.mediaElements };
}

// A closed connection's threads and sockets go within a few seconds (GStreamer's pooled
// streaming threads end once idle): the reading once both held still for 3 s.
async function settledReading() {
  let last = await reading();
  for (let still = 0, tries = 0; still < 3 && tries < 15; ++tries) {
    await delay(1000);
    const next = await reading();
    still = next.fds === last.fds && next.threads === last.threads ? still + 1 : 0;
    last = next;
  }
  return last;
}

// Milliseconds from `since` until X holds no button, or Infinity after 10 s.
const releasedAfter = (since) => eventually(() => tavelin.heldButtons(), (held) => assert.deepEqual(held, []),
  'the release', since + 10_000 - Date.now()).then(() => Date.now() - since, () => Infinity);

const frames = (page) => Promise.race([decodedFrames(page, 2).then(() => true), delay(20_000, false)]);

// One receiver, from its link to its leaving; what the cycle saw.
async function cycle(way) {
  const page = await newPage(browser, { viewport: { width: shared.width / 2, height: shared.height / 2 } });
  await page.goto(tavelin.link);
  await page.waitForState('streaming');
  const seen = { way, frames: await frames(page) };
  // A drag under way as the receiver leaves.
  await page.mouse.move(shared.width / 8, shared.height / 8);
  await page.mouse.down();
  await tavelin.holds([1], 'the button pressed on X');
  await page.mouse.move(shared.width / 4, shared.height / 4, { steps: 4 });
  const left = Date.now();
  switch (way) {
  case 'close':
    (await page.context().newCDPSession(page)).send('Page.crash').catch(() => {}); // the answer never comes
    seen.released = await releasedAfter(left);
    await page.context().close();
    break;
  case 'reload':
    await page.reload();
    seen.released = await releasedAfter(left);
    await page.waitForState('streaming');
    seen.framesAfterReload = await frames(page);
    await page.context().close();
    break;
  case 'network':
    await receiverSide('link', 'set', 'tavc1', 'down');
    seen.released = await releasedAfter(left);
    break;
  default:
    await page.context().close();
    seen.released = await releasedAfter(left);
  }
  const status = () => tavelin.control('--status');
  await eventually(status, (text) => assert.match(text, /^sharing: yes; .*; receiver: none$/), 'the host waiting again', 20_000);
  seen.waiting = Date.now() - left;
  if (way === 'network') {
    // The link comes back after 10 s, under the page that lost it; the next receiver
    // must still find the host free.
    await delay(left + 10_000 - Date.now());
    await linkUp();
    await page.context().close();
  }
  return seen;
}

test(`${cycles} receivers connect, stream and leave`, { timeout: cycles * 60_000 }, async () => {
  const seen = [];
  const readings = {};
  for (let index = 1; index <= cycles; ++index) {
    const result = await cycle(ways[(index - 1) % ways.length]);
    seen.push(result);
    if (index === early || index === cycles) readings[index] = await settledReading();
    console.log(`cycle ${index} ${JSON.stringify(result)} ${JSON.stringify(readings[index] ?? await reading())}`);
  }
  const [first, last] = [readings[early], readings[cycles]];
  const withoutFrames = seen.flatMap((s, i) => (s.frames && s.framesAfterReload !== false ? [] : [i + 1]));
  assert.deepEqual(withoutFrames, [], 'cycles whose receiver showed no frames');
  const slow = seen.flatMap((s, i) => (s.released <= releaseLimit + releaseSlack ? [] : [`${i + 1} ${s.way} ${s.released} ms`]));
  assert.deepEqual(slow, [], 'buttons held on past the limit');
  // A crashed page says no goodbye and ICE still counts it connected: its silence frees the place.
  const late = seen.flatMap((s, i) => (s.way === 'close' && s.waiting >= 6000 ? [`${i + 1} ${s.waiting} ms`] : []));
  assert.deepEqual(late, [], 'crashed receivers whose place stayed taken for 6 s');
  // A closed connection leaves no element behind, however it ended.
  assert.deepEqual([first.mediaElements, last.mediaElements], [0, 0], 'media elements alive between receivers');
  // Each connection's ICE agent holds a few dozen sockets; an agent that outlives its
  // connection shows in a few cycles already.
  assert.ok(last.fds - first.fds < perConnectionDescriptors,
    `descriptors: ${first.fds} after cycle ${early}, ${last.fds} after cycle ${cycles}`);
  // A few cycles say little about threads and memory, which come and go with the
  // encoder's and the ICE agent's; a hundred must not grow by more than 5 %.
  if (!soak) return;
  for (const figure of ['threads', 'fds', 'rssKiB']) {
    assert.ok((last[figure] - first[figure]) / first[figure] <= 0.05,
      `${figure}: ${first[figure]} after cycle ${early}, ${last[figure]} after cycle ${cycles}`);
  }
});
