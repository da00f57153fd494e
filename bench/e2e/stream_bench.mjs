// Streams a moving 1920x1080 picture at 60 fps from the tavelin program to headless
// Chromium and measures what the receiver sees, then runs ffmpeg's own screen grab and
// x264 encode of the same region as the reference. Started by bench/e2e/run, inside a
// network namespace.
import { execFile, spawn } from 'node:child_process';
import { access, mkdir, mkdtemp, readFile, readdir, writeFile } from 'node:fs/promises';
import { connect } from 'node:net';
import { availableParallelism, tmpdir } from 'node:os';
import path from 'node:path';
import { setTimeout as delay } from 'node:timers/promises';
import { promisify } from 'node:util';
import { Tavelin, freePort, launchBrowser, launchFirefox, program, saveDisplays, startGnome } from '../../tests/e2e/harness.mjs';

const seconds = Number(process.env.BENCH_SECONDS || 20);
// BENCH_SIZE (WIDTHxHEIGHT) and BENCH_RATE set the shared display's mode.
const [width, height] = (process.env.BENCH_SIZE || '1920x1080').split('x').map(Number);
const size = { width, height };
const rate = Number(process.env.BENCH_RATE || 60);
const warmUp = 3_000;
const tearingCheck = 5_000; // how long the receiver's frames are read back for tearing
const rtpClockRate = 90_000;
const cores = availableParallelism();
const ticksPerSecond = 100; // USER_HZ, what /proc/<pid>/stat counts in on Linux

// ---- host side ---------------------------------------------------------------------

// `bitrateMbps` saves a display of that bitrate beside the main one before the start.
async function startTavelin(desktop = {}, { bitrateMbps } = {}) {
  const root = await mkdtemp(path.join(tmpdir(), 'tavelin-bench-'));
  const folders = Object.fromEntries(['home', 'config', 'data', 'runtime'].map((name) => [name, path.join(root, name)]));
  for (const folder of Object.values(folders)) await mkdir(folder, { mode: 0o700 });
  if (bitrateMbps) {
    const id = '3C9E1A7B-5D2F-4B8E-A16C-0E9F8D7C6B5A';
    const displays = [{ id, name: 'Tavelin Virtual Display', width: size.width, height: size.height, refreshRate: rate,
      bitrateMbps, hiDPI: false, enabled: true, originX: size.width, originY: 0 }];
    await saveDisplays(folders.config, displays, id);
  }
  const port = await freePort();
  const args = ['--headless', '--start', '--port', String(port), '--width', String(size.width),
    '--height', String(size.height), '--fps', String(rate)];
  const child = spawn(program, args, {
    env: {
      PATH: '/usr/bin:/bin',
      HOME: folders.home,
      XDG_CONFIG_HOME: folders.config,
      XDG_DATA_HOME: folders.data,
      XDG_RUNTIME_DIR: folders.runtime,
      ...desktop,
    },
    stdio: ['ignore', 'ignore', 'pipe'],
  });
  const tavelin = new Tavelin(child, root, folders.runtime, port);
  try {
    [, tavelin.link] = await tavelin.waitForLine(/^Tavelin: Receiver link (http:\/\/\S+)$/);
    [, tavelin.display] = tavelin.line(/^Tavelin: Started its own X server on (:\d+)$/) ?? [];
  } catch (error) {
    await tavelin.stop().catch(() => {});
    throw error;
  }
  return tavelin;
}

// The display Tavelin shares is the active monitor beside the primary one.
async function sharedDisplay(tavelin) {
  const monitors = (await tavelin.x('xrandr', '--listactivemonitors'))
    .split('\n')
    .map((line) => line.match(/^\s*\d+: \+(\*?)(\S+) (\d+)\/\d+x(\d+)\/\d+\+(-?\d+)\+(-?\d+)/))
    .filter(Boolean)
    .map(([, primary, name, width, height, x, y]) => ({ primary: primary === '*', name, width: +width, height: +height, x: +x, y: +y }));
  const display = monitors.find((m) => !m.primary);
  if (!display) throw new Error('no shared display beside the primary one');
  return display;
}

// User plus system CPU time of a process so far, in seconds.
async function cpuSeconds(pid) {
  if (!pid) return NaN;
  const stat = await readFile(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[11]) + Number(fields[12])) / ticksPerSecond; // utime, stime
}

// CPU seconds so far of each thread of a process, summed by thread name.
async function threadSeconds(pid) {
  const byName = new Map();
  for (const task of await readdir(`/proc/${pid}/task`)) {
    // A thread may end between the listing and the read.
    const stat = await readFile(`/proc/${pid}/task/${task}/stat`, 'utf8').catch(() => null);
    if (!stat) continue;
    const name = stat.slice(stat.indexOf('(') + 1, stat.lastIndexOf(')'));
    const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    byName.set(name, (byName.get(name) ?? 0) + (Number(fields[11]) + Number(fields[12])) / ticksPerSecond);
  }
  return byName;
}

// The threads that used the most CPU between two readings, as "name n %" of a core.
function busiestThreads(before, after, elapsed, count = 4) {
  return [...after].map(([name, time]) => [name, (time - (before.get(name) ?? 0)) / elapsed])
    .filter(([, share]) => share > 0).sort((a, b) => b[1] - a[1]).slice(0, count)
    .map(([name, share]) => `${name} ${format(share * 100, 2)} %`).join(', ') || 'none';
}

// The X server the program started is one of its children.
async function xServerPid(pid) {
  for (const task of await readdir(`/proc/${pid}/task`)) {
    // A thread may end between the listing and the read.
    const children = (await readFile(`/proc/${pid}/task/${task}/children`, 'utf8').catch(() => '')).trim()
      .split(/\s+/).filter(Boolean);
    for (const child of children) {
      const name = (await readFile(`/proc/${child}/comm`, 'utf8').catch(() => '')).trim();
      if (name === 'Xorg') return Number(child);
    }
  }
  return null;
}

// Busy CPU time of the whole machine so far, in seconds (everything but idle and iowait).
async function machineSeconds() {
  const fields = (await readFile('/proc/stat', 'utf8')).split('\n')[0].trim().split(/\s+/).slice(1).map(Number);
  return (fields.reduce((sum, value) => sum + value, 0) - fields[3] - fields[4]) / ticksPerSecond;
}

// CPU of several processes, and then of the whole machine, over one interval, as
// fractions of one core.
function cpuMeter(pids) {
  const read = () => Promise.all([...pids.map((pid) => cpuSeconds(pid)), machineSeconds()]);
  const started = read();
  const startedAt = process.hrtime.bigint();
  return async () => {
    const [before, after] = [await started, await read()];
    const elapsed = Number(process.hrtime.bigint() - startedAt) / 1e9;
    return after.map((value, index) => (value - before[index]) / elapsed);
  };
}

// Children still running when the bench ends are killed with it.
const children = new Set();
process.once('exit', () => { for (const child of children) child.kill('SIGKILL'); });

function startChild(command, args, env) {
  const child = spawn(command, args, { env, stdio: ['pipe', 'pipe', 'pipe'] });
  children.add(child);
  child.output = '';
  child.stdout.setEncoding('utf8');
  child.stderr.setEncoding('utf8');
  child.stdout.on('data', (text) => { child.output = (child.output + text).slice(-20_000); });
  child.stderr.on('data', (text) => { child.output = (child.output + text).slice(-20_000); });
  child.ended = new Promise((resolve) => child.once('exit', (code, signal) => {
    children.delete(child);
    resolve({ code, signal });
  }));
  return child;
}

async function stopChild(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  child.kill('SIGTERM');
  const timer = setTimeout(() => child.kill('SIGKILL'), 5_000);
  await child.ended;
  clearTimeout(timer);
}

// ---- the pictures ----------------------------------------------------------------

// Every picture carries its frame number (ten bits and an even parity bit) as a row of
// black and white blocks along its top edge and again along its bottom edge: a receiver
// that shows the two rows with different numbers shows parts of two frames, a torn frame.
const code = { bits: 10, blockWidth: 32, blockHeight: 16 };
const photo = '/usr/share/backgrounds/mate/nature/LadyBird.jpg';

function frameNumberRow(y) {
  const bit = (k) => `mod(floor(n/${2 ** k}),2)`;
  const block = (k, enable) => `drawbox=x=${k * code.blockWidth}:y=${y}:w=${code.blockWidth}:h=${code.blockHeight}:color=white:t=fill:enable='${enable}'`;
  const parity = `mod(${Array.from({ length: code.bits }, (_, k) => bit(k)).join('+')},2)`;
  return [`drawbox=x=0:y=${y}:w=${(code.bits + 1) * code.blockWidth}:h=${code.blockHeight}:color=black:t=fill`,
    ...Array.from({ length: code.bits }, (_, k) => block(k, bit(k))), block(code.bits, parity)].join(',');
}

// The pictures, as ffmpeg filter graphs of a given size.
const pictures = {
  // A synthetic test pattern that changes every frame.
  motion: (width, height) => `testsrc2=size=${width}x${height}:rate=${rate}`,
  // A photograph panned slowly in two directions, so that nearly every pixel moves every
  // frame: what a video playing on the shared display looks like to the encoder.
  photo: (width, height) => `movie=${photo},loop=loop=-1:size=1,settb=1/${rate},setpts=N,` +
    `crop=${width}:${height}:x='(iw-ow)*(0.5+0.5*sin(n/97))':y='(ih-oh)*(0.5+0.5*sin(n/61))'`,
};

// A picture in a borderless window at the top left of the shared display. Drawing it
// costs its own CPU on this machine, so by default it covers a quarter of the display;
// BENCH_PICTURE=full covers all of it.
async function startPicture(tavelin, display, kind) {
  const env = { ...(await tavelin.xEnvironment()), SDL_VIDEODRIVER: 'x11' };
  const divisor = process.env.BENCH_PICTURE === 'full' ? 1 : 2;
  const [width, height] = [display.width / divisor, display.height / divisor];
  const graph = `${pictures[kind](width, height)},format=bgr0,${frameNumberRow(0)},${frameNumberRow(height - code.blockHeight)}`;
  const player = startChild('/usr/bin/ffplay', [
    '-hide_banner', '-loglevel', 'error', '-an', '-noborder',
    '-left', String(display.x), '-top', String(display.y), '-x', String(width), '-y', String(height),
    '-f', 'lavfi', '-i', graph,
  ], env);
  await delay(1_500);
  if (player.exitCode !== null) throw new Error(`ffplay ended: ${player.output}`);
  Object.assign(player, { kind, width, height });
  return player;
}

// Runs in a page: the frame number in a code row (ImageData from its top left), or null
// when its parity does not hold.
function readFrameNumber(pixels, { bits, blockWidth, blockHeight }) {
  let number = 0;
  let parity = 0;
  for (let k = 0; k <= bits; ++k) {
    const at = ((blockHeight >> 1) * pixels.width + k * blockWidth + (blockWidth >> 1)) * 4;
    const set = pixels.data[at] + pixels.data[at + 1] + pixels.data[at + 2] > 3 * 128 ? 1 : 0;
    if (k < bits) number |= set << k;
    parity ^= set;
  }
  return parity ? null : number;
}

// Frames whose two code rows disagree, and frames with a row that could not be read.
function tearing(frames) {
  const readable = frames.filter((frame) => frame.top !== null && frame.bottom !== null);
  return { torn: readable.filter((frame) => frame.top !== frame.bottom).length, unreadable: frames.length - readable.length, checked: frames.length };
}

// The script a page runs before its own, with the picture's code rows where to find them.
const pageScript = (recorder, player) => ({
  content: `${readFrameNumber}; (${recorder})(${JSON.stringify({ code, height: player.height })});`,
});

// ---- receiver side -----------------------------------------------------------------

// Runs in the receiver page before its own script: keeps every peer connection and every
// presented video frame with the frame numbers its code rows show.
function recordFrames({ code, height }) {
  window.benchPeers = [];
  window.benchFrames = [];
  const { setLocalDescription } = RTCPeerConnection.prototype;
  RTCPeerConnection.prototype.setLocalDescription = function (...args) {
    if (!window.benchPeers.includes(this)) window.benchPeers.push(this);
    return setLocalDescription.apply(this, args);
  };
  document.addEventListener('DOMContentLoaded', () => {
    const video = document.getElementById('video');
    // Reading the video back is slow here (software compositing), so the rows are read
    // only in the tearing check after the measurement, and from one drawing of the frame.
    window.benchReadRows = false;
    const width = (code.bits + 1) * code.blockWidth;
    const context = new OffscreenCanvas(width, height).getContext('2d', { willReadFrequently: true });
    const row = (y) => readFrameNumber(context.getImageData(0, y, width, code.blockHeight), code);
    const rows = () => {
      if (!window.benchReadRows) return {};
      context.drawImage(video, 0, 0, width, height, 0, 0, width, height);
      return { top: row(0), bottom: row(height - code.blockHeight) };
    };
    const next = () => video.requestVideoFrameCallback((now, metadata) => {
      window.benchFrames.push({
        ...rows(),
        presentationTime: metadata.presentationTime,
        expectedDisplayTime: metadata.expectedDisplayTime,
        rtpTimestamp: metadata.rtpTimestamp,
        receiveTime: metadata.receiveTime,
        presentedFrames: metadata.presentedFrames,
      });
      window.benchTimeCode?.(video, metadata);
      next();
    });
    next();
  });
}

// ---- draw to presentation ------------------------------------------------------------

// A time code on the shared display, drawn by bench/time_code.cpp at the display's rate:
// the CLOCK_MONOTONIC time of each drawing in milliseconds modulo 2^20 (about 17 minutes)
// and an even parity bit, as the frame-number rows are drawn. node's hrtime is the same
// clock, so the receiver's reading of it, against the presentation time mapped to that
// clock, gives the time from the change on the host to the picture showing it.
const timeCode = { bits: 20, blockWidth: 32, blockHeight: 16 };
const timeCodeTool = path.resolve(path.dirname(program), '../bench/tavelin_time_code');
// Readings further from their presentation than this are misreads that kept their parity.
const timeCodeLimits = { earliest: -50, latest: 10_000 };
// BENCH_TIME_CODE names a way of reading it, comma-separated: "alternate" reads it in
// every other second of presentation only, to compare the frame rates presented with and
// without reading; "canvas" draws its strip of the video into a canvas instead of copying
// it out of the decoded frame.
const timeCodeOptions = (process.env.BENCH_TIME_CODE || '').split(',');
const timeCodeAlternate = timeCodeOptions.includes('alternate');

// The bottom right corner of the display, clear of the picture and its code rows even
// when the picture covers the whole display; its top on a 16-pixel macroblock row, so
// that the codecs' blocks do not straddle it.
function timeCodePlace(display) {
  const width = (timeCode.bits + 1) * timeCode.blockWidth;
  return { x: display.width - width, y: Math.floor((display.height - timeCode.blockHeight) / 16) * 16 };
}

// The time code's window, above the picture (started after it); null when the build has
// no tavelin_time_code (configured without TAVELIN_BENCH).
async function startTimeCode(tavelin, display) {
  if (!(await access(timeCodeTool).then(() => true, () => false))) return null;
  const place = timeCodePlace(display);
  const tool = startChild(timeCodeTool, [String(display.x + place.x), String(display.y + place.y),
    String(timeCode.blockWidth), String(timeCode.blockHeight), String(timeCode.bits), String(rate)], await tavelin.xEnvironment());
  for (const end = Date.now() + 10_000; !/^ready$/m.test(tool.output); await delay(50)) {
    if (Date.now() > end || tool.exitCode !== null) throw new Error(`the time code did not start: ${tool.output}`);
  }
  return Object.assign(tool, { place });
}

// Ends the time code's window; its own line on how many frames it drew and how soon the
// server had drawn each.
async function stopTimeCode(tool) {
  await stopChild(tool);
  return tool.output.match(/^drawn \d+ frames.*$/m)?.[0] ?? null;
}

// The script a page runs before its own: window.benchTimeCode reads the time code of the
// video's current frame into window.benchTimeCodes.
const timeCodeScript = (tool) => ({
  content: `${readFrameNumber}; (${readTimeCodes})(${JSON.stringify({
    timeCode, place: tool.place, alternate: timeCodeAlternate, canvas: timeCodeOptions.includes('canvas'),
  })});`,
});

// Drawing the video into a canvas converts the whole frame to RGB first, in software here,
// which cost the receiver a sixth to a third of its presented frames (BENCH_TIME_CODE=
// alternate,canvas shows it); copying the strip out of the decoded frame reads a few
// kilobytes and costs no frame that the bench can see. The canvas stays as the fallback for
// a browser without VideoFrame.
function readTimeCodes({ timeCode, place, alternate, canvas }) {
  const [width, height] = [(timeCode.bits + 1) * timeCode.blockWidth, timeCode.blockHeight];
  window.benchTimeCodes = [];
  window.benchTimeCodeMethod = canvas || typeof VideoFrame === 'undefined' ? 'canvas' : 'frame';
  let context = null;
  const fromCanvas = (video) => {
    context ??= new OffscreenCanvas(width, height).getContext('2d', { willReadFrequently: true });
    context.drawImage(video, place.x, place.y, width, height, 0, 0, width, height);
    return readFrameNumber(context.getImageData(0, 0, width, height), timeCode);
  };
  // readFrameNumber reads the red, green and blue of each block's middle pixel: those
  // pixels alone are filled in, with the luma or the colour of the frame's.
  const pixels = { width, data: new Uint8Array(width * height * 4) };
  let strip = null; // the bytes of the strip, every plane
  const fromFrame = async (video) => {
    const frame = new VideoFrame(video);
    try {
      const rect = { x: place.x + frame.visibleRect.x, y: place.y + frame.visibleRect.y, width, height };
      const size = frame.allocationSize({ rect });
      if (strip?.length !== size) strip = new Uint8Array(size);
      const [plane] = await frame.copyTo(strip, { rect });
      const rgb = /^(RGB|BGR)/.test(frame.format);
      const row = height >> 1;
      for (let k = 0; k <= timeCode.bits; ++k) {
        const column = k * timeCode.blockWidth + (timeCode.blockWidth >> 1);
        const at = plane.offset + row * plane.stride + column * (rgb ? 4 : 1);
        const value = rgb ? (strip[at] + strip[at + 1] + strip[at + 2]) / 3 : strip[at];
        pixels.data.fill(value, (row * width + column) * 4, (row * width + column) * 4 + 3);
      }
      return readFrameNumber(pixels, timeCode);
    } finally {
      frame.close();
    }
  };
  window.benchTimeCodeFailures = [];
  let failedInARow = 0;
  window.benchTimeCode = async (video, metadata) => {
    if (alternate && Math.floor(metadata.presentationTime / 1_000) % 2) return;
    let code;
    if (window.benchTimeCodeMethod !== 'frame') {
      code = fromCanvas(video);
    } else {
      try {
        code = await fromFrame(video);
        failedInARow = 0;
      } catch (error) {
        // The video may show another frame by now, so this one is not read. Frames that
        // cannot be copied at all (held as textures, say) leave the canvas for the rest.
        window.benchTimeCodeFailures.push(error.message);
        if (++failedInARow === 30) window.benchTimeCodeMethod = `canvas (copying the frame failed: ${error.message})`;
        return;
      }
    }
    const { presentationTime, expectedDisplayTime, rtpTimestamp } = metadata;
    window.benchTimeCodes.push({ timeCode: code, presentationTime, expectedDisplayTime, rtpTimestamp });
  };
}

// Milliseconds from the drawing of the time code each frame shows to the frame's
// presentation, and from the drawing to the capture of the frame, with the readings that
// failed; in alternate mode, the frames presented per second with and without reading.
// The presentation is the frame's presentationTime, when the compositor took it, as in the
// capture to presentation figure, so that the two differ by the host's part alone;
// expectedDisplayTime is headless Chromium's forecast from its own begin-frame clock, a
// frame interval or so later, and is shown beside it.
async function drawToPresentation(page, frames, monotonicOf, clock) {
  const { read, method, failures } = await page.evaluate(([from, to]) => ({
    read: (window.benchTimeCodes ?? []).filter((frame) => frame.presentationTime >= from && frame.presentationTime <= to),
    method: window.benchTimeCodeMethod,
    failures: window.benchTimeCodeFailures ?? [],
  }), [frames[0]?.presentationTime, frames.at(-1)?.presentationTime]);
  const modulus = 2 ** timeCode.bits;
  const sinceDrawn = (frame, monotonicMs) => {
    // The code holds the whole milliseconds of the draw time: half a millisecond is the
    // mean of what it leaves out.
    const distance = (((monotonicMs - frame.timeCode - 0.5) % modulus) + modulus) % modulus;
    return distance > modulus / 2 ? distance - modulus : distance;
  };
  const decoded = read.filter((frame) => frame.timeCode !== null);
  const plausible = decoded.filter((frame) => {
    const latency = sinceDrawn(frame, monotonicOf(frame.presentationTime) / 1e6);
    return latency >= timeCodeLimits.earliest && latency <= timeCodeLimits.latest;
  });
  const sorted = (values) => values.sort((a, b) => a - b);
  const presented = sorted(plausible.map((frame) => sinceDrawn(frame, monotonicOf(frame.presentationTime) / 1e6)));
  const expected = sorted(plausible.map((frame) => sinceDrawn(frame, monotonicOf(frame.expectedDisplayTime) / 1e6)));
  const captured = clock ? sorted(plausible.filter((frame) => frame.rtpTimestamp !== undefined).map((frame) => {
    const ticks = (frame.rtpTimestamp - Number(clock[1])) | 0;
    return sinceDrawn(frame, (Number(clock[2]) + (ticks * 1e9) / rtpClockRate) / 1e6);
  })) : [];
  const result = {
    drawP50: percentile(presented, 0.5),
    drawP95: percentile(presented, 0.95),
    drawExpectedP50: percentile(expected, 0.5),
    drawCaptureP50: percentile(captured, 0.5),
    drawCaptureP95: percentile(captured, 0.95),
    timeCodeRead: read.length,
    timeCodeMethod: method,
    // Over the whole page's life, as the failures carry no time.
    timeCodeFailures: failures.length ? `${failures.length} frames not copied (${[...new Set(failures)].join('; ')})` : '',
    timeCodeUnreadable: read.length - decoded.length,
    timeCodeImplausible: decoded.length - plausible.length,
  };
  if (timeCodeAlternate) {
    // Frames per whole second of presentation, the first and last seconds being partial.
    const perSecond = new Map();
    for (const frame of frames) {
      const second = Math.floor(frame.presentationTime / 1_000);
      perSecond.set(second, (perSecond.get(second) ?? 0) + 1);
    }
    const seconds = [...perSecond.keys()].sort((a, b) => a - b).slice(1, -1);
    const mean = (list) => list.reduce((sum, second) => sum + perSecond.get(second), 0) / list.length;
    result.fpsReading = mean(seconds.filter((second) => second % 2 === 0));
    result.fpsNotReading = mean(seconds.filter((second) => second % 2 !== 0));
  }
  return result;
}

// The rows of a Tavelin run on the time code.
function drawToPresentationRows(ours) {
  if (!ours.timeCodeRead) {
    return [['Draw to presentation latency p50 / p95', `n/a (${ours.timeCodeDrawn === undefined ? `no ${path.relative(process.cwd(), timeCodeTool)}: configure with -DTAVELIN_BENCH=ON` : 'no time code read'})`]];
  }
  const rows = [
    ['Draw to presentation latency p50 / p95', `${format(ours.drawP50)} / ${format(ours.drawP95)} ms (goal: p50 ≤ 25 ms, p95 ≤ 40 ms at 1080p60)`],
    ['  time codes read', `${format(ours.timeCodeRead, 0)} (${format(ours.timeCodeUnreadable, 0)} unreadable, ${format(ours.timeCodeImplausible, 0)} implausible), from the ${ours.timeCodeMethod}${ours.timeCodeFailures ? `; ${ours.timeCodeFailures}` : ''}`],
    ['  draw to capture p50 / p95', `${format(ours.drawCaptureP50)} / ${format(ours.drawCaptureP95)} ms`],
    ['  draw to expected display p50', `${format(ours.drawExpectedP50)} ms`],
    ['  time code on the host', ours.timeCodeDrawn ?? 'n/a'],
  ];
  if (timeCodeAlternate) rows.push(['  presented reading the time code / not', `${format(ours.fpsReading)} / ${format(ours.fpsNotReading)} /s`]);
  return rows;
}

// Pairs a wall-clock millisecond, just begun, with a monotonic reading taken at the same
// moment; `now` is that side's monotonic clock in milliseconds.
function wallClockTick(now) {
  const start = Date.now();
  let wall;
  while ((wall = Date.now()) === start);
  return { wall, monotonic: now() };
}

// A page's clock mapped to node's monotonic clock, which is the host's CLOCK_MONOTONIC;
// `check` measures the mapping against a round trip to the page.
async function pageClock(page) {
  const pageTick = await page.evaluate(`(${wallClockTick})(() => performance.now())`);
  const nodeTick = wallClockTick(() => Number(process.hrtime.bigint()) / 1e6);
  const monotonicOf = (pageTime) => (nodeTick.monotonic + (pageTick.wall - nodeTick.wall) + (pageTime - pageTick.monotonic)) * 1e6;
  const check = async () => {
    const before = process.hrtime.bigint();
    const pageNow = await page.evaluate(() => performance.now());
    const after = process.hrtime.bigint();
    return { error: (monotonicOf(pageNow) - Number(before + after) / 2) / 1e6, roundTrip: Number(after - before) / 1e6 };
  };
  return { monotonicOf, check };
}

async function inboundVideo(page) {
  return page.evaluate(async () => {
    for (const peer of [...window.benchPeers].reverse()) {
      if (peer.connectionState !== 'connected') continue;
      for (const report of (await peer.getStats()).values()) {
        if (report.type !== 'inbound-rtp' || report.kind !== 'video') continue;
        const quality = document.querySelector('video')?.getVideoPlaybackQuality();
        return { ...report, shownTotal: quality?.totalVideoFrames, shownDropped: quality?.droppedVideoFrames };
      }
    }
    return null;
  });
}

function percentile(sorted, fraction) {
  if (!sorted.length) return NaN;
  return sorted[Math.min(sorted.length - 1, Math.floor(fraction * sorted.length))];
}

// Runs in the page before its own script: an offer without H.264, as Firefox makes.
function offerNoH264() {
  const add = RTCPeerConnection.prototype.addTransceiver;
  RTCPeerConnection.prototype.addTransceiver = function (...args) {
    const transceiver = add.apply(this, args);
    transceiver.setCodecPreferences(RTCRtpReceiver.getCapabilities('video').codecs.filter((c) => !/h264/i.test(c.mimeType)));
    return transceiver;
  };
}

async function measureTavelin(tavelin, browser, display, player, codec) {
  const context = await browser.newContext({ viewport: { width: display.width / 2, height: display.height / 2 } });
  const page = await context.newPage();
  if (codec === 'vp8' && !browser.firefox) await page.addInitScript(offerNoH264);
  await page.addInitScript(pageScript(recordFrames, player));
  if (player.timeCode) await page.addInitScript(timeCodeScript(player.timeCode));
  const hostStatus = [];
  page.on('response', async (response) => {
    if (!response.url().endsWith('/api/status') || response.status() !== 200) return;
    const at = process.hrtime.bigint();
    const json = await response.json().catch(() => null);
    if (json) hostStatus.push({ at, json });
  });

  const opened = process.hrtime.bigint();
  await page.goto(tavelin.link);
  try {
    await page.waitForSelector('body[data-state="streaming"]', { timeout: 30_000 });
  } catch (error) {
    const state = await page.evaluate(() => `${document.body.dataset.state}: ${document.getElementById('status')?.textContent}`);
    throw new Error(`the receiver did not stream (${state}); host said:\n${tavelin.stderr}`);
  }
  try {
    await page.waitForFunction(() => window.benchFrames.length > 0, null, { timeout: 30_000 });
  } catch (error) {
    const seen = await page.evaluate(() => {
      const video = document.getElementById('video');
      return JSON.stringify({ readyState: video.readyState, paused: video.paused, tracks: video.srcObject?.getTracks().length });
    });
    // Frames decoded but never presented: the RTP stream may not be the one the answer names.
    const stats = await inboundVideo(page);
    throw new Error(`no frame presented (video ${seen}, ${stats?.framesDecoded} decoded, ssrc ${stats?.ssrc}); host said:\n${tavelin.stderr}`);
  }

  // Monotonic nanoseconds (the host's capture clock) of a page time in milliseconds.
  const mapping = await pageClock(page);
  const { monotonicOf } = mapping;

  const firstFrame = await page.evaluate(() => window.benchFrames[0]);
  const firstFrameMs = (monotonicOf(firstFrame.presentationTime) - Number(opened)) / 1e6;

  await delay(warmUp);
  const cpu = cpuMeter([tavelin.child.pid, tavelin.compositorPid ?? await xServerPid(tavelin.child.pid), player.pid]);
  const startIndex = await page.evaluate(() => window.benchFrames.length);
  const statsBefore = await inboundVideo(page);
  const statusBefore = hostStatus.at(-1);
  const startedAt = process.hrtime.bigint();
  await delay(seconds * 1_000);
  const elapsed = Number(process.hrtime.bigint() - startedAt) / 1e9;
  const statsAfter = await inboundVideo(page);
  const statusAfter = hostStatus.at(-1);
  const [hostCPU, xCPU, pictureCPU, machineCPU] = await cpu();
  const frames = await page.evaluate((from) => window.benchFrames.slice(from), startIndex);

  // The sender names one RTP timestamp and the capture time it stands for.
  const clockLine = tavelin.stderr.split('\n').filter((line) => /^Tavelin: RTP clock: /.test(line)).at(-1);
  const clock = clockLine?.match(/timestamp (\d+) at capture time (\d+) ns/);
  // Milliseconds from capture to a page time of each frame, sorted.
  const latencies = (pageTime) => {
    if (!clock) return [];
    const [referenceRTP, referenceCapture] = [Number(clock[1]), Number(clock[2])];
    return frames.filter((frame) => frame.rtpTimestamp !== undefined && frame[pageTime] !== undefined).map((frame) => {
      // The signed 32-bit distance survives the timestamp's wrap.
      const ticks = (frame.rtpTimestamp - referenceRTP) | 0;
      const captured = referenceCapture + (ticks * 1e9) / rtpClockRate;
      return (monotonicOf(frame[pageTime]) - captured) / 1e6;
    }).sort((a, b) => a - b);
  };
  const presented = latencies('presentationTime');
  const received = latencies('receiveTime');

  // The clock mapping checked against a round trip: a page reading mapped to the
  // monotonic clock must fall between the two node readings around it.
  const { error: mappingError, roundTrip } = await mapping.check();

  const shown = (stats) => (stats?.shownTotal ?? NaN) - (stats?.shownDropped ?? NaN);
  // Firefox counts no frames of a remote stream there: its callbacks stand in.
  const compositedFps = statsAfter?.shownTotal > statsBefore?.shownTotal ? (shown(statsAfter) - shown(statsBefore)) / elapsed : NaN;
  const captured = statusBefore && statusAfter
    ? (statusAfter.json.capturedFrames - statusBefore.json.capturedFrames) / (Number(statusAfter.at - statusBefore.at) / 1e9)
    : NaN;
  const result = {
    // Presented: the frames the video element handed to the compositor less those it
    // replaced before they were shown (getVideoPlaybackQuality). The page's own frame
    // callbacks run on its main thread and miss frames the compositor shows without it.
    fps: Number.isFinite(compositedFps) ? compositedFps : frames.length / elapsed,
    callbackFps: frames.length / elapsed,
    capturedFps: captured,
    latencyP50: percentile(presented, 0.5),
    latencyP95: percentile(presented, 0.95),
    latencySamples: presented.length,
    receivedP50: percentile(received, 0.5),
    mappingError,
    roundTrip,
    hostCPU,
    xCPU,
    pictureCPU,
    machineCPU,
    bitrate: statsBefore && statsAfter ? ((statsAfter.bytesReceived - statsBefore.bytesReceived) * 8) / elapsed : NaN,
    decodedFps: statsBefore && statsAfter ? (statsAfter.framesDecoded - statsBefore.framesDecoded) / elapsed : NaN,
    droppedFrames: statsBefore && statsAfter ? (statsAfter.framesDropped ?? 0) - (statsBefore.framesDropped ?? 0) : NaN,
    firstFrameMs,
    clockLine: Boolean(clock),
  };
  Object.assign(result, await drawToPresentation(page, frames, monotonicOf, clock));
  const checkFrom = await page.evaluate(() => { window.benchReadRows = true; return window.benchFrames.length; });
  await delay(tearingCheck);
  Object.assign(result, tearing(await page.evaluate((from) => window.benchFrames.slice(from), checkFrom)));
  await page.goto('about:blank'); // the page says goodbye when it is left, not when it is closed
  await context.close();
  return result;
}

// A receiver connected to a display where nothing moves: the host's CPU and what it
// sends (static refreshes and keep-alives only) over the measuring time.
async function measureIdle(tavelin, browser, display) {
  const context = await browser.newContext({ viewport: { width: display.width / 2, height: display.height / 2 } });
  const page = await context.newPage();
  await page.addInitScript(pageScript(recordFrames, { height: code.blockHeight }));
  try {
    await page.goto(tavelin.link);
    await page.waitForFunction(() => window.benchFrames.length > 0, null, { timeout: 30_000 });
    await delay(warmUp);
    const cpu = cpuMeter([tavelin.child.pid]);
    const threadsBefore = await threadSeconds(tavelin.child.pid);
    const before = await inboundVideo(page);
    const startedAt = process.hrtime.bigint();
    await delay(seconds * 1_000);
    const elapsed = Number(process.hrtime.bigint() - startedAt) / 1e9;
    const after = await inboundVideo(page);
    const [hostCPU] = await cpu();
    const threads = busiestThreads(threadsBefore, await threadSeconds(tavelin.child.pid), elapsed);
    const bitrate = before && after ? ((after.bytesReceived - before.bytesReceived) * 8) / elapsed : NaN;
    return [
      ['Tavelin host CPU', `${format(hostCPU * 100, 2)} % of a core (goal: under 1 %)`],
      ['  busiest threads', threads],
      ['Bitrate', `${format(bitrate / 1e3, 1)} kbit/s (goal: under 64), ${before && after ? after.framesDecoded - before.framesDecoded : 'n/a'} frames`],
    ];
  } finally {
    await page.goto('about:blank');
    await context.close();
  }
}

// ---- still text ------------------------------------------------------------------

// A page of small text in three columns over the whole display, as one picture file.
async function textPicture(folder, display) {
  const file = path.join(folder, 'text.png');
  const font = '/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf';
  const column = (k) => `drawtext=fontfile=${font}:textfile=/usr/share/common-licenses/GPL-3:fontsize=11:` +
    `fontcolor=black:x=${8 + k * Math.floor(display.width / 3)}:y=${4 - k * display.height}`;
  await promisify(execFile)('/usr/bin/ffmpeg', ['-hide_banner', '-loglevel', 'error', '-f', 'lavfi', '-i',
    `color=white:size=${display.width}x${display.height}`, '-vf', [0, 1, 2].map(column).join(','),
    '-frames:v', '1', '-y', file]);
  return file;
}

// Runs in the receiver page: each presented frame drawn into a canvas of its own while
// `window.benchKeepFrames` is set, and the current one on request.
function keepFrames() {
  window.benchKept = [];
  const video = document.getElementById('video');
  const draw = () => {
    const canvas = new OffscreenCanvas(video.videoWidth, video.videoHeight);
    canvas.getContext('2d').drawImage(video, 0, 0);
    return canvas;
  };
  const next = () => video.requestVideoFrameCallback((now, metadata) => {
    if (window.benchKeepFrames) window.benchKept.push({ canvas: draw(), presentationTime: metadata.presentationTime });
    next();
  });
  next();
  window.benchPNG = async (canvas) => {
    const bytes = new Uint8Array(await (canvas ?? draw()).convertToBlob({ type: 'image/png' }).then((blob) => blob.arrayBuffer()));
    let text = '';
    for (let at = 0; at < bytes.length; at += 0x8000) text += String.fromCharCode(...bytes.subarray(at, at + 0x8000));
    return btoa(text);
  };
}

// ffmpeg's SSIM of two pictures of one size ("All", the planes weighted as ffmpeg does).
async function ssim(first, second) {
  const { stderr } = await promisify(execFile)('/usr/bin/ffmpeg', ['-hide_banner', '-nostats', '-i', first, '-i', second,
    '-lavfi', '[0:v]format=yuv420p[a];[1:v]format=yuv420p[b];[a][b]ssim', '-f', 'null', '-']);
  const match = stderr.match(/SSIM .*All:([\d.]+)/);
  return match ? Number(match[1]) : NaN;
}

// A page of text appears on the still display and stays for a second: the receiver's
// first picture of it and its picture a second later, each against the host's; VP8 when
// `codec` says so.
async function measureStillText(tavelin, browser, display, codec) {
  const file = await textPicture(tavelin.root, display);
  const context = await browser.newContext({ viewport: { width: display.width / 2, height: display.height / 2 } });
  const page = await context.newPage();
  if (codec === 'vp8') await page.addInitScript(offerNoH264);
  await page.addInitScript(pageScript(recordFrames, { height: code.blockHeight }));
  let viewer = null;
  try {
    await page.goto(tavelin.link);
    await page.waitForFunction(() => window.benchFrames.length > 0, null, { timeout: 30_000 });
    await page.evaluate(keepFrames);
    await delay(warmUp);
    await page.evaluate(() => { window.benchKeepFrames = true; });
    viewer = startChild('/usr/bin/ffplay', ['-hide_banner', '-loglevel', 'error', '-noborder',
      '-left', String(display.x), '-top', String(display.y), '-x', String(display.width), '-y', String(display.height), file],
    { ...(await tavelin.xEnvironment()), SDL_VIDEODRIVER: 'x11' });
    // Once it shows, the picture is still for a second.
    await page.waitForFunction(() => window.benchKept.length > 0, null, { timeout: 30_000 });
    await delay(1_200);
    await page.evaluate(() => { window.benchKeepFrames = false; });
    const host = path.join(tavelin.root, 'host.png');
    await promisify(execFile)('/usr/bin/ffmpeg', ['-hide_banner', '-loglevel', 'error', '-f', 'x11grab', '-draw_mouse', '0',
      '-video_size', `${display.width}x${display.height}`, '-i', `${(await tavelin.xEnvironment()).DISPLAY}+${display.x},${display.y}`,
      '-frames:v', '1', '-y', host], { env: await tavelin.xEnvironment() });
    // Its appearance takes frames in a burst; a frame after a pause of 200 ms or more
    // is the same picture sent again.
    const times = await page.evaluate(() => window.benchKept.map((frame) => frame.presentationTime));
    const burst = times.findIndex((time, index) => index > 0 && time - times[index - 1] >= 200);
    const appeared = burst < 0 ? times.length : burst;
    const received = async (index) => {
      const picture = path.join(tavelin.root, `received-${index}.png`);
      await writeFile(picture, Buffer.from(await page.evaluate((at) => window.benchPNG(window.benchKept[at].canvas), index), 'base64'));
      return picture;
    };
    const first = await ssim(host, await received(appeared - 1));
    const later = await ssim(host, await received(times.length - 1));
    const again = times.slice(appeared).map((time) => `${format(time - times[appeared - 1], 0)} ms`).join(', ') || 'none';
    return [
      ['Still text SSIM, one second after it appeared', `${format(later, 4)} (goal: at least 0.98)`],
      ['  its first picture at the receiver', `${format(first, 4)} (${appeared} frames presented while it appeared; sent again after ${again})`],
    ];
  } finally {
    if (viewer) await stopChild(viewer);
    await page.goto('about:blank');
    await context.close();
  }
}

// ---- the pointer --------------------------------------------------------------------

// Prints the host's CLOCK_MONOTONIC microseconds and root position of every pointer
// motion the X server reports (bench/pointer_events.cpp).
const pointerEvents = path.resolve(path.dirname(program), '../bench/tavelin_pointer_events');
const pointerMoves = 200;
const pointerSpacing = 30; // ms between two moves

// Runs in the receiver page before its own script: the time and place of every pointer
// move the page sees, and the time the page sends each move packet.
function recordPointer() {
  window.benchPointer = [];
  window.benchMoveSends = [];
  addEventListener('pointermove', (event) => {
    window.benchPointer.push({ at: event.timeStamp, x: event.clientX, y: event.clientY });
  }, { capture: true });
  const { send } = RTCDataChannel.prototype;
  RTCDataChannel.prototype.send = function (data) {
    if (this.label === 'mouse' && typeof data === 'string' && data.includes('"type":"move"')) {
      window.benchMoveSends.push(performance.now());
    }
    return send.call(this, data);
  };
}

// The mouse moved over the picture of a connected receiver, point by point: from each
// pointermove's time in the page to the time the X server's report of that motion
// reaches a client on the host.
async function measurePointer(tavelin, browser, display) {
  if (!(await access(pointerEvents).then(() => true, () => false))) {
    return [['Pointer event to host event', `n/a (no ${pointerEvents}: configure with -DTAVELIN_BENCH=ON)`]];
  }
  const listener = startChild(pointerEvents, [], await tavelin.xEnvironment());
  const host = [];
  let partial = '';
  listener.stdout.on('data', (text) => {
    const lines = (partial + text).split('\n');
    partial = lines.pop();
    for (const line of lines) {
      const [at, x, y] = line.split(' ').map(Number);
      if (Number.isFinite(y)) host.push({ at: at * 1e3, x, y });
    }
  });
  const context = await browser.newContext({ viewport: { width: display.width / 2, height: display.height / 2 } });
  const page = await context.newPage();
  await page.addInitScript(recordPointer);
  await page.addInitScript(pageScript(recordFrames, { height: code.blockHeight }));
  try {
    for (const end = Date.now() + 5_000; !/^ready$/m.test(listener.output); await delay(50)) {
      if (Date.now() > end || listener.exitCode !== null) throw new Error(`the pointer listener did not start: ${listener.output}`);
    }
    await page.goto(tavelin.link);
    await page.waitForFunction(() => window.benchFrames.length > 0, null, { timeout: 30_000 });
    // Where the picture lies in the page ("contain" fit, centred on the stage).
    const picture = await page.evaluate(() => {
      const stage = document.getElementById('stage').getBoundingClientRect();
      const video = document.getElementById('video');
      const scale = Math.min(stage.width / video.videoWidth, stage.height / video.videoHeight);
      const [width, height] = [video.videoWidth * scale, video.videoHeight * scale];
      return { left: stage.left + (stage.width - width) / 2, top: stage.top + (stage.height - height) / 2, width, height };
    });
    const onHost = (point) => ({
      x: display.x + Math.round(((point.x - picture.left) / picture.width) * (display.width - 1)),
      y: display.y + Math.round(((point.y - picture.top) / picture.height) * (display.height - 1)),
    });
    // A 20 × 10 grid clear of the overlay in the top left, visited in a stride that puts
    // each point far from the one before: every move lands on a place of its own.
    const grid = Array.from({ length: pointerMoves }, (_, index) => ({
      x: Math.round(picture.left + picture.width * (0.3 + (0.65 * (index % 20)) / 19)),
      y: Math.round(picture.top + picture.height * (0.3 + (0.65 * Math.floor(index / 20)) / 9)),
    }));
    const points = grid.map((_, index) => grid[(index * 77) % grid.length]);

    // The data channel is open once a first move reaches the host.
    const seen = host.length;
    await page.mouse.move(picture.left + picture.width / 2, picture.top + picture.height / 2);
    for (const end = Date.now() + 10_000; host.length === seen; await delay(50)) {
      if (Date.now() > end) throw new Error(`no pointer motion reached the host; host said:\n${tavelin.stderr}`);
    }
    await delay(warmUp);
    const clock = await pageClock(page);
    const [hostFrom, [pageFrom, sendFrom]] = [host.length,
      await page.evaluate(() => [window.benchPointer.length, window.benchMoveSends.length])];
    for (const point of points) {
      await page.mouse.move(point.x, point.y);
      await delay(pointerSpacing);
    }
    await delay(500);
    const [moves, sends] = await page.evaluate(([from, sent]) => [window.benchPointer.slice(from),
      window.benchMoveSends.slice(sent)], [pageFrom, sendFrom]);
    const mapping = await clock.check();

    // Each page move is paired with the next host motion at its place, and with its move
    // packet by order (one a pointermove) when the counts agree.
    const sent = sends.length === moves.length;
    const [delays, inPage, toHost] = [[], [], []];
    let next = hostFrom;
    moves.forEach((move, index) => {
      const want = onHost(move);
      const found = host.findIndex((event, at) => at >= next && Math.abs(event.x - want.x) <= 2 && Math.abs(event.y - want.y) <= 2);
      if (found < 0) return;
      delays.push((host[found].at - clock.monotonicOf(move.at)) / 1e6);
      if (sent) {
        inPage.push(sends[index] - move.at);
        toHost.push((host[found].at - clock.monotonicOf(sends[index])) / 1e6);
      }
      next = found + 1;
    });
    for (const list of [delays, inPage, toHost]) list.sort((a, b) => a - b);
    const split = (list) => (sent ? `${format(percentile(list, 0.5), 2)} / ${format(percentile(list, 0.95), 2)} ms`
      : `n/a (${sends.length} packets sent for ${moves.length} moves)`);
    return [
      ['Pointer event to host event p50 / p95', `${format(percentile(delays, 0.5), 2)} / ${format(percentile(delays, 0.95), 2)} ms (goal: p50 ≤ 4 ms)`],
      ['  in the page, from the event to its data channel send p50 / p95', split(inPage)],
      ['  from that send to the host event p50 / p95', split(toHost)],
      ['  moves seen on the host', `${delays.length} of ${moves.length} in the page (${points.length} sent, ${pointerSpacing} ms apart)`],
      ['  clock mapping check', `${Math.abs(mapping.error) <= mapping.roundTrip / 2 ? 'inside' : 'OUTSIDE'} a round trip (${format(mapping.error, 2)} ms from its middle, ±${format(mapping.roundTrip / 2, 2)})`],
    ];
  } finally {
    await page.goto('about:blank');
    await context.close();
    await stopChild(listener);
  }
}

// ---- the reference -----------------------------------------------------------------

// The same codec's encoder as the program's, set up alike (VP8: libvpx in real time, cpu-used 8).
const referenceEncoders = {
  h264: ['-c:v', 'libx264', '-preset', 'ultrafast', '-tune', 'zerolatency'],
  vp8: ['-c:v', 'libvpx', '-deadline', 'realtime', '-cpu-used', '8', '-lag-in-frames', '0', '-error-resilient', '1',
    '-threads', String(Math.min(cores, 4)), '-b:v', '10M'],
};

async function measureFFmpeg(tavelin, display, player, codec) {
  const env = await tavelin.xEnvironment();
  // yuv420p as the program sends; left alone, libx264 would pick 4:4:4 for bgr0 input.
  const encoder = startChild('/usr/bin/ffmpeg', [
    '-hide_banner', '-loglevel', 'error', '-nostats', '-progress', 'pipe:1',
    '-f', 'x11grab', '-framerate', String(rate), '-video_size', `${display.width}x${display.height}`,
    '-i', `${tavelin.display}+${display.x},${display.y}`,
    ...referenceEncoders[codec], '-pix_fmt', 'yuv420p', '-f', 'null', '-',
  ], env);
  const framesSoFar = () => Number([...encoder.output.matchAll(/^frame=(\d+)$/gm)].at(-1)?.[1] ?? 0);
  await delay(warmUp);
  if (encoder.exitCode !== null) throw new Error(`ffmpeg ended: ${encoder.output}`);
  const xPid = await xServerPid(tavelin.child.pid);
  const cpu = cpuMeter([encoder.pid, xPid, player.pid]);
  const framesBefore = framesSoFar();
  const startedAt = process.hrtime.bigint();
  await delay(seconds * 1_000);
  const elapsed = Number(process.hrtime.bigint() - startedAt) / 1e9;
  const [ffmpegCPU, xCPU, pictureCPU, machineCPU] = await cpu();
  // ffmpeg reports progress twice a second; the count is as old as its last report.
  const fps = (framesSoFar() - framesBefore) / elapsed;
  encoder.stdin.end('q');
  await stopChild(encoder);
  return { fps, cpu: ffmpegCPU, xCPU, pictureCPU, machineCPU };
}

// ---- the second reference: what a Linux user would set up today ---------------------

// The process ids below a process (websockify serves each connection in a child).
async function descendants(pid) {
  const found = [];
  for (const task of await readdir(`/proc/${pid}/task`).catch(() => [])) {
    const children = (await readFile(`/proc/${pid}/task/${task}/children`, 'utf8').catch(() => '')).trim().split(/\s+/).filter(Boolean);
    for (const child of children.map(Number)) found.push(child, ...(await descendants(child)));
  }
  return found;
}

const listening = (port) => new Promise((resolve) => {
  const socket = connect(port, '127.0.0.1', () => { socket.destroy(); resolve(true); });
  socket.once('error', () => resolve(false));
});

// Runs in the noVNC page before its own script: counts the bytes its WebSocket receives,
// and keeps every animation frame in which the visible canvas was drawn on, with the
// frame numbers its code rows show then.
function recordCanvas({ code, height }) {
  window.benchBytes = 0;
  window.benchFrames = [];
  // noVNC listens through onmessage; counting through a subclass of WebSocket breaks it.
  const onmessage = Object.getOwnPropertyDescriptor(WebSocket.prototype, 'onmessage');
  Object.defineProperty(WebSocket.prototype, 'onmessage', {
    ...onmessage,
    set(handler) {
      onmessage.set.call(this, handler && ((event) => {
        window.benchBytes += event.data.byteLength ?? event.data.size ?? event.data.length;
        return handler.call(this, event);
      }));
    },
  });
  let drawn = false;
  for (const name of ['drawImage', 'putImageData', 'fillRect']) {
    const draw = CanvasRenderingContext2D.prototype[name];
    CanvasRenderingContext2D.prototype[name] = function (...args) {
      if (this.canvas.isConnected) drawn = true;
      return draw.apply(this, args);
    };
  }
  const width = (code.bits + 1) * code.blockWidth;
  const tick = (now) => {
    const canvas = document.querySelector('#screen canvas');
    if (drawn && canvas?.width >= width && canvas.height >= height) {
      const context = canvas.getContext('2d');
      const row = (y) => readFrameNumber(context.getImageData(0, y, width, code.blockHeight), code);
      window.benchFrames.push({ at: now, top: row(0), bottom: row(height - code.blockHeight) });
    }
    drawn = false;
    requestAnimationFrame(tick);
  };
  requestAnimationFrame(tick);
}

// x11vnc sharing the same display region through websockify to noVNC in the same browser,
// x11vnc tuned for motion as its manual suggests.
async function measureVNC(tavelin, browser, display, player) {
  const [rfbPort, webPort] = [await freePort(), await freePort()];
  const server = startChild('/usr/bin/x11vnc', [
    '-quiet', '-localhost', '-rfbport', String(rfbPort), '-nopw', '-forever', '-shared',
    '-clip', `${display.width}x${display.height}+${display.x}+${display.y}`,
    '-ncache', '0', '-threads', '-defer', '5', '-wait', '5',
  ], await tavelin.xEnvironment());
  const proxy = startChild('/usr/bin/websockify', ['--web', '/usr/share/novnc', `127.0.0.1:${webPort}`, `127.0.0.1:${rfbPort}`],
    { PATH: '/usr/bin:/bin' });
  const context = await browser.newContext({ viewport: { width: display.width / 2, height: display.height / 2 } });
  try {
    // A probe connection would take x11vnc's first client: its own line says when it listens.
    for (const end = Date.now() + 10_000; !/^PORT=/m.test(server.output) || !(await listening(webPort)); await delay(100)) {
      if (Date.now() > end || server.exitCode !== null || proxy.exitCode !== null) {
        throw new Error(`x11vnc or websockify did not start: ${server.output}${proxy.output}`);
      }
    }
    const page = await context.newPage();
    await page.addInitScript(pageScript(recordCanvas, player));
    await page.goto(`http://127.0.0.1:${webPort}/vnc_lite.html?host=127.0.0.1&port=${webPort}&view_only=true`);
    try {
      await page.waitForFunction(() => window.benchFrames.length > 0, null, { timeout: 30_000 });
    } catch (error) {
      const seen = await page.evaluate(() => `${document.getElementById('status')?.textContent}, canvas ${document.querySelector('#screen canvas')?.width}`);
      throw new Error(`noVNC showed nothing (${seen}); x11vnc and websockify said:\n${server.output}${proxy.output}`);
    }
    await delay(warmUp);
    const proxies = [proxy.pid, ...(await descendants(proxy.pid))];
    const cpu = cpuMeter([server.pid, ...proxies, await xServerPid(tavelin.child.pid), player.pid]);
    const [startIndex, bytesBefore] = await page.evaluate(() => [window.benchFrames.length, window.benchBytes]);
    const startedAt = process.hrtime.bigint();
    await delay(seconds * 1_000);
    const elapsed = Number(process.hrtime.bigint() - startedAt) / 1e9;
    const [frames, bytesAfter] = await page.evaluate((from) => [window.benchFrames.slice(from), window.benchBytes], startIndex);
    const [vncCPU, ...rest] = await cpu();
    const proxyCPU = rest.slice(0, proxies.length).reduce((sum, value) => sum + value, 0);
    const [xCPU, pictureCPU, machineCPU] = rest.slice(proxies.length);
    return { fps: frames.length / elapsed, bitrate: ((bytesAfter - bytesBefore) * 8) / elapsed, vncCPU, proxyCPU, xCPU, pictureCPU, machineCPU, frames: frames.length, ...tearing(frames) };
  } finally {
    await context.close();
    await stopChild(proxy);
    await stopChild(server);
  }
}

// ---- the run -----------------------------------------------------------------------

const format = (value, digits = 1) => (Number.isFinite(value) ? value.toFixed(digits) : 'n/a');

// BENCH_PICTURES picks the pictures on X11, by name, comma-separated (default: all; "none" for none).
const chosenPictures = (process.env.BENCH_PICTURES || Object.keys(pictures).join(',')).split(',').filter((kind) => kind !== 'none');

// BENCH_VP8 names the pictures also sent as VP8 to a Chromium that offers no H.264
// (default: motion), against ffmpeg's libvpx; "none" for none.
const vp8Pictures = (process.env.BENCH_VP8 || 'motion').split(',');

async function measurePicture(tavelin, browser, display, kind, codec) {
  const player = await startPicture(tavelin, display, kind);
  try {
    player.timeCode = await startTimeCode(tavelin, display);
    const ours = await measureTavelin(tavelin, browser, display, player, codec);
    if (player.timeCode) ours.timeCodeDrawn = await stopTimeCode(player.timeCode);
    await delay(2_000); // the program goes idle once the receiver has gone
    const reference = await measureFFmpeg(tavelin, display, player, codec);
    const vnc = codec === 'h264' ? await measureVNC(tavelin, browser, display, player) : null;
    const torn = (result) => `${format(result.torn, 0)} of ${format(result.checked, 0)} (${format(result.unreadable, 0)} unreadable)`;
    const referenceName = codec === 'h264' ? 'ffmpeg x11grab + libx264' : 'ffmpeg x11grab + libvpx';
    const rows = [
      ['Tavelin frames presented at the receiver', `${format(ours.fps)} /s (${format((100 * ours.fps) / ours.decodedFps, 0)} % of those decoded)`],
      ['  seen by the page\'s frame callbacks', `${format(ours.callbackFps)} /s`],
      ['  frames decoded at the receiver', `${format(ours.decodedFps)} /s (${format(ours.droppedFrames, 0)} dropped)`],
      ['  frames captured on the host', `${format(ours.capturedFps)} /s`],
      [`  torn frames presented (read back for ${tearingCheck / 1e3} s after)`, torn(ours)],
      ...drawToPresentationRows(ours),
      ['Capture to presentation latency p50', ours.clockLine ? `${format(ours.latencyP50)} ms` : 'n/a (no RTP clock line)'],
      ['Capture to presentation latency p95', ours.clockLine ? `${format(ours.latencyP95)} ms (${ours.latencySamples} frames)` : 'n/a'],
      ['  capture to arrival of its last packet p50', ours.clockLine ? `${format(ours.receivedP50)} ms` : 'n/a'],
      ['  clock mapping check', `${Math.abs(ours.mappingError) <= ours.roundTrip / 2 ? 'inside' : 'OUTSIDE'} a round trip (${format(ours.mappingError)} ms from its middle, ±${format(ours.roundTrip / 2)})`],
      ['Tavelin host CPU', `${format(ours.hostCPU, 2)} core`],
      ['  X server, picture CPU meanwhile', `${format(ours.xCPU, 2)}, ${format(ours.pictureCPU, 2)} core`],
      ['  whole machine busy meanwhile (browser included)', `${format(ours.machineCPU, 2)} of ${cores} cores`],
      ['Bitrate', `${format(ours.bitrate / 1e6, 2)} Mbit/s`],
      ['Link opened to first presented frame', `${format(ours.firstFrameMs, 0)} ms`],
      [`${referenceName} frames`, `${format(reference.fps)} /s`],
      ['ffmpeg CPU', `${format(reference.cpu, 2)} core`],
      ['  X server, picture CPU meanwhile', `${format(reference.xCPU, 2)}, ${format(reference.pictureCPU, 2)} core`],
      ['  whole machine busy meanwhile', `${format(reference.machineCPU, 2)} of ${cores} cores`],
      ['CPU ratio Tavelin / ffmpeg', format(ours.hostCPU / reference.cpu, 2)],
      // The two may reach different frame rates on a busy machine.
      ['CPU per frame Tavelin / ffmpeg', `${format((ours.hostCPU / ours.capturedFps) * 1e3)} / ${format((reference.cpu / reference.fps) * 1e3)} ms`],
    ];
    if (!vnc) return rows;
    return [...rows,
      ['x11vnc + noVNC frames shown', `${format(vnc.fps)} /s`],
      ['  torn frames shown', torn(vnc)],
      ['  bitrate', `${format(vnc.bitrate / 1e6, 2)} Mbit/s`],
      ['  x11vnc, websockify CPU', `${format(vnc.vncCPU, 2)}, ${format(vnc.proxyCPU, 2)} core`],
      ['  X server, picture CPU meanwhile', `${format(vnc.xCPU, 2)}, ${format(vnc.pictureCPU, 2)} core`],
      ['  whole machine busy meanwhile (browser included)', `${format(vnc.machineCPU, 2)} of ${cores} cores`],
    ];
  } finally {
    if (player.timeCode) await stopChild(player.timeCode);
    await stopChild(player);
  }
}

// Firefox through puppeteer-core, with the few Playwright calls the measurement makes.
function asPlaywright(firefox) {
  const wrap = (page) => ({
    addInitScript: (script) => page.evaluateOnNewDocument(typeof script === 'function' ? script : script.content),
    on: (event, handler) => page.on(event, handler),
    goto: (url) => page.goto(url),
    waitForSelector: (selector, options) => page.waitForSelector(selector, options),
    evaluate: (script, argument) => page.evaluate(script, argument),
    waitForFunction: (script, argument, options) => page.waitForFunction(script, options, argument),
  });
  return {
    firefox: true,
    close: () => firefox.close(),
    newContext: async ({ viewport }) => {
      const context = await firefox.createBrowserContext();
      return {
        newPage: async () => {
          const page = await context.newPage();
          await page.setViewport(viewport);
          return wrap(page);
        },
        close: () => context.close(),
      };
    },
  };
}

// BENCH_FIREFOX names the pictures also sent to Firefox ESR, which gets VP8 (default:
// motion); "none" for none.
const firefoxPictures = (process.env.BENCH_FIREFOX || 'motion').split(',');

// ---- GNOME on Wayland ----------------------------------------------------------------

// The same measurement on a headless GNOME: Tavelin's display is a mutter virtual monitor
// whose pictures come over PipeWire, the moving picture is a Wayland client drawing every
// frame full screen on it, and the reference is GStreamer's pipewiresrc and x264enc on the
// same PipeWire node.
const gnomeClient = path.resolve(path.dirname(program), '../tests/gnome/tavelin_pointer_client');

async function measureGnome(browser) {
  const gnome = await startGnome();
  const desktop = { DBUS_SESSION_BUS_ADDRESS: gnome.env.DBUS_SESSION_BUS_ADDRESS, WAYLAND_DISPLAY: 'wayland-0',
    XDG_RUNTIME_DIR: gnome.env.XDG_RUNTIME_DIR };
  let tavelin, player, encoder;
  try {
    tavelin = await startTavelin(desktop);
    tavelin.compositorPid = gnome.pids.mutter;
    const [, node] = await tavelin.waitForLine(/^Tavelin: The display's video is PipeWire node (\d+)$/);
    // Tavelin's monitor is placed to the right of the headless one.
    const display = { x: size.width, y: 0, ...size };
    player = startChild(gnomeClient, [String(display.x), '0', 'animate'], { ...gnome.env, WAYLAND_DISPLAY: 'wayland-0' });
    for (const end = Date.now() + 10_000; !/^ready/m.test(player.output); await delay(50)) {
      if (Date.now() > end || player.exitCode !== null) throw new Error(`the picture did not start: ${player.output}`);
    }
    Object.assign(player, { kind: 'motion', width: display.width, height: display.height });
    const ours = await measureTavelin(tavelin, browser, display, player, 'h264');
    await delay(2_000);

    encoder = startChild('/usr/bin/gst-launch-1.0', ['-v', 'pipewiresrc', `path=${node}`, '!', 'videoconvert', '!',
      'video/x-raw,format=I420', '!', 'x264enc', 'speed-preset=ultrafast', 'tune=zerolatency', '!',
      'fpsdisplaysink', 'video-sink=fakesink', 'text-overlay=false', 'sync=false'], gnome.env);
    const rendered = () => Number([...encoder.output.matchAll(/rendered: (\d+)/g)].at(-1)?.[1] ?? 0);
    await delay(warmUp);
    if (encoder.exitCode !== null) throw new Error(`gst-launch ended: ${encoder.output}`);
    const cpu = cpuMeter([encoder.pid, gnome.pids.mutter, player.pid]);
    const before = rendered();
    const startedAt = process.hrtime.bigint();
    await delay(seconds * 1_000);
    const elapsed = Number(process.hrtime.bigint() - startedAt) / 1e9;
    const [gstCPU, mutterCPU, pictureCPU, machineCPU] = await cpu();
    const reference = { fps: (rendered() - before) / elapsed, cpu: gstCPU, mutterCPU, pictureCPU, machineCPU };
    return [
      ['Tavelin frames presented at the receiver', `${format(ours.fps)} /s (${format((100 * ours.fps) / ours.decodedFps, 0)} % of those decoded)`],
      ['  frames captured on the host', `${format(ours.capturedFps)} /s`],
      ['Capture to presentation latency p50 / p95', ours.clockLine ? `${format(ours.latencyP50)} / ${format(ours.latencyP95)} ms` : 'n/a (no RTP clock line)'],
      ['Tavelin host CPU', `${format(ours.hostCPU, 2)} core`],
      ['  mutter, picture CPU meanwhile', `${format(ours.xCPU, 2)}, ${format(ours.pictureCPU, 2)} core`],
      ['Bitrate', `${format(ours.bitrate / 1e6, 2)} Mbit/s`],
      ['Link opened to first presented frame', `${format(ours.firstFrameMs, 0)} ms`],
      ['pipewiresrc + x264enc frames', `${format(reference.fps)} /s`],
      ['gst-launch CPU', `${format(reference.cpu, 2)} core`],
      ['  mutter, picture CPU meanwhile', `${format(reference.mutterCPU, 2)}, ${format(reference.pictureCPU, 2)} core`],
      ['CPU per frame Tavelin / gst-launch', `${format((ours.hostCPU / ours.capturedFps) * 1e3)} / ${format((reference.cpu / reference.fps) * 1e3)} ms`],
    ];
  } finally {
    for (const child of [encoder, player]) if (child) await stopChild(child);
    await tavelin?.stop();
    await gnome.stop();
  }
}

// BENCH_GNOME=none leaves the GNOME row out; BENCH_IDLE=none the still display;
// BENCH_TEXT=none the still text.
const withGnome = process.env.BENCH_GNOME !== 'none';

async function main() {
  let firefox = null;
  const [tavelin, browser] = await Promise.all([startTavelin(), launchBrowser()]);
  try {
    const display = await sharedDisplay(tavelin);
    if (display.width !== size.width || display.height !== size.height) {
      throw new Error(`shared display is ${display.width}x${display.height}, not ${size.width}x${size.height}`);
    }
    const runs = [...chosenPictures.map((kind) => [kind, 'h264']),
      ...chosenPictures.filter((kind) => vp8Pictures.includes(kind)).map((kind) => [kind, 'vp8'])];
    const inFirefox = chosenPictures.filter((kind) => firefoxPictures.includes(kind));
    if (inFirefox.length) firefox = asPlaywright(await launchFirefox());
    runs.push(...inFirefox.map((kind) => [kind, 'vp8', firefox]));
    for (const [kind, codec, receiver = browser] of runs) {
      if (!pictures[kind]) throw new Error(`no picture named ${kind} (there are ${Object.keys(pictures).join(', ')})`);
      const rows = await measurePicture(tavelin, receiver, display, kind, codec);
      const width = Math.max(...rows.map(([name]) => name.length));
      const area = process.env.BENCH_PICTURE === 'full' ? 'the whole display' : 'a quarter of the display';
      console.log(`\n${size.width}x${size.height} at ${rate} fps, ${kind} picture on ${area}, ${codec === 'h264' ? 'H.264' : 'VP8'} to ${receiver.firefox ? 'Firefox' : 'Chromium'}, ${seconds} s each, ${new Date().toISOString()}`);
      for (const [name, value] of rows) console.log(`${name.padEnd(width)}  ${value}`);
    }
    if (process.env.BENCH_IDLE !== 'none') {
      const rows = await measureIdle(tavelin, browser, display);
      const width = Math.max(...rows.map(([name]) => name.length));
      console.log(`\n${size.width}x${size.height} at ${rate} fps, nothing moving, H.264 to Chromium, ${seconds} s, ${new Date().toISOString()}`);
      for (const [name, value] of rows) console.log(`${name.padEnd(width)}  ${value}`);
    }
    if (process.env.BENCH_TEXT !== 'none') {
      // At the default bitrate, and at the lowest a display can have, which is also the
      // floor of the rate steering.
      // VP8 at the lowest, to a Chromium that offers no H.264.
      for (const [bitrateMbps, codec] of [[35, 'h264'], [5, 'h264'], [5, 'vp8']]) {
        const host = bitrateMbps === 35 ? tavelin : await startTavelin({}, { bitrateMbps });
        try {
          const rows = await measureStillText(host, browser, await sharedDisplay(host), codec);
          const width = Math.max(...rows.map(([name]) => name.length));
          console.log(`\n${size.width}x${size.height} at ${rate} fps, a page of text on the whole still display, ${codec === 'vp8' ? 'VP8' : 'H.264'} at ${bitrateMbps} Mbit/s to Chromium, ${new Date().toISOString()}`);
          for (const [name, value] of rows) console.log(`${name.padEnd(width)}  ${value}`);
        } finally {
          if (host !== tavelin) await host.stop();
        }
      }
    }
    // BENCH_POINTER=none leaves out the pointer's way to the host.
    if (process.env.BENCH_POINTER !== 'none') {
      const rows = await measurePointer(tavelin, browser, display);
      const width = Math.max(...rows.map(([name]) => name.length));
      console.log(`\n${size.width}x${size.height}, nothing moving but the pointer, H.264 to Chromium, ${new Date().toISOString()}`);
      for (const [name, value] of rows) console.log(`${name.padEnd(width)}  ${value}`);
    }
    if (withGnome) {
      const rows = await measureGnome(browser);
      const width = Math.max(...rows.map(([name]) => name.length));
      console.log(`\n${size.width}x${size.height} at ${rate} fps on GNOME (headless mutter), moving picture on the whole display, H.264 to Chromium, ${seconds} s each, ${new Date().toISOString()}`);
      for (const [name, value] of rows) console.log(`${name.padEnd(width)}  ${value}`);
    }
  } finally {
    await Promise.all([browser.close(), firefox?.close()]);
    await tavelin.stop();
  }
}

main().catch((error) => {
  console.error(`bench: ${error.stack || error}`);
  process.exit(1);
});
