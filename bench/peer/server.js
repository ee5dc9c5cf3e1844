// A minimal pairing relay for comparison: the two connections that open the same path are
// paired and each message one sends goes to the other, with its kind (text or binary) kept.
// No backlog, limits or pings: it is only the floor of what such a relay costs on Node.
//   node server.js [--plain] [--cert FILE --key FILE] [--port N]
'use strict';
const fs = require('fs');
const http = require('http');
const https = require('https');
const { WebSocketServer } = require('ws');

const args = process.argv.slice(2);
const option = (name) => {
  const at = args.indexOf(name);
  return at >= 0 ? args[at + 1] : undefined;
};
const plain = args.includes('--plain');
const server = plain
  ? http.createServer()
  : https.createServer({ cert: fs.readFileSync(option('--cert')), key: fs.readFileSync(option('--key')) });
const wss = new WebSocketServer({ server, perMessageDeflate: false });
const rooms = new Map();

wss.on('connection', (socket, request) => {
  const path = request.url;
  const room = rooms.get(path) || [];
  if (room.length >= 2) return socket.close(4001, 'occupied');
  room.push(socket);
  rooms.set(path, room);
  socket.on('message', (data, isBinary) => {
    const peer = room.find((other) => other !== socket);
    if (peer && peer.readyState === peer.OPEN) peer.send(data, { binary: isBinary });
  });
  socket.on('close', () => {
    room.splice(room.indexOf(socket), 1);
    if (room.length === 0) rooms.delete(path);
  });
  socket.on('error', () => {});
});

server.listen(Number(option('--port') || 0), '127.0.0.1', () => {
  process.stderr.write(`listening on 127.0.0.1:${server.address().port}\n`);
});
process.on('SIGTERM', () => process.exit(0));
