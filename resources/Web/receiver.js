// Pairs with the host and shows its status. Video and the mouse arrive with the stream.
'use strict';

const statusLine = document.getElementById('status');
const form = document.getElementById('pair');
const codeField = document.getElementById('code');

const codeFromPath = location.pathname.match(/^\/([0-9]{4})\/?$/);
if (codeFromPath) codeField.value = codeFromPath[1];

async function post(path, body, token) {
  const headers = { 'Content-Type': 'application/json' };
  if (token) headers.Authorization = `Bearer ${token}`;
  const response = await fetch(path, { method: 'POST', headers, body: JSON.stringify(body) });
  const json = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(json.error || `The host answered ${response.status}.`);
  return json;
}

form.addEventListener('submit', async (event) => {
  event.preventDefault();
  try {
    const { token } = await post('/api/pair', { code: codeField.value });
    const status = await post('/api/status', {}, token);
    statusLine.textContent = status.mouseEnabled
      ? 'Paired. The host computer is sharing a display.'
      : 'Paired. Remote mouse control is not available on the host computer.';
  } catch (error) {
    statusLine.textContent = error.message;
  }
});
