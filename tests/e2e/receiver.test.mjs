// The receiver page against the real program: pairing, the offer it sends and refusals.
// The host going away is checked at the end of stream.test.mjs.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { Tavelin, launchBrowser } from './harness.mjs';

const uuid = /^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$/;
const limit = { timeout: 60_000 };

let tavelin;
let browser;

before(async () => {
  [tavelin, browser] = await Promise.all([Tavelin.start(), launchBrowser()]);
});

after(async () => {
  await browser?.close();
  if (tavelin?.child.exitCode === null) await tavelin.stop();
});

// A page of a fresh browser context that records script errors and anything the host's
// Content-Security-Policy blocks; `watch` sees the page before it loads.
async function openPage(url, watch = () => {}) {
  const context = await browser.newContext();
  const page = await context.newPage();
  const problems = [];
  page.on('pageerror', (error) => problems.push(error.message));
  // The page declares no icon, so the browser's first look for /favicon.ico is a 404.
  page.on('console', (message) => {
    const { url } = message.location();
    if (message.type() === 'error' && !url.endsWith('/favicon.ico')) problems.push(`${message.text()} ${url}`);
  });
  page.problems = problems;
  page.state = () => page.locator('body').getAttribute('data-state');
  page.waitForState = (state) => page.waitForSelector(`body[data-state="${state}"]`, { timeout: 30_000 });
  watch(page);
  await page.goto(url);
  return page;
}

function requestsTo(page, path) {
  const seen = [];
  page.on('request', (request) => {
    if (new URL(request.url()).pathname === path) seen.push(request);
  });
  return seen;
}

test('the page pairs, offers one complete session the host answers, and shows no errors', limit, async () => {
  let pairReply;
  let connects;
  const page = await openPage(tavelin.link, (p) => {
    pairReply = p.waitForResponse((r) => r.url().endsWith('/api/pair'));
    connects = requestsTo(p, '/api/connect');
  });
  const paired = await pairReply;
  assert.equal(paired.status(), 200);
  const { token } = await paired.json();
  assert.match(token, /^[0-9a-f]{32}$/);
  await page.waitForState('streaming');

  const [first] = connects;
  const offer = first.postDataJSON();
  assert.equal(first.headers().authorization, `Bearer ${token}`);
  assert.equal(offer.type, 'offer');
  assert.match(offer.sessionID, uuid);
  // One complete offer: video to receive, the mouse channel, and the gathered candidates.
  assert.match(offer.sdp, /^v=0/);
  assert.match(offer.sdp, /m=video [^]*a=recvonly/);
  assert.match(offer.sdp, /m=application [^]*webrtc-datachannel/);
  assert.match(offer.sdp, /a=candidate:/);
  assert.equal(connects.length, 1, 'one offer was enough');

  assert.equal(await page.isVisible('#fullscreen'), true);
  assert.equal(await page.isHidden('#pair'), true);
  assert.deepEqual(page.problems, []);
  await page.context().close();
});

test('a wrong code is refused with the out-of-date link message', limit, async () => {
  const { origin, pathname } = new URL(tavelin.link);
  const wrong = String((Number(pathname.slice(1)) + 1) % 10000).padStart(4, '0');
  const page = await openPage(`${origin}/${wrong}`);
  await page.waitForState('refused');
  assert.equal(await page.textContent('#status'),
    'This receiver link is out of date. Copy the current link from the Tavelin app.');
  assert.equal(await page.isVisible('#pair'), true);
  await page.context().close();
});
