// The whole road of a receiver against the real program, one list of cases for Chromium
// and for Debian's Firefox ESR (which gets VP8): pairing, video decoded at the display's
// size, its mouse on the host's X server, the stopped state (one receiver at a time is the
// session's case, a reload the cycles'). Chromium also takes the offer's details, the
// colours, a lossy link, a touch screen and an offer without H.264.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import { setTimeout as delay } from 'node:timers/promises';
import { promisify } from 'node:util';
import { Tavelin, decodedFrames, eventually, launchBrowser, launchFirefox, newPage, sharedDisplay } from './harness.mjs';

const limit = { timeout: 90_000 };
let tavelin, browser, receiver;
let shared; // the shared display on the X root: { x, y, width, height }
const windowSize = () => ({ width: shared.width / 2, height: shared.height / 2 });

// What differs between Playwright's Chromium and Puppeteer's Firefox.
const browsers = {
  chromium: {
    launch: launchBrowser,
    // Keeping its offers and answers.
    async page(options = {}, initScript = null) {
      const page = await newPage(browser, { viewport: windowSize(), ...options }, initScript);
      Object.assign(page, { offers: [], answers: [], close: () => page.context().close() });
      page.on('request', (r) => { if (new URL(r.url()).pathname === '/api/connect') page.offers.push(r.postDataJSON()); });
      page.on('response', (r) => { if (new URL(r.url()).pathname === '/api/connect') page.answers.push(r.text().catch(() => '')); });
      return page;
    },
    // Video to receive and the gathered candidates, in one offer that was enough; frames
    // shown as soon as they are decoded: the answer takes Chromium's playout-delay extension.
    async firstConnection(page) {
      assert.equal(page.offers.length, 1);
      const [{ sdp }] = page.offers;
      assert.match(sdp, /m=video [^]*a=recvonly/);
      assert.match(sdp, /a=candidate:/);
      const id = sdp.match(/a=extmap:(\d+) http:\/\/www\.webrtc\.org\/experiments\/rtp-hdrext\/playout-delay/)[1];
      assert.match(await page.answers[0], new RegExp(`a=extmap:${id} http://www\\.webrtc\\.org/experiments/rtp-hdrext/playout-delay`));
      assert.equal(await page.isHidden('#pair'), true);
      assert.deepEqual([...page.errors, ...page.consoleErrors], []);
    },
  },
  firefox: {
    launch: launchFirefox,
    async page() {
      const context = await browser.createBrowserContext();
      const page = await context.newPage();
      await page.setViewport(windowSize());
      return Object.assign(page, { close: () => context.close(),
        waitForState: (state) => page.waitForFunction((s) => document.body.dataset.state === s, { timeout: 30_000 }, state) });
    },
    firstConnection: () => tavelin.waitForLine(/^Tavelin: sending VP8 \(vp8enc\)$/),
  },
};

// A receiver in a window of the shared display's shape, so that window fractions are
// picture fractions whatever the page's own mapping, once it shows `state`.
async function openReceiver(kind, state = 'streaming', ...options) {
  const page = await browsers[kind].page(...options);
  await page.goto(tavelin.link);
  await page.waitForState(state);
  return page;
}

// What the XTest device Tavelin injects through does; it shows clicks that button state misses.
async function xEvents() {
  const events = spawn('/usr/bin/xinput', ['test', 'Virtual core XTEST pointer'], { env: await tavelin.xEnvironment() });
  let seen = '';
  events.stdout.setEncoding('utf8').on('data', (text) => { seen += text; });
  await delay(300); // listening
  return { seen: () => seen, stop: () => events.kill() };
}

for (const kind of Object.keys(browsers)) describe(kind, () => {
  before(async () => {
    [tavelin, browser] = await Promise.all([Tavelin.start(), browsers[kind].launch()]);
    shared = await sharedDisplay(tavelin);
  });

  after(() => Promise.all([browser?.close(), tavelin?.stop()]));

  test(`${kind} pairs and gets frames at the shared display size`, limit, async () => {
    receiver = await openReceiver(kind);
    // A static screen is sent again once a second, so three frames come without any change.
    assert.deepEqual(await decodedFrames(receiver, 3), { width: shared.width, height: shared.height });
    await browsers[kind].firstConnection(receiver);
  });

  // The capture's and the encoder's figures that the page shows, as a paired receiver reads
  // them; the connection starts at the 35 Mbit/s setting.
  test(`${kind}: the host's statistics describe the stream`, limit, async () => {
    const { json: { token } } = await tavelin.post('/api/pair', { code: new URL(tavelin.link).pathname.slice(1) });
    const encoder = kind === 'chromium' ? 'H264 (x264enc)' : 'VP8 (vp8enc)';
    await eventually(async () => (await tavelin.post('/api/status', {}, token)).json, (s) => {
      assert.deepEqual([s.frameWidth, s.frameHeight, s.targetBitrate, s.encoderImplementation],
        [shared.width, shared.height, 35_000_000, encoder]);
      const counted = ['framesEncoded', 'framesSent', 'bytesSent', 'framesPerSecond', 'totalEncodeTime'];
      assert.ok(counted.every((k) => s[k] > 0), JSON.stringify(s));
      assert.ok(['none', 'cpu'].includes(s.qualityLimitationReason), s.qualityLimitationReason);
      assert.ok(s.captureAgeMS >= 0 && !('keyFramesEncoded' in s), 'the capture age, and only the figures the page shows');
    }, 'the statistics');
  });

  // Where a fraction lands and which X button a browser button or the wheel makes are the
  // input, X11 and page tests' cases; here one drag must come through the whole road to the
  // shared display, held by the page's heartbeats past the host's 3 s release after silence.
  test(`${kind}: a held drag reaches the X server at the same place of the shared display`, limit, async () => {
    const at = (fx, fy) => [(shared.width / 2) * fx, (shared.height / 2) * fy]; // in the window
    const want = [shared.x + 0.6 * shared.width, shared.y + 0.4 * shared.height];
    await receiver.mouse.move(...at(0.3, 0.3));
    await receiver.mouse.down({ button: 'right' });
    await tavelin.holds([3], 'pressed');
    await receiver.mouse.move(...at(0.6, 0.4), { steps: 5 });
    const near = ([x, y]) => assert.ok(Math.abs(x - want[0]) <= 1 && Math.abs(y - want[1]) <= 1, `${x}, ${y}`);
    await eventually(() => tavelin.pointer(), near, `drag to ${want}`);
    await delay(4500);
    assert.deepEqual(await tavelin.heldButtons(), [3], 'held through the drag and the silence limit');
    await receiver.mouse.up({ button: 'right' });
    await tavelin.holds([], 'released');
  });

  if (kind === 'chromium') chromiumCases();

  test(`${kind}: stopping sharing shows the stopped state`, limit, async () => {
    assert.equal((await tavelin.stop()).code, 0);
    await receiver.waitForState('stopped'); // its sentence is the page tests'
  });
});

// Chromium's own cases, before its stopped state.
function chromiumCases() {
  // ffplay at the shared display's top left, showing the lavfi `graph`.
  const play = async (graph, ...size) => spawn('/usr/bin/ffplay', ['-hide_banner', '-loglevel', 'error', '-an', '-noborder',
    '-left', String(shared.x), '-top', String(shared.y), ...size, '-f', 'lavfi', '-i', graph],
  { env: await tavelin.xEnvironment(), stdio: 'ignore' });

  // Patches of known colours on the shared display, sent as BT.709 limited range: the
  // receiver decodes them as such, so each comes back within 3 levels, and the edge between
  // two patches blurs no wider than the chroma's 2×2 blocks. Chromium without a GPU turns
  // video into RGB with libyuv, whose BT.709 blue gain is 2.0 instead of 2.112: a colour far
  // from grey in blue difference (pure blue shows as 243) would measure that, not the stream.
  // VP8 quantises flat areas more coarsely, so it is given `tolerance` 5.
  async function showsColours(page, tolerance = 3) {
    const side = 128;
    const colours = [[102, 204, 166], [9, 18, 14], [230, 90, 80], [90, 140, 150],
      [255, 255, 255], [128, 128, 128], [200, 170, 150], [40, 60, 90]];
    const hex = ([r, g, b]) => `0x${[r, g, b].map((c) => c.toString(16).padStart(2, '0')).join('')}`;
    const sources = colours.map((c, i) => `color=c=${hex(c)}:s=${side}x${side}:r=10,format=bgr0[p${i}]`).join(';');
    const graph = `${sources};[p0][p1][p2][p3]hstack=4[top];[p4][p5][p6][p7]hstack=4[bottom];[top][bottom]vstack[out0]`;
    const player = await play(graph);
    try {
      const centres = colours.map((_, i) => [(i % 4 + 0.5) * side, (Math.floor(i / 4) + 0.5) * side]);
      // Across the edge between the first two patches, on the middle row of the first.
      const edge = Array.from({ length: 16 }, (_, i) => [side - 8 + i, side / 2]);
      const read = () => page.evaluate((points) => new Promise((resolve) => {
        const video = document.getElementById('video');
        video.requestVideoFrameCallback(() => {
          const canvas = Object.assign(document.createElement('canvas'), { width: video.videoWidth, height: video.videoHeight });
          const context = canvas.getContext('2d', { willReadFrequently: true });
          context.drawImage(video, 0, 0);
          resolve(points.map(([x, y]) => [...context.getImageData(x, y, 1, 1).data.slice(0, 3)]));
        });
      }), [...centres, ...edge]);
      const near = (got, want) => got.every((c, k) => Math.abs(c - want[k]) <= tolerance);
      const shown = await eventually(read, (pixels) => assert.ok(colours.every((c, i) => near(pixels[i], c)),
        `sent ${JSON.stringify(colours)}, shown ${JSON.stringify(pixels.slice(0, colours.length))}`),
      'the patches on the receiver', 20_000);
      console.log(`colours sent ${JSON.stringify(colours)}, shown ${JSON.stringify(shown.slice(0, colours.length))}`);
      const across = shown.slice(colours.length); // x = 120 … 135, the edge between 127 and 128
      assert.ok(across.slice(0, 7).every((c) => near(c, colours[0])) && across.slice(9).every((c) => near(c, colours[1])),
        `across the edge ${JSON.stringify(across)}`);
    } finally {
      player.kill();
    }
}

test('the receiver shows the colours of the shared display', limit, () => showsColours(receiver));

// The WebRTC stack under Tavelin acts on no bandwidth feedback: Tavelin itself reads the
// browser's loss reports and lowers its rate from the 35 Mbit/s setting.
test('a lossy link lowers the sending rate and the picture keeps coming', limit, async () => {
  const nft = (...args) => promisify(execFile)('/usr/sbin/nft', args);
  // A moving picture, so that the video has packets to lose.
  const player = await play('testsrc2=size=640x360:rate=30', '-x', '640', '-y', '360');
  await nft('add', 'table', 'inet', 'loss');
  try {
    await nft('add', 'chain', 'inet', 'loss', 'out', '{ type filter hook output priority 0; }');
    // Only large datagrams, the video: ICE, DTLS and the reports themselves get through.
    await nft('add', 'rule', 'inet', 'loss', 'out', 'meta', 'l4proto', 'udp', 'meta', 'length', 'gt', '600',
      'numgen', 'random', 'mod', '100', 'lt', '25', 'drop');
    const [, rate] = await tavelin.waitForLine(/^Tavelin: sending at (\d+) kbit\/s/, 30_000);
    assert.ok(Number(rate) < 35_000, `${rate} kbit/s`);
    await decodedFrames(receiver, 3);
  } finally {
    player.kill();
    await nft('delete', 'table', 'inet', 'loss');
  }
});

test('a tap on a touch screen clicks the middle of the shared display', limit, async () => {
  await receiver.close();
  receiver = await openReceiver('chromium', 'streaming', { hasTouch: true });
  const events = await xEvents();
  try {
    await receiver.touchscreen.tap(shared.width / 4, shared.height / 4);
    await eventually(events.seen, (text) => assert.match(text, /button press\s+1[^]*button release\s+1/), 'a click on X');
    assert.deepEqual(await tavelin.pointer(), [shared.x + shared.width / 2, shared.y + shared.height / 2]);
  } finally {
    events.stop();
  }
});

// Firefox without OpenH264 offers VP8, VP9 and AV1 only: Chromium made to offer the same.
test('a receiver that offers no H.264 gets VP8 with the same picture', limit, async () => {
  await receiver.close();
  receiver = await openReceiver('chromium', 'streaming', {}, () => {
    const add = RTCPeerConnection.prototype.addTransceiver;
    RTCPeerConnection.prototype.addTransceiver = function (...args) {
      const transceiver = add.apply(this, args);
      const { codecs } = RTCRtpReceiver.getCapabilities('video');
      transceiver.setCodecPreferences(codecs.filter((c) => !/h264/i.test(c.mimeType)));
      return transceiver;
    };
  });
  assert.doesNotMatch(receiver.offers.at(-1).sdp, /H264/);
  await tavelin.waitForLine(/^Tavelin: sending VP8 \(vp8enc\)$/);
  assert.deepEqual(await decodedFrames(receiver, 3), { width: shared.width, height: shared.height });
  await showsColours(receiver, 5);
});
}
