// Login strings made in the page from a user's login key, for a studio that
// hands keys to its testers rather than issuing strings (`qvadmin loginstring`
// issues them; a pasted string needs none of this). The string for key K and
// time value V is the upper-case hexadecimal MD5 digest of the UTF-16LE text
// "K/V" (K signed decimal, V upper-case hexadecimal without leading zeros),
// followed directly by V. The MD5 is RFC 1321 over bytes.

const kShift = [7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21];
const kSine = Array.from({ length: 64 }, (_, i) => Math.floor(Math.abs(Math.sin(i + 1)) * 2 ** 32) >>> 0);

// The 16-byte digest of a Uint8Array.
export function md5(bytes) {
  const nBlocks = ((bytes.length + 8) >>> 6) + 1;
  const msg = new Uint8Array(nBlocks * 64);
  msg.set(bytes);
  msg[bytes.length] = 0x80;
  const view = new DataView(msg.buffer);
  // The length in bits, 64-bit little-endian (lengths up to 2^53 bits).
  view.setUint32(msg.length - 8, (bytes.length * 8) >>> 0, true);
  view.setUint32(msg.length - 4, Math.floor(bytes.length / 2 ** 29), true);

  let a0 = 0x67452301, b0 = 0xefcdab89, c0 = 0x98badcfe, d0 = 0x10325476;
  const m = new Uint32Array(16);
  for (let block = 0; block < msg.length; block += 64) {
    for (let i = 0; i < 16; ++i) m[i] = view.getUint32(block + 4 * i, true);
    let a = a0, b = b0, c = c0, d = d0;
    for (let i = 0; i < 64; ++i) {
      let f, g;
      if (i < 16) { f = (b & c) | (~b & d); g = i; }
      else if (i < 32) { f = (d & b) | (~d & c); g = (5 * i + 1) & 15; }
      else if (i < 48) { f = b ^ c ^ d; g = (3 * i + 5) & 15; }
      else { f = c ^ (b | ~d); g = (7 * i) & 15; }
      const s = kShift[(i >>> 4) * 4 + (i & 3)];
      const x = (a + f + kSine[i] + m[g]) | 0;
      a = d; d = c; c = b;
      b = (b + ((x << s) | (x >>> (32 - s)))) | 0;
    }
    a0 = (a0 + a) | 0; b0 = (b0 + b) | 0; c0 = (c0 + c) | 0; d0 = (d0 + d) | 0;
  }
  const out = new Uint8Array(16);
  const ov = new DataView(out.buffer);
  [a0, b0, c0, d0].forEach((w, i) => ov.setUint32(4 * i, w >>> 0, true));
  return out;
}

export function hexUpper(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('').toUpperCase();
}

// A string's UTF-16 code units, low byte first.
export function utf16le(s) {
  const out = new Uint8Array(2 * s.length);
  for (let i = 0; i < s.length; ++i) {
    const u = s.charCodeAt(i);
    out[2 * i] = u & 0xff;
    out[2 * i + 1] = u >>> 8;
  }
  return out;
}

// The login string for key (a signed 32-bit integer) and time value (an
// unsigned 64-bit integer, Number or BigInt; the issuers use Unix seconds).
export function makeLoginString(key, time) {
  if (!Number.isInteger(key) || key < -(2 ** 31) || key >= 2 ** 31)
    throw new RangeError('the login key is a signed 32-bit integer');
  const t = BigInt(time);
  if (t < 0n || t >= 1n << 64n) throw new RangeError('the time value is an unsigned 64-bit integer');
  const v = t.toString(16).toUpperCase();
  return hexUpper(md5(utf16le(`${key}/${v}`))) + v;
}

export function nowSeconds() { return Math.floor(Date.now() / 1000); }
