// The browser client's protocol modules under Node: frame reassembly and the
// limits that close a stream, the login packet byte for byte against the
// documented layout, UTF-16 text fields, the game's messages, login strings
// against the C++ vectors and Node's own MD5, and request matching over a
// scripted WebSocket.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createHash, randomBytes } from 'node:crypto';

import * as qv from '../../client/web/qvprotocol.js';
import { md5, hexUpper, makeLoginString } from '../../client/web/loginstring.js';
import { Connection, Session } from '../../client/web/qvsession.js';

const bytes = (...a) => Uint8Array.from(a);
const le16 = (v) => [v & 0xff, v >> 8];
const le32 = (v) => [v & 0xff, (v >>> 8) & 0xff, (v >>> 16) & 0xff, v >>> 24];

test('frames are reassembled however the stream is cut', () => {
  const packets = [bytes(...le16(200), 1, 0), bytes(...le16(301)), Uint8Array.from(randomBytes(300))];
  const stream = qv.frames(packets);
  assert.deepEqual([...stream.subarray(0, 8)], [4, 0, 0, 0, 0xc8, 0, 1, 0]);  // the documented example
  // All in one chunk, then cut at every position, then one byte at a time.
  assert.deepEqual(new qv.FrameParser().push(stream), packets);
  for (let cut = 0; cut <= stream.length; ++cut) {
    const p = new qv.FrameParser();
    const got = [...p.push(stream.subarray(0, cut)), ...p.push(stream.subarray(cut))];
    assert.deepEqual(got, packets, `cut at ${cut}`);
    assert.equal(p.pending, 0);
  }
  const p = new qv.FrameParser();
  const got = [];
  for (const b of stream) got.push(...p.push(bytes(b)));
  assert.deepEqual(got, packets);
});

test('a length outside 2..max breaks the stream for good, after the whole frames before it', () => {
  for (const len of [0, 1, qv.kMaxPacketSize + 1, 0xffffffff]) {
    const p = new qv.FrameParser();
    const good = qv.frame(bytes(...le16(254)));
    const got = p.push(Uint8Array.from([...good, ...le32(len), 9, 9]));
    assert.deepEqual(got, [bytes(...le16(254))], `length ${len}`);
    assert.equal(p.bad, true, `length ${len}`);
    assert.deepEqual(p.push(good), [], 'nothing more is decoded');
  }
  // The largest packet is allowed: its header alone waits for the body.
  const p = new qv.FrameParser();
  assert.deepEqual(p.push(bytes(...le32(qv.kMaxPacketSize))), []);
  assert.equal(p.bad, false);
});

test('the login packet matches the C++ client layout', () => {
  // Built here from the documented layout with Node's own UTF-16LE encoder.
  const expected = (signal, name, login) => {
    const b = Buffer.alloc(200);
    b.writeUInt16LE(signal, 0);
    Buffer.from(name, 'utf16le').copy(b, 2);
    Buffer.from(login, 'utf16le').copy(b, 102);
    return Uint8Array.from(b);
  };
  const login = makeLoginString(12345, 0x1a2b3c);
  assert.deepEqual(qv.makeLogin(302, 'alice', login), expected(302, 'alice', login));
  assert.deepEqual(qv.makeLogin(304, '玩家一', login), expected(304, '玩家一', login));
  // Over-long fields keep 16 and 48 units and stay terminated (units 17 and 99).
  const p = qv.makeLogin(302, 'alice_with_a_long_name', 'X'.repeat(60));
  assert.deepEqual(p, expected(302, 'alice_with_a_lon', 'X'.repeat(48)));
  assert.equal(p.length, 200);
  assert.equal(p[34] | p[35], 0);
  assert.equal(p[198] | p[199], 0);
});

test('text fields: cut to units - 1, stop at NUL, never split a surrogate pair; reads stop at the end', () => {
  const cases = [
    ['abc', 4, 'abc'],
    ['abcd', 4, 'abc'],
    ['ab\0cd', 6, 'ab'],
    ['ab😀', 4, 'ab'],     // the pair would need units 2 and 3: both go
    ['ab😀', 5, 'ab😀'],
    ['', 3, ''],
  ];
  for (const [text, units, kept] of cases) {
    const p = new qv.PacketWriter(0).text(text, units).take();
    assert.equal(p.length, 2 + 2 * units, JSON.stringify(text));
    assert.equal(new qv.PacketReader(p).text(2, units), kept, JSON.stringify(text));
  }
  // A field filled to its last unit reads as the whole field, not beyond it.
  const full = Uint8Array.from([...Buffer.from('abcdXY', 'utf16le')]);
  assert.equal(new qv.PacketReader(full).text(0, 4), 'abcd');
});

test('server messages parse at their offsets and too-short ones are refused', () => {
  const ui = new Uint8Array(156);
  ui.set(le16(250), 0);
  ui.set(Buffer.from('{GUID}', 'utf16le'), 2);
  ui.set(Buffer.from('bob', 'utf16le'), 2 + 78);
  ui.set(le32(-5 >>> 0), 2 + 138);
  ui.set(le32(140), 2 + 142);
  assert.deepEqual(qv.parseUserInfo(ui), { guid: '{GUID}', name: 'bob', extra: '', gold: -5, coins: 140 });
  assert.equal(qv.parseUserInfo(ui.subarray(0, 151)), null);

  const result = Uint8Array.from([...le16(1113), ...le32(7), ...le32(20), ...le32(1),
    ...le16(2), ...le16(0), 9, ...le32(19), ...le16(3), 4, ...le32(0)]);
  assert.deepEqual(qv.parsePacket(result), {
    type: 'diceResult', signal: 1113, round: 7, pot: 20, rake: 1,
    players: [{ place: 0, total: 9, payout: 19 }, { place: 3, total: 4, payout: 0 }],
  });
  assert.equal(qv.parseDiceResult(result.subarray(0, result.length - 1)), null, 'n promises more than sent');

  const countdown = Uint8Array.from([...le16(1110), ...le32(2), ...le32(3000), ...le16(2), ...le16(1), ...le16(3)]);
  assert.deepEqual(qv.parseDiceCountdown(countdown), { round: 2, ms: 3000, places: [1, 3] });
  const error = new Uint8Array(64);
  error.set([...le16(201), ...le16(354)]);
  error.set(Buffer.from('金币不足', 'utf16le'), 4);
  assert.deepEqual(qv.parsePacket(error), { type: 'error', signal: 201, request: 354, text: '金币不足' });
  assert.equal(qv.parsePacket(bytes(...le16(201), 0, 0)).type, 'unknown', 'an error shorter than 64 bytes');
});

test('a chat line longer than the game takes is cut on a character boundary', () => {
  const p = qv.makeDiceChat('é'.repeat(600));  // 1200 bytes of UTF-8
  assert.equal(p.length - 2, 1024);
  assert.equal(new TextDecoder('utf-8', { fatal: true }).decode(p.subarray(2)), 'é'.repeat(512));
  const q = qv.makeDiceChat('a' + '中'.repeat(400));  // the cut falls inside a 3-byte character
  assert.equal(q.length - 2, 1 + 3 * 341);
});

test('login strings equal the C++ issuer, and the MD5 agrees with Node at every block boundary', () => {
  const vectors = [
    [12345, 0x1a2b3c, '654F30AECEA7358E768B3A874ED3AB441A2B3C'],
    [-7, 0x5f5e0ff, '37318A5AFADD3F11CDF5158C083584345F5E0FF'],
    [0, 0, '48E0906D602C9F744253E00EBB63C3E50'],
    [2147483647, 0xffffffffffffffffn, 'E71FD36434BE702A880CF4D08EC4A7B3FFFFFFFFFFFFFFFF'],
    [-2147483648, 0x10, 'AD72A56C26147757C27FB9979CCC248010'],
  ];
  for (const [key, time, want] of vectors) assert.equal(makeLoginString(key, time), want, `${key}`);
  for (const n of [0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000]) {
    const b = randomBytes(n);
    assert.equal(hexUpper(md5(Uint8Array.from(b))), createHash('md5').update(b).digest('hex').toUpperCase(), `${n}`);
  }
  for (const [key, time] of [[2 ** 31, 1], [1.5, 1], [1, -1], [1, 1n << 64n]])
    assert.throws(() => makeLoginString(key, time), RangeError);
});

// A WebSocket whose server side the test scripts: sent() gives the packets
// the client sent, serve() delivers bytes as one message.
class FakeSocket {
  static last = [];
  constructor(url) {
    this.url = url;
    this.readyState = 1;
    this.out = [];
    this.closedWith = null;
    FakeSocket.last.push(this);
  }
  send(b) { this.out.push(...new qv.FrameParser().push(b)); }
  close(code) { this.closedWith = code; this.readyState = 3; }
  serve(...packets) { this.onmessage({ data: qv.frames(packets).slice().buffer }); }
}
const resultFor = (signal) => bytes(...le16(200), ...le16(signal));
const errorFor = (signal, text) => {
  const p = new Uint8Array(64);
  p.set([...le16(201), ...le16(signal)]);
  p.set(Buffer.from(text, 'utf16le'), 4);
  return p;
};

test('requests wait for their own answer; a broken stream fails them and closes the socket', async () => {
  FakeSocket.last = [];
  const seen = [];
  const c = new Connection('ws://x/', { WebSocketImpl: FakeSocket, onPacket: (_p, m) => seen.push(m.type) });
  const opened = c.open();
  const ws = FakeSocket.last[0];
  ws.serve(resultFor(1));
  await opened;
  clearInterval(c.keepAlive);

  const buy = c.request(qv.makeSignalOnly(354), 354, { noticeOk: false });
  const join = c.request(qv.makeJoinRoom(2, 0), 306);
  assert.deepEqual(ws.out.map(qv.signalOf), [354, 306]);
  ws.serve(resultFor(350), errorFor(354, '金币不足'), resultFor(306));  // another request's result is no answer
  await assert.rejects(buy, { message: '金币不足', signal: 354 });
  await join;
  assert.deepEqual(seen, ['result', 'result', 'error', 'result']);

  const pending = c.request(qv.makeSignalOnly(350), 350);
  ws.onmessage({ data: Uint8Array.from(le32(1)).buffer });  // length 1: the stream is broken
  await assert.rejects(pending, /bad frame length/);
  assert.equal(ws.closedWith, 1002);
  assert.equal(c.send(qv.makeKeepAlive()), false);
});

test('a join brings the game connection up in order and leaves the room when it fails', async () => {
  FakeSocket.last = [];
  const s = new Session('ws://x/', { WebSocketImpl: FakeSocket });
  const login = s.login('alice', 'L');
  const lobby = FakeSocket.last[0];
  lobby.serve(resultFor(1));
  await new Promise((r) => setImmediate(r));
  lobby.serve(resultFor(302));
  await login;
  clearInterval(s.lobby.keepAlive);

  const join = s.join(4, 0);
  lobby.serve(resultFor(306));
  await new Promise((r) => setImmediate(r));
  const game = FakeSocket.last[1];
  game.serve(errorFor(1, '服务器已达到最大人数'));  // still serves the login into the session
  await new Promise((r) => setImmediate(r));
  clearInterval(s.game.keepAlive);
  game.serve(resultFor(304));
  await new Promise((r) => setImmediate(r));
  game.serve(errorFor(300, '客户端版本不正确'));
  await assert.rejects(join, /客户端版本不正确/);
  assert.deepEqual(game.out.map(qv.signalOf), [304, 300]);
  assert.equal(game.out[0][2], 'a'.charCodeAt(0), 'the game login carries the lobby name');
  assert.deepEqual(lobby.out.map(qv.signalOf), [302, 306, 307], 'the seat is given back');
  assert.equal(game.closedWith, 1000);
});
