// The receiver page against the real program: pairing, the offer it sends, refusals,
// and the host going away.
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

// A page of a fresh browser context that fails the test on script errors and on
// anything the host's Content-Security-Policy blocks.
async function openPage(url) {
  const context = await browser.newContext();
  const page = await context.newPage();
  const problems = [];
  page.on('pageerror', (error) => problems.push(error.message));
  page.on('console', (message) => {
    if (message.type() === 'error') problems.push(message.text());
  });
  page.problems = problems;
  page.state = () => page.locator('body').getAttribute('data-state');
  page.waitForState = (state) => page.waitForSelector(`body[data-state="${state}"]`, { timeout: 30_000 });
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

test('the page pairs and offers one complete session, which the host answers', limit, async () => {
  const context = await browser.newContext();
  const page = await context.newPage();
  const pairReply = page.waitForResponse((r) => r.url().endsWith('/api/pair'));
  const connects = requestsTo(page, '/api/connect');
  await page.goto(tavelin.link);

  const paired = await pairReply;
  assert.equal(paired.status(), 200);
  const { token } = await paired.json();
  assert.match(token, /^[0-9a-f]{32}$/);

  await page.waitForSelector('body[data-state="streaming"]', { timeout: 30_000 });

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
  await context.close();
});

test('the page follows the link without errors and offers full screen', limit, async () => {
  const page = await openPage(tavelin.link);
  await page.waitForState('streaming');
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

test('stopping the program shows that sharing stopped', limit, async () => {
  const page = await openPage(tavelin.link);
  await page.waitForState('streaming');
  const { code, signal } = await tavelin.stop();
  assert.deepEqual({ code, signal }, { code: 0, signal: null });
  await page.waitForState('stopped');
  assert.equal(await page.textContent('#status'), 'The host computer is not sharing a display.');
  await page.context().close();
});
