// The client protocol for JavaScript: frame parsing and framing, and
// little-endian builders and parsers for the framework's messages and the
// example game's. No DOM and no WebSocket here, so the module runs the same in
// a browser and in Node. Builders return whole packets (signal first, no
// length prefix) as Uint8Array; parsers take a whole packet and return null
// when it is not the message asked for or is shorter than its layout.

export const kFrameHeaderSize = 4;
export const kMinPacketSize = 2;           // the signal alone
export const kMaxPacketSize = 65536;       // the server's default limit

export const Signal = Object.freeze({
  CONNECT_REPLY: 1,  // request signal of the reply to a fresh connection
  SC_CORE_RESULT: 200,
  SC_CORE_ERROR: 201,
  SC_CORE_USER_INFO: 250,
  SC_ROOM_USER_INFO: 251,
  SC_ROOM_COUNT: 252,
  SC_ROOM_STATE: 253,
  SC_GAME_CLIENT_READY: 254,
  SC_CORE_NOTICE: 255,
  SC_COIN_PARAMS: 256,
  CS_CORE_VERSION: 300,
  CS_CORE_KEEPALIVE: 301,
  CS_LOBBY_CLIENT_LOGIN: 302,
  CS_LOBBY_CLIENT_LOGOUT: 303,
  CS_GAME_CLIENT_LOGIN: 304,
  CS_GAME_CLIENT_LOGOUT: 305,
  CS_JOIN_ROOM: 306,
  CS_LEAVE_ROOM: 307,
  CS_GAME_CLIENT_READY: 308,
  CS_GET_ROOM_LIST: 350,
  CS_REFRESH_ROOM_LIST: 351,
  CS_GET_ROOM_USERS: 352,
  CS_BUY_GAME_COIN: 354,
  DICE_CS_READY: 1000,
  DICE_CS_CHAT: 1001,
  DICE_CS_PING: 1002,
  DICE_SC_READY: 1100,
  DICE_SC_CHAT: 1101,
  DICE_SC_PONG: 1102,
  DICE_SC_COUNTDOWN: 1110,
  DICE_SC_ROUND_START: 1111,
  DICE_SC_ROLL: 1112,
  DICE_SC_RESULT: 1113,
  DICE_SC_CANCELLED: 1114,
});

export const kDiceGameVersion = 1;
export const kDiceMaxBody = 1024;  // chat and ping bodies; longer ones are dropped by the game
export const JoinMode = Object.freeze({ PLAYER: 0, OBSERVER: 1 });
export const DiceReadyStatus = Object.freeze(
  ['in the next round', 'observers do not play', 'fewer coins than the stake', 'already in']);
export const DiceCancelReason = Object.freeze({ 1: 'too few players', 2: 'the stakes could not be taken' });

// Fixed text fields, in UTF-16 units (terminator included).
const kLoginPacketSize = 200;
const kLoginNameOffset = 2;
const kLoginNameUnits = 17;
const kLoginStringOffset = 102;
const kLoginStringUnits = 49;
const kErrorTextUnits = 30;
const kNoticeTextUnits = 100;
const kUserRecordSize = 150;

// ---------------------------------------------------------------- framing

// The 4-byte little-endian length, then the packet.
export function frame(packet) {
  const out = new Uint8Array(kFrameHeaderSize + packet.length);
  new DataView(out.buffer).setUint32(0, packet.length, true);
  out.set(packet, kFrameHeaderSize);
  return out;
}

// Several packets as one message.
export function frames(packets) {
  const parts = packets.map(frame);
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let at = 0;
  for (const p of parts) { out.set(p, at); at += p.length; }
  return out;
}

// Reassembles packets from a byte stream cut anywhere. push() takes the next
// chunk and returns the packets it completed; once a length field is outside
// kMinPacketSize..maxPacket the stream is broken for good (bad is set, push
// returns nothing more) and the caller closes the connection, as the server
// does. Packets that were complete before the bad length are still returned.
export class FrameParser {
  constructor(maxPacket = kMaxPacketSize) {
    this.maxPacket = maxPacket;
    this.bad = false;
    this.buf = new Uint8Array(0);
  }

  push(chunk) {
    if (this.bad) return [];
    const data = new Uint8Array(this.buf.length + chunk.length);
    data.set(this.buf, 0);
    data.set(chunk, this.buf.length);
    const view = new DataView(data.buffer);
    const packets = [];
    let at = 0;
    while (data.length - at >= kFrameHeaderSize) {
      const n = view.getUint32(at, true);
      if (n < kMinPacketSize || n > this.maxPacket) {
        this.bad = true;
        break;
      }
      if (data.length - at - kFrameHeaderSize < n) break;
      packets.push(data.slice(at + kFrameHeaderSize, at + kFrameHeaderSize + n));
      at += kFrameHeaderSize + n;
    }
    this.buf = this.bad ? new Uint8Array(0) : data.slice(at);
    return packets;
  }

  // Bytes of an incomplete frame waiting for the rest.
  get pending() { return this.buf.length; }
}

// ---------------------------------------------------------------- fields

export class PacketWriter {
  constructor(signal) {
    this.bytes = [];
    this.u16(signal);
  }
  u8(v) { this.bytes.push(v & 0xff); return this; }
  u16(v) { return this.u8(v).u8(v >>> 8); }
  u32(v) { return this.u16(v & 0xffff).u16((v >>> 16) & 0xffff); }
  i32(v) { return this.u32(v >>> 0); }
  zeros(n) { for (let i = 0; i < n; ++i) this.bytes.push(0); return this; }
  raw(b) { for (const x of b) this.bytes.push(x); return this; }
  // A text field of `units` UTF-16 units: at most units - 1 of them, the rest
  // zero, so the field is always terminated. A text cut inside a surrogate
  // pair loses the whole pair: a lone half would be no character at all.
  text(s, units) {
    let n = Math.min(s.length, units - 1);
    const zero = s.indexOf('\0');
    if (zero >= 0 && zero < n) n = zero;
    if (n > 0 && n < s.length && isHighSurrogate(s.charCodeAt(n - 1))) --n;
    for (let i = 0; i < n; ++i) this.u16(s.charCodeAt(i));
    return this.zeros(2 * (units - n));
  }
  take() { return Uint8Array.from(this.bytes); }
}

function isHighSurrogate(u) { return u >= 0xd800 && u <= 0xdbff; }

// Bounds-checked little-endian reads; a field beyond the end reads as 0.
export class PacketReader {
  constructor(p) { this.p = p; }
  get size() { return this.p.length; }
  u8(off) { return off < this.p.length ? this.p[off] : 0; }
  u16(off) { return this.u8(off) | (this.u8(off + 1) << 8); }
  u32(off) { return (this.u16(off) | (this.u16(off + 2) << 16)) >>> 0; }
  i32(off) { return this.u32(off) | 0; }
  // A zero-terminated UTF-16LE text field of `units` units.
  text(off, units) {
    let s = '';
    for (let i = 0; i < units; ++i) {
      const c = this.u16(off + 2 * i);
      if (!c) break;
      s += String.fromCharCode(c);
    }
    return s;
  }
  bytes(off) { return off < this.p.length ? this.p.subarray(off) : new Uint8Array(0); }
}

export function signalOf(p) { return p.length >= 2 ? p[0] | (p[1] << 8) : 0; }

// ---------------------------------------------------------------- builders

export function makeSignalOnly(signal) { return new PacketWriter(signal).take(); }
export function makeKeepAlive() { return makeSignalOnly(Signal.CS_CORE_KEEPALIVE); }
export function makeVersion(version) { return new PacketWriter(Signal.CS_CORE_VERSION).i32(version).take(); }

// The 200-byte login (CS_LOBBY_CLIENT_LOGIN or CS_GAME_CLIENT_LOGIN): the name
// (16 units at most) at 2, the login string (48 at most) at 102.
export function makeLogin(signal, name, loginString) {
  const w = new PacketWriter(signal).text(name, kLoginNameUnits);
  w.zeros(kLoginStringOffset - (kLoginNameOffset + 2 * kLoginNameUnits));
  w.text(loginString, kLoginStringUnits);
  const p = w.take();
  const out = new Uint8Array(kLoginPacketSize);
  out.set(p.subarray(0, kLoginPacketSize));
  return out;
}

export function makeJoinRoom(room, mode) {
  return new PacketWriter(Signal.CS_JOIN_ROOM).u16(room).u8(mode).take();
}
export function makeGetRoomUsers(room) { return new PacketWriter(Signal.CS_GET_ROOM_USERS).u16(room).take(); }
export function makeDiceReady() { return makeSignalOnly(Signal.DICE_CS_READY); }

// A chat line as UTF-8, cut to the game's limit on a character boundary (the
// game drops a longer body whole, so the line would be lost).
export function makeDiceChat(text) {
  return new PacketWriter(Signal.DICE_CS_CHAT).raw(utf8Limited(text, kDiceMaxBody)).take();
}
export function makeDicePing(body) { return new PacketWriter(Signal.DICE_CS_PING).raw(body).take(); }

export function utf8Limited(text, maxBytes) {
  const b = new TextEncoder().encode(text);
  if (b.length <= maxBytes) return b;
  let n = maxBytes;
  while (n > 0 && (b[n] & 0xc0) === 0x80) --n;  // back to the start of the cut character
  return b.slice(0, n);
}

// ---------------------------------------------------------------- parsers

function is(p, signal, minSize) { return p.length >= minSize && signalOf(p) === signal; }

export function readUserRecord(p, off) {
  const r = new PacketReader(p);
  return {
    guid: r.text(off, 39),
    name: r.text(off + 78, 17),
    extra: r.text(off + 112, 11),
    gold: r.i32(off + 138),
    coins: r.i32(off + 142),
  };
}

export function parseResult(p) {
  return is(p, Signal.SC_CORE_RESULT, 4) ? { request: new PacketReader(p).u16(2) } : null;
}
export function parseError(p) {
  if (!is(p, Signal.SC_CORE_ERROR, 64)) return null;
  const r = new PacketReader(p);
  return { request: r.u16(2), text: r.text(4, kErrorTextUnits) };
}
export function parseNotice(p) {
  return is(p, Signal.SC_CORE_NOTICE, 202) ? { text: new PacketReader(p).text(2, kNoticeTextUnits) } : null;
}
export function parseUserInfo(p) {
  return is(p, Signal.SC_CORE_USER_INFO, 2 + kUserRecordSize) ? readUserRecord(p, 2) : null;
}
export function parseRoomUserInfo(p) {
  if (!is(p, Signal.SC_ROOM_USER_INFO, 4 + kUserRecordSize)) return null;
  return { place: new PacketReader(p).u16(2), user: readUserRecord(p, 4) };
}
export function parseRoomCount(p) {
  return is(p, Signal.SC_ROOM_COUNT, 6) ? { count: new PacketReader(p).i32(2) } : null;
}
export function parseRoomState(p) {
  if (!is(p, Signal.SC_ROOM_STATE, 20)) return null;
  const r = new PacketReader(p);
  return { room: r.u16(2), places: r.i32(8), players: r.i32(12) };
}
export function parseCoinParams(p) {
  if (!is(p, Signal.SC_COIN_PARAMS, 14)) return null;
  const r = new PacketReader(p);
  return { goldPerCoin: r.i32(2), goldBackPerCoin: r.i32(6), roomMinCoin: r.i32(10) };
}

export function parseDiceReady(p) {
  if (!is(p, Signal.DICE_SC_READY, 8)) return null;
  const r = new PacketReader(p);
  return { place: r.u16(2), status: r.i32(4) };
}
export function parseDiceChat(p) {
  if (!is(p, Signal.DICE_SC_CHAT, 4)) return null;
  const r = new PacketReader(p);
  return { place: r.u16(2), text: new TextDecoder().decode(r.bytes(4)) };
}
// u32 round, u32 value, u16 n, n x u16 place: the countdown and the round start.
function parsePlaces(p, signal, key, signed) {
  if (!is(p, signal, 12)) return null;
  const r = new PacketReader(p);
  const n = r.u16(10);
  if (p.length < 12 + 2 * n) return null;
  const places = [];
  for (let i = 0; i < n; ++i) places.push(r.u16(12 + 2 * i));
  return { round: r.u32(2), [key]: signed ? r.i32(6) : r.u32(6), places };
}
export function parseDiceCountdown(p) { return parsePlaces(p, Signal.DICE_SC_COUNTDOWN, 'ms', false); }
export function parseDiceRoundStart(p) { return parsePlaces(p, Signal.DICE_SC_ROUND_START, 'stake', true); }
export function parseDiceRoll(p) {
  if (!is(p, Signal.DICE_SC_ROLL, 10)) return null;
  const r = new PacketReader(p);
  return { round: r.u32(2), place: r.u16(6), dice: [r.u8(8), r.u8(9)] };
}
export function parseDiceResult(p) {
  if (!is(p, Signal.DICE_SC_RESULT, 16)) return null;
  const r = new PacketReader(p);
  const n = r.u16(14);
  if (p.length < 16 + 7 * n) return null;
  const players = [];
  for (let i = 0; i < n; ++i) {
    const off = 16 + 7 * i;
    players.push({ place: r.u16(off), total: r.u8(off + 2), payout: r.i32(off + 3) });
  }
  return { round: r.u32(2), pot: r.i32(6), rake: r.i32(10), players };
}
export function parseDiceCancelled(p) {
  if (!is(p, Signal.DICE_SC_CANCELLED, 8)) return null;
  const r = new PacketReader(p);
  return { round: r.u32(2), reason: r.u16(6) };
}

const kParsers = new Map([
  [Signal.SC_CORE_RESULT, ['result', parseResult]],
  [Signal.SC_CORE_ERROR, ['error', parseError]],
  [Signal.SC_CORE_NOTICE, ['notice', parseNotice]],
  [Signal.SC_CORE_USER_INFO, ['userInfo', parseUserInfo]],
  [Signal.SC_ROOM_USER_INFO, ['roomUser', parseRoomUserInfo]],
  [Signal.SC_ROOM_COUNT, ['roomCount', parseRoomCount]],
  [Signal.SC_ROOM_STATE, ['roomState', parseRoomState]],
  [Signal.SC_COIN_PARAMS, ['coinParams', parseCoinParams]],
  [Signal.SC_GAME_CLIENT_READY, ['gameClientReady', () => ({})]],
  [Signal.DICE_SC_READY, ['diceReady', parseDiceReady]],
  [Signal.DICE_SC_CHAT, ['diceChat', parseDiceChat]],
  [Signal.DICE_SC_PONG, ['dicePong', (p) => ({ body: p.slice(2) })]],
  [Signal.DICE_SC_COUNTDOWN, ['diceCountdown', parseDiceCountdown]],
  [Signal.DICE_SC_ROUND_START, ['diceRoundStart', parseDiceRoundStart]],
  [Signal.DICE_SC_ROLL, ['diceRoll', parseDiceRoll]],
  [Signal.DICE_SC_RESULT, ['diceResult', parseDiceResult]],
  [Signal.DICE_SC_CANCELLED, ['diceCancelled', parseDiceCancelled]],
]);

// Any packet as { type, signal, ...fields }; type 'unknown' for a signal
// this module does not know or a packet too short for its layout.
export function parsePacket(p) {
  const signal = signalOf(p);
  const entry = kParsers.get(signal);
  const fields = entry ? entry[1](p) : null;
  return fields ? { type: entry[0], signal, ...fields } : { type: 'unknown', signal, size: p.length };
}
