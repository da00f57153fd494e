// What a page from elsewhere can do against the real program: a page on another origin
// and a page whose name was rebound to this computer's address both try to pair. Their
// attempts must never reach the pairing gate: if they did, five wrong codes would lock
// the rightful receiver out for a minute.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { readFile, readdir } from 'node:fs/promises';
import { createServer } from 'node:http';
import { promisify } from 'node:util';
import { Tavelin, launchBrowser } from './harness.mjs';

const limit = { timeout: 60_000 };
let tavelin, browser, foreign, link;

before(async () => {
  tavelin = await Tavelin.start();
  link = new URL(tavelin.link);
  // The attacker's own server, on another address of the namespace.
  foreign = createServer((_, response) => response.end('<!doctype html><title>elsewhere</title>'));
  await new Promise((resolve) => foreign.listen(0, '127.0.0.2', resolve));
  browser = await launchBrowser({ more: [`--host-resolver-rules=MAP rebound.test ${link.hostname}`] });
});

after(() => Promise.all([browser?.close(), foreign && new Promise((resolve) => foreign.close(resolve)),
  tavelin?.child.exitCode === null && tavelin.stop()]));

// Five wrong codes and the right one, posted from the page's own script.
const tries = (page, target, code) => page.evaluate(async ([url, right]) => {
  const statuses = [];
  for (const code of ['0001', '0002', '0003', '0004', '0005', right]) {
    const answer = await fetch(url, { method: 'POST', mode: url.startsWith(location.origin) ? 'same-origin' : 'no-cors',
      headers: { 'content-type': 'text/plain' }, body: JSON.stringify({ code }) }).catch(() => null);
    statuses.push(answer?.type === 'opaque' ? 'opaque' : answer?.status ?? 'failed');
  }
  return statuses;
}, [target, code]);

test('pages of other origins and rebound names cannot pair, nor lock out the receiver', limit, async () => {
  const code = link.pathname.slice(1);
  const context = await browser.newContext();
  const page = await context.newPage();

  // Another origin: the browser sends the posts (their answers are hidden from the page).
  await page.goto(`http://127.0.0.2:${foreign.address().port}/`);
  assert.deepEqual(await tries(page, `${link.origin}/api/pair`, code), Array(6).fill('opaque'));

  // A rebound name reaches this computer's address with a Host of its own: even the page
  // itself is refused, and the same-origin posts that could read a token are too.
  const rebound = `http://rebound.test:${link.port}`;
  assert.equal((await page.goto(`${rebound}/${code}`)).status(), 403);
  assert.deepEqual(await tries(page, `${rebound}/api/pair`, code), Array(6).fill(403));
  await context.close();

  // The rightful receiver, pairing as its page does, is not locked out.
  const paired = await tavelin.post('/api/pair', { code });
  assert.equal(paired.status, 200, JSON.stringify(paired.json));
  assert.match(paired.json.token, /^[0-9a-f]{32}$/);
});

// The internet sockets of a process and its children (the embedded X server), as
// "tcp 0.0.0.0:8420 listening", from ss in this namespace.
async function internetSockets(pid) {
  const tasks = await readdir(`/proc/${pid}/task`);
  const children = await Promise.all(tasks.map((task) => readFile(`/proc/${pid}/task/${task}/children`, 'utf8').catch(() => '')));
  const owners = [pid, ...children.join(' ').split(/\s+/).filter(Boolean)].map((owner) => `pid=${owner},`);
  const { stdout } = await promisify(execFile)('/usr/bin/ss', ['-Htuanp']);
  return stdout.split('\n').filter((line) => owners.some((owner) => line.includes(owner))).map((line) => {
    const [kind, state, , , local] = line.split(/\s+/);
    return `${kind} ${local}${state === 'LISTEN' ? ' listening' : ''}`;
  });
}

test('while waiting for a receiver, one IPv4 listening socket is all it opens to the network', limit, async () => {
  assert.deepEqual(await internetSockets(tavelin.child.pid), [`tcp 0.0.0.0:${link.port} listening`]);
});
