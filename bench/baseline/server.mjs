// The helper's job for an input message, done the plain Node.js way with the `ws` package: parse the JSON,
// check the stream's grant, map the point onto the target rectangle and append one line to the event
// trace named in the scene. "target" and "allow" get just the answers the load client waits for.
//
//   node server.mjs PORT SCENE
import fs from 'node:fs';
import { WebSocketServer } from 'ws';

const [port, scenePath] = process.argv.slice(2);
const scene = JSON.parse(fs.readFileSync(scenePath, 'utf8'));
const windows = new Map((scene.windows ?? []).map((w) => [w.id, w]));
// Kept open, as a server written for speed would; the trace may be a FIFO read by the load client.
const trace = fs.openSync(scene.eventTrace, 'a');

// Shared by every page, as in the helper.
const targets = new Map();
const allowed = new Map();

const localOrigin = /^[a-z][a-z0-9+.-]*:\/\/(localhost|127\.0\.0\.1|\[::1\])(:\d+)?$/i;

function resolve(label) {
  const match = /^window:(\d+):/.exec(label ?? '');
  const window = match && windows.get(Number(match[1]));
  if (!window || !window.bounds) return null;
  const [x, y, width, height] = window.bounds;
  return { app: window.owner ?? '', x, y, width, height };
}

const unit = (v) => (v > 0 ? Math.min(v, 1) : 0);

function handle(socket, message) {
  const k = message.streamIndex;
  if (k !== 1 && k !== 2) return;
  switch (message.type) {
    case 'input': {
      const target = targets.get(k);
      if (!allowed.get(k) || !target) return;
      const input = message.input;
      if (!input || input.kind !== 'move' || !Number.isFinite(input.x) || !Number.isFinite(input.y)) return;
      const x = target.x + target.width * unit(input.x);
      const y = target.y + target.height * unit(input.y);
      fs.writeSync(trace, `{"type":5,"x":${x},"y":${y},"flags":0,"userData":1449487469,"button":0,"clickState":0}\n`);
      return;
    }
    case 'target': {
      const target = resolve(message.label);
      allowed.set(k, false);
      if (!target) {
        targets.delete(k);
        socket.send(JSON.stringify({ type: 'target', streamIndex: k, ok: false, error: 'Not found' }));
        return;
      }
      targets.set(k, target);
      socket.send(JSON.stringify({ type: 'target', streamIndex: k, ok: true, app: target.app }));
      return;
    }
    case 'allow': {
      const wanted = message.allowed === true && targets.has(k);
      allowed.set(k, wanted);
      socket.send(JSON.stringify({ type: 'state', streamIndex: k, allowed: wanted }));
      return;
    }
    default:
  }
}

const server = new WebSocketServer({
  host: '127.0.0.1',
  port: Number(port),
  verifyClient: ({ origin }) => localOrigin.test(origin ?? ''),
});
server.on('connection', (socket) => {
  socket.send(JSON.stringify({ type: 'hello', version: '0.1.0', trusted: true, dryRun: false }));
  socket.on('message', (data, isBinary) => {
    if (isBinary) return;
    let message;
    try {
      message = JSON.parse(data);
    } catch {
      return;
    }
    if (message !== null && typeof message === 'object' && !Array.isArray(message)) handle(socket, message);
  });
});
