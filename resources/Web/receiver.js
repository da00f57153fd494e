// The receiver page: pairs with the host, shows its display over WebRTC and sends the
// mouse back on the "mouse" data channel.
//
// One classic script, because the host serves only this file and the style sheet. The
// pure helpers at the top carry no reference to the page, so node can load the file as
// a CommonJS module and test them; the page itself starts only in a browser.
'use strict';

const Receiver = (() => {
  const rotations = [0, 90, 180, 270];
  const maximumScroll = 2000;
  // Pixels per WheelEvent line and page, for the browsers that report those units.
  const lineHeight = 16;
  const pageHeight = 800;

  const clamp = (value, low, high) => Math.min(high, Math.max(low, value));

  // The quarter turn the page can show; anything else shows upright.
  function normalRotation(rotation) {
    const turned = ((Math.round(Number(rotation) || 0) % 360) + 360) % 360;
    return rotations.includes(turned) ? turned : 0;
  }

  // Undoes the picture's rotation (clockwise on screen) and then its horizontal flip, so
  // a vector on the screen becomes one in the picture's own frame. Quarter turns are
  // swaps, not trigonometry, so fractions stay exact.
  function toPictureFrame(dx, dy, rotation, flip) {
    let x;
    let y;
    switch (normalRotation(rotation)) {
    case 90: [x, y] = [dy, -dx]; break;
    case 180: [x, y] = [-dx, -dy]; break;
    case 270: [x, y] = [-dy, dx]; break;
    default: [x, y] = [dx, dy];
    }
    return { x: flip ? -x : x, y };
  }

  // The element box the picture is laid out in: the stage, turned with the picture.
  function pictureBox(stage, rotation) {
    const quarter = normalRotation(rotation) % 180 === 90;
    return quarter ? { width: stage.height, height: stage.width } : { width: stage.width, height: stage.height };
  }

  // Size of the shown picture inside its box, as CSS object-fit lays it out (centred).
  function contentSize(box, video, fit) {
    if (!(video.width > 0 && video.height > 0) || fit === 'fill') return box;
    const scaleX = box.width / video.width;
    const scaleY = box.height / video.height;
    const scale = fit === 'cover' ? Math.max(scaleX, scaleY) : Math.min(scaleX, scaleY);
    return { width: video.width * scale, height: video.height * scale };
  }

  // The point (clientX, clientY) as fractions 0..1 of the picture, clamped, given the
  // stage rectangle, the video's own size and the receiver settings.
  function mapPointer(point, stage, video, settings) {
    const box = pictureBox(stage, settings.rotation);
    const content = contentSize(box, video, settings.fit);
    if (!(content.width > 0 && content.height > 0)) return { x: 0.5, y: 0.5 };
    const local = toPictureFrame(point.x - (stage.left + stage.width / 2),
                                 point.y - (stage.top + stage.height / 2), settings.rotation, settings.flip);
    return {
      x: clamp(local.x / content.width + 0.5, 0, 1),
      y: clamp(local.y / content.height + 0.5, 0, 1),
    };
  }

  // Browser `buttons` bits in the order of the browser's button numbers 0, 1, 2.
  const buttonBits = [1, 4, 2];

  // The presses and releases between two `buttons` masks, releases first.
  function buttonChanges(previous, current) {
    const changes = [];
    buttonBits.forEach((bit, button) => {
      if ((previous & bit) && !(current & bit)) changes.push({ type: 'up', button });
    });
    buttonBits.forEach((bit, button) => {
      if (!(previous & bit) && (current & bit)) changes.push({ type: 'down', button });
    });
    return changes;
  }

  function scrollPixels(delta, mode) {
    const pixels = delta * (mode === 1 ? lineHeight : mode === 2 ? pageHeight : 1);
    return Number.isFinite(pixels) ? clamp(pixels, -maximumScroll, maximumScroll) : 0;
  }

  // One mouse packet. `position` is in picture fractions; `input` carries the
  // modifier flags and, for "scroll", the WheelEvent deltas and mode.
  function mousePacket(type, position, input = {}, extra = {}) {
    if (type === 'release' || type === 'heartbeat') return { type };
    const packet = {
      type,
      x: position.x,
      y: position.y,
      shift: Boolean(input.shiftKey),
      control: Boolean(input.ctrlKey),
      alt: Boolean(input.altKey),
      meta: Boolean(input.metaKey),
    };
    if (type === 'down' || type === 'up') packet.button = extra.button;
    if (type === 'scroll') {
      const turned = toPictureFrame(input.deltaX || 0, input.deltaY || 0, extra.rotation, extra.flip);
      packet.dx = scrollPixels(turned.x, input.deltaMode) || 0;
      packet.dy = scrollPixels(turned.y, input.deltaMode) || 0;
    }
    return packet;
  }

  // randomUUID exists only in secure contexts; the receiver link is plain http.
  function sessionIdentifier(cryptoObject) {
    if (typeof cryptoObject.randomUUID === 'function') return cryptoObject.randomUUID();
    const bytes = cryptoObject.getRandomValues(new Uint8Array(16));
    bytes[6] = (bytes[6] & 0x0f) | 0x40;
    bytes[8] = (bytes[8] & 0x3f) | 0x80;
    const hex = Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
    return `${hex.slice(0, 8)}-${hex.slice(8, 12)}-${hex.slice(12, 16)}-${hex.slice(16, 20)}-${hex.slice(20)}`;
  }

  // Fingers on a touch screen as a mouse: a tap clicks, press and move drags, a long press
  // clicks the right button, two fingers moving together scroll by the distance they move.
  // `touch(event)` takes a pointer event's pointerId, type, clientX, clientY and timeStamp
  // and `tick(time)` notices a long press; both return what to send, in window pixels:
  // { type: 'move' | 'down' | 'up' | 'scroll', x, y, button, dx, dy }.
  function touchGestures({ slop = 10, longPress = 600 } = {}) {
    const fingers = new Map();
    let gesture = 'idle'; // idle, pending, dragging, pressedLong, scrolling
    let start = null; // the first finger's place and time
    let primary = null;
    let centre = null;
    const centroid = () => {
      const points = [...fingers.values()];
      return { x: points.reduce((sum, p) => sum + p.x, 0) / points.length, y: points.reduce((sum, p) => sum + p.y, 0) / points.length };
    };
    const click = (button) => [{ type: 'down', button, ...start }, { type: 'up', button, ...start }];
    function touch({ pointerId, type, clientX: x, clientY: y, timeStamp: time }) {
      const out = [];
      if (type === 'pointerdown') {
        fingers.set(pointerId, { x, y });
        if (fingers.size === 1) {
          gesture = 'pending';
          primary = pointerId;
          start = { x, y, time };
          out.push({ type: 'move', x, y });
        } else if (gesture === 'pending' || gesture === 'scrolling') {
          gesture = 'scrolling';
          centre = centroid();
        }
        return out;
      }
      if (!fingers.has(pointerId)) return out;
      if (type === 'pointermove') {
        fingers.set(pointerId, { x, y });
        if (pointerId !== primary && gesture !== 'scrolling') return out;
        if (gesture === 'pending' && Math.hypot(x - start.x, y - start.y) > slop) {
          gesture = 'dragging';
          out.push({ type: 'down', button: 0, x: start.x, y: start.y });
        }
        if (gesture === 'dragging') out.push({ type: 'move', x, y });
        if (gesture === 'scrolling') {
          const now = centroid();
          out.push({ type: 'scroll', x: now.x, y: now.y, dx: centre.x - now.x, dy: centre.y - now.y });
          centre = now;
        }
        return out;
      }
      // pointerup or pointercancel
      fingers.delete(pointerId);
      if (gesture === 'scrolling') {
        if (fingers.size) centre = centroid();
        else gesture = 'idle';
        return out;
      }
      if (pointerId !== primary) return out;
      if (gesture === 'pending' && type === 'pointerup') out.push(...click(0));
      if (gesture === 'dragging') out.push({ type: 'up', button: 0, x, y });
      // Fingers left behind do nothing until all are lifted.
      gesture = fingers.size ? 'pressedLong' : 'idle';
      return out;
    }
    function tick(time) {
      if (gesture !== 'pending' || time - start.time < longPress) return [];
      gesture = 'pressedLong';
      return click(2);
    }
    return { touch, tick, longPress };
  }

  return { normalRotation, mapPointer, buttonChanges, mousePacket, sessionIdentifier, touchGestures };
})();

if (typeof window === 'undefined') {
  module.exports = Receiver;
} else {
  startReceiver(Receiver);
}

function startReceiver({ normalRotation, mapPointer, buttonChanges, mousePacket, sessionIdentifier, touchGestures }) {
  const pollInterval = 3000;
  const refusedRetry = 5000;
  const reconnectDelay = 1000;
  const rateLimitRetry = 60000;
  const gatheringLimit = 5000;
  const interruptionGrace = 5000;
  const heartbeatInterval = 1000;
  const quietAfter = 4000;
  const unreachableText = 'The host computer cannot be reached. Is Tavelin still running?';
  const wrongCodeText = 'That code is not right. Check the pairing code on the host computer.';

  const stage = document.getElementById('stage');
  const video = document.getElementById('video');
  const overlay = document.getElementById('overlay');
  const statusLine = document.getElementById('status');
  const statsList = document.getElementById('stats');
  const pairForm = document.getElementById('pair');
  const codeField = document.getElementById('code');
  const fullScreenButton = document.getElementById('fullscreen');

  let token = null;
  let mouseEnabled = true;
  let settings = { brightness: 1, contrast: 1, saturation: 1, rotation: 0, flip: false, blank: false, fit: 'contain' };
  let channel = null;
  let liveSession = null;
  let heldButtons = 0;
  let heartbeat = null;
  let quietTimer = null;

  const fromPath = location.pathname.match(/^\/([0-9]{4})\/?$/);
  let code = fromPath ? fromPath[1] : '';
  let codeTyped = false;

  // An answer of the host that is not 200, or no answer at all (status 0).
  class HostError extends Error {
    constructor(status, message) {
      super(message);
      this.status = status;
    }
  }

  async function post(path, body, keepalive = false) {
    const headers = { 'Content-Type': 'application/json' };
    if (token && path !== '/api/pair') headers.Authorization = `Bearer ${token}`;
    let response;
    try {
      response = await fetch(path, { method: 'POST', headers, body: JSON.stringify(body), cache: 'no-store', keepalive });
    } catch {
      throw new HostError(0, unreachableText);
    }
    const json = await response.json().catch(() => ({}));
    if (!response.ok) throw new HostError(response.status, json.error || `The host computer answered ${response.status}.`);
    return json;
  }

  function show(state, text) {
    document.body.dataset.state = state;
    if (statusLine.textContent !== text) statusLine.textContent = text;
    wakeOverlay();
  }

  function wakeOverlay() {
    overlay.classList.remove('quiet');
    clearTimeout(quietTimer);
    if (document.body.dataset.state === 'streaming') {
      quietTimer = setTimeout(() => overlay.classList.add('quiet'), quietAfter);
    }
  }

  // --- picture -------------------------------------------------------------------

  function stageRect() {
    const r = stage.getBoundingClientRect();
    return { left: r.left, top: r.top, width: r.width, height: r.height };
  }

  function layOut() {
    const rotation = normalRotation(settings.rotation);
    const rect = stageRect();
    const quarter = rotation % 180 === 90;
    video.style.width = `${quarter ? rect.height : rect.width}px`;
    video.style.height = `${quarter ? rect.width : rect.height}px`;
    video.style.transform = `translate(-50%, -50%) rotate(${rotation}deg)${settings.flip ? ' scaleX(-1)' : ''}`;
    video.style.objectFit = ['contain', 'cover', 'fill'].includes(settings.fit) ? settings.fit : 'contain';
    video.style.filter = `brightness(${settings.brightness}) contrast(${settings.contrast}) saturate(${settings.saturation})`;
    video.classList.toggle('blank', Boolean(settings.blank));
  }

  function applySettings(reply) {
    if (reply.receiver && typeof reply.receiver === 'object') settings = { ...settings, ...reply.receiver };
    mouseEnabled = reply.mouseEnabled !== false;
    layOut();
  }

  const shownStatistics = [
    ['Video', (s) => (s.frameWidth && s.frameHeight ? `${s.frameWidth} × ${s.frameHeight}` : null)],
    ['Frames per second', (s) => s.framesPerSecond],
    ['Target bitrate', (s) => (s.targetBitrate ? `${(s.targetBitrate / 1e6).toFixed(1)} Mbit/s` : null)],
    ['Encoder', (s) => s.encoderImplementation],
    ['Limited by', (s) => (s.qualityLimitationReason && s.qualityLimitationReason !== 'none' ? s.qualityLimitationReason : null)],
    ['Capture age', (s) => (s.captureAgeMS !== undefined ? `${Math.round(s.captureAgeMS)} ms` : null)],
    ['Decoded here', () => (video.videoWidth ? `${video.videoWidth} × ${video.videoHeight}` : null)],
    ['Mouse', () => (mouseEnabled ? null : 'not allowed on the host computer')],
  ];

  function showStatistics(reply) {
    const rows = [];
    for (const [label, read] of shownStatistics) {
      const value = read(reply);
      if (value === null || value === undefined || value === '') continue;
      const term = document.createElement('dt');
      term.textContent = label;
      const detail = document.createElement('dd');
      detail.textContent = String(value);
      rows.push(term, detail);
    }
    statsList.replaceChildren(...rows);
  }

  // --- mouse ---------------------------------------------------------------------

  function send(packet) {
    if (!mouseEnabled || !channel || channel.readyState !== 'open') return;
    // A slow link must not queue stale moves behind the presses.
    if (packet.type === 'move' && channel.bufferedAmount > 65536) return;
    channel.send(JSON.stringify(packet));
  }

  function positionOf(event) {
    return mapPointer({ x: event.clientX, y: event.clientY }, stageRect(),
                      { width: video.videoWidth, height: video.videoHeight }, settings);
  }

  function setHeld(buttons) {
    heldButtons = buttons;
    if (heldButtons && !heartbeat) {
      heartbeat = setInterval(() => send(mousePacket('heartbeat')), heartbeatInterval);
    } else if (!heldButtons && heartbeat) {
      clearInterval(heartbeat);
      heartbeat = null;
    }
  }

  function onPointer(event) {
    if (event.type === 'pointermove') {
      const box = overlay.getBoundingClientRect();
      if (event.clientX >= box.left && event.clientX < box.right && event.clientY >= box.top && event.clientY < box.bottom) {
        wakeOverlay();
      }
    }
    if (event.pointerType === 'touch') return onTouch(event);
    const position = positionOf(event);
    const buttons = event.buttons & 7;
    const changes = buttonChanges(heldButtons, buttons);
    if (event.type === 'pointermove' && changes.length === 0) send(mousePacket('move', position, event));
    for (const change of changes) send(mousePacket(change.type, position, event, change));
    setHeld(buttons);
    if (event.type === 'pointerdown') {
      stage.setPointerCapture(event.pointerId);
      event.preventDefault();
    }
  }

  // Touch goes through the same packets as the mouse; a held drag keeps its heartbeats.
  const gestures = touchGestures();
  let longPressTimer = null;
  function sendTouch(actions) {
    for (const action of actions) {
      const position = positionOf({ clientX: action.x, clientY: action.y });
      if (action.type === 'scroll') {
        send(mousePacket('scroll', position, { deltaX: action.dx, deltaY: action.dy, deltaMode: 0 },
                         { rotation: settings.rotation, flip: settings.flip }));
      } else {
        send(mousePacket(action.type, position, {}, action));
        if (action.type !== 'move') setHeld(action.type === 'down' && action.button === 0 ? 1 : 0);
      }
    }
  }
  function onTouch(event) {
    if (event.type === 'pointerdown') {
      stage.setPointerCapture(event.pointerId);
      event.preventDefault();
      clearTimeout(longPressTimer);
      longPressTimer = setTimeout(() => sendTouch(gestures.tick(performance.now())), gestures.longPress);
    }
    sendTouch(gestures.touch(event));
  }

  function releaseAll() {
    if (heldButtons) setHeld(0);
    send(mousePacket('release'));
  }

  stage.addEventListener('pointerdown', onPointer);
  stage.addEventListener('pointermove', onPointer);
  stage.addEventListener('pointerup', onPointer);
  stage.addEventListener('pointercancel', (event) => {
    if (event.pointerType === 'touch') gestures.touch(event);
    releaseAll();
  });
  stage.addEventListener('wheel', (event) => {
    event.preventDefault();
    send(mousePacket('scroll', positionOf(event), event, { rotation: settings.rotation, flip: settings.flip }));
  }, { passive: false });
  stage.addEventListener('contextmenu', (event) => event.preventDefault());
  window.addEventListener('blur', releaseAll);
  window.addEventListener('pagehide', () => {
    releaseAll();
    // Let the host take the next receiver at once instead of waiting out a dead link.
    if (liveSession && token) post('/api/disconnect', { sessionID: liveSession }, true).catch(() => {});
  });
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'hidden') releaseAll();
  });
  window.addEventListener('resize', layOut);

  // --- full screen and overlay -----------------------------------------------------

  const root = document.documentElement;
  const requestFull = root.requestFullscreen || root.webkitRequestFullscreen;
  if (requestFull) {
    fullScreenButton.addEventListener('click', () => {
      if (document.fullscreenElement || document.webkitFullscreenElement) {
        (document.exitFullscreen || document.webkitExitFullscreen).call(document);
      } else {
        requestFull.call(root);
      }
    });
  } else if (typeof video.webkitEnterFullscreen === 'function') {
    // Safari on iPhone shows only a video element full screen, in its own player.
    fullScreenButton.addEventListener('click', () => video.webkitEnterFullscreen());
  } else {
    fullScreenButton.hidden = true;
  }
  overlay.addEventListener('pointerenter', wakeOverlay);

  // --- connection --------------------------------------------------------------------

  function pause(ms) {
    return new Promise((resolve) => { setTimeout(resolve, ms); });
  }

  function gatheringComplete(peer) {
    return new Promise((resolve) => {
      if (peer.iceGatheringState === 'complete') return resolve();
      const timer = setTimeout(resolve, gatheringLimit);
      peer.addEventListener('icegatheringstatechange', () => {
        if (peer.iceGatheringState === 'complete') { clearTimeout(timer); resolve(); }
      });
    });
  }

  async function pair() {
    show('pairing', 'Pairing with the host computer…');
    const reply = await post('/api/pair', { code });
    token = reply.token;
    applySettings(await post('/api/receiver', {}));
  }

  // Polls the status while a connection lives. Whether the stream is alive is the
  // connection's own state to tell: a poll that fails (a busy or slow host) is simply
  // tried again. Only the host's word ends the connection: a token it no longer knows,
  // or sharing stopped.
  function watchStatus(fail) {
    const poll = async () => {
      try {
        const reply = await post('/api/status', {});
        applySettings(reply);
        showStatistics(reply);
      } catch (error) {
        if (error.status === 401 || error.status === 503) fail(error);
      }
    };
    const timer = setInterval(poll, pollInterval);
    poll();
    return () => clearInterval(timer);
  }

  // One connection attempt, from the offer until the connection ends. Rejects with the
  // reason it ended.
  async function connectOnce(firstAttempt) {
    const sessionID = sessionIdentifier(crypto);
    const peer = new RTCPeerConnection({ iceServers: [] });
    let offered = false;
    let stopWatching = () => {};
    let interruption = null;
    try {
      if (firstAttempt) show('connecting', 'Connecting…');
      const mouse = peer.createDataChannel('mouse');
      peer.addTransceiver('video', { direction: 'recvonly' });
      peer.addEventListener('track', (event) => {
        video.srcObject = event.streams[0] || new MediaStream([event.track]);
      });
      await peer.setLocalDescription(await peer.createOffer());
      await gatheringComplete(peer);
      offered = true;
      liveSession = sessionID;
      let answer;
      try {
        answer = await post('/api/connect', { type: 'offer', sdp: peer.localDescription.sdp, sessionID });
      } catch (error) {
        // A refusal leaves nothing to let go of on the host.
        if (error.status > 0) offered = false;
        throw error;
      }
      await peer.setRemoteDescription({ type: 'answer', sdp: answer.sdp });
      show('connecting', 'Connecting to the picture…');

      await new Promise((resolve, reject) => {
        const lost = () => reject(new HostError(-1, 'The connection to the host computer was lost. Reconnecting…'));
        stopWatching = watchStatus(reject);
        mouse.addEventListener('open', () => { channel = mouse; });
        mouse.addEventListener('close', lost);
        peer.addEventListener('connectionstatechange', () => {
          clearTimeout(interruption);
          switch (peer.connectionState) {
          case 'connected': show('streaming', 'Connected.'); break;
          case 'disconnected': interruption = setTimeout(lost, interruptionGrace); break;
          case 'failed': case 'closed': lost(); break;
          default: break;
          }
        });
      });
    } finally {
      stopWatching();
      clearTimeout(interruption);
      releaseAll();
      showStatistics({});
      channel = null;
      peer.close();
      video.srcObject = null;
      // The host may hold a connection for an offer the page gave up on; let it go.
      if (liveSession === sessionID) liveSession = null;
      if (offered && token) await post('/api/disconnect', { sessionID }).catch(() => {});
    }
  }

  async function run() {
    let firstAttempt = true;
    for (;;) {
      try {
        if (!token) await pair();
        await connectOnce(firstAttempt);
      } catch (error) {
        const status = error instanceof HostError ? error.status : -2;
        firstAttempt = false;
        if (status === 401 && !token) {
          // The code itself was refused: only a new link or code helps.
          show('refused', codeTyped ? wrongCodeText : error.message);
          pairForm.hidden = false;
          // Typed by hand: the next try is typed over the last one, without the pointer.
          if (codeTyped) codeField.select();
          return;
        }
        if (status === 401) {
          token = null;
          continue;
        }
        if (status === 0 || status === 503) {
          // A restarted share draws a new token, so coming back means pairing again.
          token = null;
          showStatistics({});
          show('stopped', error.message);
          await pause(pollInterval);
          firstAttempt = true;
          continue;
        }
        if (status === 429) {
          show('refused', error.message);
          await pause(rateLimitRetry);
          continue;
        }
        if (status === -1) {
          show('connecting', error.message);
          await pause(reconnectDelay);
          continue;
        }
        show('failed', error.message || 'Could not connect to the host computer.');
        await pause(refusedRetry);
      }
    }
  }

  pairForm.addEventListener('submit', (event) => {
    event.preventDefault();
    code = codeField.value.trim();
    codeTyped = true;
    pairForm.hidden = true;
    token = null;
    run();
  });

  layOut();
  if (code) {
    codeField.value = code;
    run();
  } else {
    show('refused', 'Enter the pairing code shown on the host computer.');
    pairForm.hidden = false;
  }
}
