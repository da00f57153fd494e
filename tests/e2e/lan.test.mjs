// What the real program opens to the network while it waits for a receiver. That pages of
// other origins and rebound names never reach the pairing gate is the server's own case.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { readFile, readdir } from 'node:fs/promises';
import { promisify } from 'node:util';
import { Tavelin } from './harness.mjs';

const limit = { timeout: 60_000 };
let tavelin, link;

before(async () => {
  tavelin = await Tavelin.start();
  link = new URL(tavelin.link);
});

after(() => tavelin?.stop());

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
