// What the real program opens to the network while it waits for a receiver. Which hosts
// and origins may talk to its API is the server's own cases.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { readFile, readdir, readlink } from 'node:fs/promises';
import { Tavelin } from './harness.mjs';

let tavelin, link;

before(async () => {
  tavelin = await Tavelin.start();
  link = new URL(tavelin.link);
});

after(() => tavelin?.stop());

// The internet sockets of a process and its children (the embedded X server), as
// "tcp 0.0.0.0:8420 listening" from /proc/net of this namespace.
async function internetSockets(pid) {
  const pids = [pid];
  for (const name of await readdir('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    const stat = await readFile(`/proc/${name}/stat`, 'utf8').catch(() => '');
    if (stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1] === String(pid)) pids.push(Number(name));
  }
  const inodes = new Set();
  for (const owner of pids) {
    for (const fd of await readdir(`/proc/${owner}/fd`).catch(() => [])) {
      const target = await readlink(`/proc/${owner}/fd/${fd}`).catch(() => '');
      const inode = target.match(/^socket:\[(\d+)\]$/)?.[1];
      if (inode) inodes.add(inode);
    }
  }
  const address = (hex) => {
    const [host, port] = hex.split(':');
    const text = host.length === 8 ? host.match(/../g).reverse().map((b) => parseInt(b, 16)).join('.') : `[${host}]`;
    return `${text}:${parseInt(port, 16)}`;
  };
  const found = [];
  for (const kind of ['tcp', 'tcp6', 'udp', 'udp6']) {
    for (const line of (await readFile(`/proc/net/${kind}`, 'utf8')).split('\n').slice(1)) {
      const fields = line.trim().split(/\s+/);
      if (fields.length > 9 && inodes.has(fields[9])) {
        found.push(`${kind} ${address(fields[1])}${fields[3] === '0A' ? ' listening' : ''}`);
      }
    }
  }
  return found;
}

test('while waiting for a receiver, one IPv4 listening socket is all it opens to the network', { timeout: 60_000 }, async () => {
  assert.deepEqual(await internetSockets(tavelin.child.pid), [`tcp 0.0.0.0:${link.port} listening`]);
});
