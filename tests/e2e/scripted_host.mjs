// A host whose answers a test scripts, to test the page's own behaviour apart from the
// program: it serves the receiver page under the program's security headers and answers
// offers from a second Chromium that sends a drawn picture and records what arrives on
// the "mouse" channel.
import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const web = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../resources/Web');
const types = { html: 'text/html', js: 'text/javascript', css: 'text/css', svg: 'image/svg+xml' };
// The program's policy (server/http_response.cpp).
const policy = "default-src 'self'; script-src 'self'; style-src 'self'; media-src 'self' blob:; " +
  "connect-src 'self'; object-src 'none'; base-uri 'none'; frame-ancestors 'none'";

const code = '1234';
export const pictureSize = { width: 320, height: 180 };

// Runs in the sending browser.
function installSender({ width, height }) {
  window.messages = [];
  const canvas = Object.assign(document.createElement('canvas'), { width, height });
  const paint = canvas.getContext('2d');
  let hue = 0;
  setInterval(() => {
    paint.fillStyle = `hsl(${(hue = (hue + 7) % 360)} 80% 50%)`;
    paint.fillRect(0, 0, width, height);
  }, 33);
  const track = canvas.captureStream(30).getVideoTracks()[0];
  window.answerOffer = async (sdp) => {
    window.peer?.close();
    const peer = (window.peer = new RTCPeerConnection());
    peer.addEventListener('datachannel', ({ channel }) =>
      channel.addEventListener('message', ({ data }) => window.messages.push(JSON.parse(data))));
    await peer.setRemoteDescription({ type: 'offer', sdp });
    const video = peer.getTransceivers().find((t) => t.receiver.track.kind === 'video');
    video.direction = 'sendonly';
    await video.sender.replaceTrack(track);
    await peer.setLocalDescription();
    while (peer.iceGatheringState !== 'complete') await new Promise((resolve) => setTimeout(resolve, 20));
    return peer.localDescription.sdp;
  };
}

export class ScriptedHost {
  // `sender` is a page of a browser whose host candidates are plain addresses.
  static async start(sender) {
    await sender.evaluate(installSender, pictureSize);
    const host = new ScriptedHost(sender);
    await new Promise((resolve) => host.server.listen(0, '127.0.0.1', resolve));
    host.origin = `http://127.0.0.1:${host.server.address().port}`;
    host.link = `${host.origin}/${code}`;
    return host;
  }

  constructor(sender) {
    // `refusal`: a message for 409 answers to connect; `requests`: [path, body] of each API call.
    Object.assign(this, { sender, token: 'a'.repeat(32), sharing: true, refusal: null, requests: [] });
    this.settings = { brightness: 1, contrast: 1, saturation: 1, rotation: 0, flip: false, blank: false, fit: 'contain' };
    this.server = createServer((request, response) => this.serve(request, response));
  }

  close() {
    this.server.closeAllConnections();
    return new Promise((resolve) => this.server.close(resolve));
  }

  messages() { return this.sender.evaluate(() => window.messages.splice(0)); }

  calls(apiPath) { return this.requests.filter(([p]) => p === apiPath).map(([, body]) => body); }

  async serve(request, response) {
    const reply = (status, type, body) => {
      response.writeHead(status, { 'Content-Type': type, 'Content-Security-Policy': policy, 'Cache-Control': 'no-store' });
      response.end(body);
    };
    const json = (status, object) => reply(status, 'application/json; charset=utf-8', JSON.stringify(object));
    const url = new URL(request.url, this.origin);
    if (request.method === 'GET') {
      const file = /^\/([0-9]{4}\/?)?$/.test(url.pathname) ? 'index.html' : url.pathname.slice(1);
      if (!['index.html', 'receiver.js', 'style.css', 'icon.svg'].includes(file)) return json(404, { error: 'Not found.' });
      return reply(200, `${types[file.split('.')[1]]}; charset=utf-8`, await readFile(path.join(web, file)));
    }
    const body = JSON.parse(Buffer.concat(await request.toArray()).toString() || 'null');
    this.requests.push([url.pathname, body]);
    if (!this.sharing) return json(503, { error: 'Sharing has stopped.' });
    if (url.pathname === '/api/pair') {
      return body.code === code ? json(200, { token: this.token })
        : json(401, { error: 'This receiver link is out of date. Copy the current link from the Tavelin app.' });
    }
    if (request.headers.authorization !== `Bearer ${this.token}`) {
      return json(401, { error: 'Session expired. Open the current receiver link from the host computer.' });
    }
    if (['/api/status', '/api/receiver'].includes(url.pathname)) return json(200, { mouseEnabled: true, receiver: this.settings });
    if (url.pathname === '/api/disconnect') return json(200, { ok: true });
    if (url.pathname !== '/api/connect') return json(404, { error: 'Not found.' });
    if (this.refusal) return json(409, { error: this.refusal });
    return json(200, { type: 'answer', sdp: await this.sender.evaluate((offer) => window.answerOffer(offer), body.sdp) });
  }
}
