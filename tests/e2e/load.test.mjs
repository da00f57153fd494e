// The program's HTTP server under load, over real sockets in the test's network namespace:
// a thousand idle connections at once, thousands of requests of every shape, and requests
// far beyond the size limits. The process must keep to its limits and give back every
// thread, descriptor and megabyte afterwards. TAVELIN_SOAK=1 runs the long version; the
// figures go to standard output.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { connect } from 'node:net';
import { setTimeout as delay } from 'node:timers/promises';
import { Tavelin, eventually } from './harness.mjs';

const soak = Boolean(process.env.TAVELIN_SOAK);
const requestCount = soak ? 10_000 : 1_500;
const bigRounds = soak ? 8 : 2;
// The server admits at most 16 connections from one address, so load comes from several.
const sources = Array.from({ length: 8 }, (_, i) => `127.0.0.${i + 2}`);
const maximumConnections = 64;
const lifetime = 20_000;
const invalid = '{"error":"Invalid request."}';

let tavelin, port, code, host;
const report = (line) => console.log(`load: ${line}`);

before(async () => {
  tavelin = await Tavelin.start();
  const link = new URL(tavelin.link);
  [port, code, host] = [link.port, link.pathname.slice(1), `127.0.0.1:${link.port}`];
});
after(() => tavelin?.stop());

// One connection: `chunks` written in order (a number is a pause in ms), then `end`
// ('half' closes our side, 'reset' aborts with RST, 'hold' waits). Resolves, once the
// server ends the connection, with what it answered and when.
function exchange(chunks, { source = sources[0], end = 'hold', timeout = lifetime + 5_000 } = {}) {
  return new Promise((resolve) => {
    const started = Date.now();
    const received = [];
    let error = null;
    const socket = connect({ host: '127.0.0.1', port, localAddress: source });
    const timer = setTimeout(() => socket.destroy(new Error('no end from the server')), timeout);
    socket.on('data', (data) => received.push(data));
    socket.on('error', (e) => { error = e.code ?? e.message; });
    socket.on('close', () => {
      clearTimeout(timer);
      const text = Buffer.concat(received).toString('latin1');
      const status = Number(text.match(/^HTTP\/1\.1 (\d{3}) /)?.[1] ?? 0);
      const body = text.includes('\r\n\r\n') ? text.slice(text.indexOf('\r\n\r\n') + 4) : '';
      resolve({ status, body, error, ms: Date.now() - started });
    });
    socket.once('connect', async () => {
      for (const chunk of chunks) {
        if (socket.destroyed) return;
        if (typeof chunk === 'number') await delay(chunk);
        else socket.write(chunk);
      }
      if (end === 'half') socket.end();
      if (end === 'reset') socket.resetAndDestroy();
    });
  });
}

const get = (path, headers = `Host: ${host}\r\n`) => `GET ${path} HTTP/1.1\r\n${headers}\r\n`;
const post = (path, body, extra = '') =>
  `POST ${path} HTTP/1.1\r\nHost: ${host}\r\nOrigin: http://${host}\r\n${extra}Content-Length: ${Buffer.byteLength(body)}\r\n\r\n${body}`;

// The same sequence on every run: a failure can be replayed.
function mulberry32(seed) {
  return () => {
    seed = (seed + 0x6d2b79f5) | 0;
    let t = Math.imul(seed ^ (seed >>> 15), 1 | seed);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

// Request shapes and what the server must answer each: a status and its sentence, or no
// answer at all (status 0) for a request the client never finishes. Which malformed heads
// and foreign hosts or origins are refused (a header block over 16 KiB among them) is the
// parser's and the server's own cases; what each route answers is the route tests'.
const shapes = [
  { name: 'page', bytes: () => [get('/')], status: 200 },
  { name: 'pairing link', bytes: () => [get(`/${code}`)], status: 200 },
  { name: 'script', bytes: () => [get('/receiver.js')], status: 200 },
  { name: 'binary', bytes: (r) => [Buffer.from([0, ...Array.from({ length: 200 }, () => Math.floor(r() * 256)), 13, 10, 13, 10])],
    status: 400, body: invalid },
  // A letter among the length's digits, a case the parser's own tests lack.
  { name: 'bad length', bytes: () => [`POST /api/pair HTTP/1.1\r\nHost: ${host}\r\nContent-Length: 1e3\r\n\r\n`],
    status: 400, body: invalid },
  { name: 'wrong code', bytes: () => [post('/api/pair', '{"code":"abcd"}')], status: [401, 429] },
  { name: 'trickled', bytes: (r) => [...get('/')].flatMap((c) => (r() < 0.1 ? [c, 1] : [c])), status: 200 },
  { name: 'trickled body', bytes: () => { const p = post('/api/pair', '{"code":"xy"}'); return [p.slice(0, 60), 5, p.slice(60)]; },
    status: [401, 429] },
  // The client gives up; the server must let go of the connection all the same.
  { name: 'half a request', bytes: () => [get('/').slice(0, 20)], end: 'half', status: 0 },
  { name: 'short body', bytes: () => [post('/api/pair', '{"code":"0000"}').slice(0, -4)], end: 'half', status: 0 },
  { name: 'nothing', bytes: () => [], end: 'half', status: 0 },
  { name: 'reset midway', bytes: () => [get('/').slice(0, 30), 2], end: 'reset', status: 0 },
];

const sameAsExpected = (shape, answer) =>
  [shape.status].flat().includes(answer.status) && (shape.body === undefined || answer.body === shape.body);

test('thousands of requests of every shape are each answered as they must be, and cost nothing afterwards', { timeout: 300_000 }, async () => {
  assert.equal((await exchange([get('/')])).status, 200);
  const before = tavelin.usage();
  const random = mulberry32(20261208);
  const plan = Array.from({ length: requestCount }, () => shapes[Math.floor(random() * shapes.length)]);
  const wrong = [];
  let next = 0;
  const started = Date.now();
  // 24 clients at once, three per address.
  await Promise.all(Array.from({ length: 24 }, async (_, worker) => {
    const r = mulberry32(worker);
    for (let i = next++; i < plan.length; i = next++) {
      const shape = plan[i];
      const answer = await exchange(shape.bytes(r), { source: sources[worker % sources.length], end: shape.end, timeout: 10_000 });
      if (!sameAsExpected(shape, answer)) wrong.push(`#${i} ${shape.name}: ${answer.status} ${answer.body} ${answer.error ?? ''}`);
    }
  }));
  const seconds = (Date.now() - started) / 1000;
  assert.deepEqual(wrong.slice(0, 10), [], `${wrong.length} of ${requestCount} answered wrongly`);
  // The server closes its side after the answer; give the closes a moment to land. A
  // thread of the program's start (it prepares the first connection) may end meanwhile.
  const settled = await eventually(() => tavelin.usage(), (now) => {
    assert.equal(now.fds, before.fds);
    assert.ok(now.threads <= before.threads, `${now.threads} threads, ${before.threads} before`);
  }, 'descriptors and threads after the load', 5_000).catch((error) => ({ error, ...tavelin.usage() }));
  report(`${requestCount} requests of ${shapes.length} shapes in ${seconds.toFixed(1)} s; threads ${before.threads} -> ` +
    `${settled.threads}, descriptors ${before.fds} -> ${settled.fds}`);
  if (settled.error) throw settled.error;
});

test('a body of 20 MB and 10,000 headers are refused by their limits without holding the memory', { timeout: 120_000 }, async () => {
  const huge = 20 * 1024 * 1024;
  const piece = Buffer.alloc(64 * 1024, 'a');
  const body = [post('/api/pair', '').replace('Content-Length: 0', `Content-Length: ${huge}`),
    ...Array.from({ length: huge / piece.length }, () => piece)];
  const headers = [`GET / HTTP/1.1\r\nHost: ${host}\r\n${Array.from({ length: 10_000 }, (_, i) => `X-Header-${i}: ${i}\r\n`).join('')}\r\n`];
  // The server reads at its own pace; a refused body is RST by the time the rest arrives.
  const before = tavelin.usage();
  let peak = before.rssKiB;
  const sampler = setInterval(() => { peak = Math.max(peak, tavelin.usage().rssKiB); }, 10);
  const answers = [];
  try {
    for (let round = 0; round < bigRounds; ++round) {
      answers.push(...await Promise.all(sources.slice(0, 4).flatMap((source) => [
        exchange(body, { source }).then((a) => ({ what: 'body of 20 MB', ...a })),
        exchange(headers, { source }).then((a) => ({ what: '10,000 headers', ...a })),
      ])));
    }
  } finally {
    clearInterval(sampler);
  }
  await delay(200);
  const after = tavelin.usage();
  for (const answer of answers) {
    assert.equal(`${answer.what}: ${answer.status} ${answer.body}`, `${answer.what}: 400 ${invalid}`, answer.error ?? '');
  }
  const growth = (after.rssKiB - before.rssKiB) / 1024;
  report(`${answers.length} oversized requests refused with 400 "Invalid request." (in ${Math.max(...answers.map((a) => a.ms))} ms ` +
    `at most); RSS ${(before.rssKiB / 1024).toFixed(1)} MiB -> ${(after.rssKiB / 1024).toFixed(1)} MiB ` +
    `(peak ${(peak / 1024).toFixed(1)} MiB)`);
  assert.ok(growth <= 4, `RSS grew by ${growth.toFixed(1)} MiB`);
});

test('a thousand idle connections: 64 are served at a time, each is dropped at 20 s, and the page loads right after', { timeout: 60_000 }, async () => {
  const before = tavelin.usage();
  const opened = Array.from({ length: 1000 }, (_, i) => {
    const connection = { started: Date.now() };
    connection.ended = exchange([], { source: sources[i % sources.length] }).then(() => { connection.closed = Date.now(); });
    return connection;
  });
  await delay(2_000);
  const held = opened.filter((c) => !c.closed);
  const during = tavelin.usage();
  assert.equal(held.length, maximumConnections, 'connections held open by the server');
  assert.equal(during.fds - before.fds, maximumConnections, 'sockets the server holds');
  const refused = opened.filter((c) => c.closed);
  const refusedWithin = Math.max(...refused.map((c) => c.closed - c.started));
  // That they and the held ones end without an answer is the server's own case.
  await Promise.all(held.map((c) => c.ended));
  const lastClosed = Math.max(...held.map((c) => c.closed));
  const drops = held.map((c) => c.closed - c.started);
  const page = await exchange([get('/')], { timeout: 5_000 });
  const pageMs = Date.now() - lastClosed;
  report(`1000 idle connections: ${held.length} held (server descriptors +${during.fds - before.fds}), ` +
    `${refused.length} closed within ${refusedWithin} ms; ` +
    `held ones dropped after ${Math.min(...drops)}-${Math.max(...drops)} ms; page ${page.status} ${pageMs} ms after the last drop`);
  assert.ok(Math.min(...drops) >= lifetime - 100 && Math.max(...drops) <= lifetime + 3_000, `dropped after ${drops}`);
  assert.equal(page.status, 200);
  assert.ok(page.body.includes('<html'), 'the page');
  assert.ok(pageMs < 1_000, `the page took ${pageMs} ms after the last drop`);
});
