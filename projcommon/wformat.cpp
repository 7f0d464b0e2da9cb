#include "projcommon/wformat.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "projcommon/widestring.h"

namespace {
// A double as an integer: truncated, saturated at the 64-bit range, NaN as 0
// (a plain conversion of a value outside the range is undefined).
int64_t DoubleToInt64(double d) {
    if (d != d) return 0;
    if (d >= 9223372036854775807.0) return INT64_MAX;
    if (d <= -9223372036854775807.0) return INT64_MIN;
    return static_cast<int64_t>(d);
}
}  // namespace

int64_t WFmtArg::AsSigned() const {
    switch (m_eKind) {
        case Kind::Signed: return m_u.i;
        case Kind::Unsigned:
        case Kind::Pointer: return static_cast<int64_t>(m_u.u);
        case Kind::Double: return DoubleToInt64(m_u.d);
        default: return 0;
    }
}

uint64_t WFmtArg::AsUnsigned() const {
    switch (m_eKind) {
        case Kind::Signed: return static_cast<uint64_t>(m_u.i);
        case Kind::Unsigned:
        case Kind::Pointer: return m_u.u;
        case Kind::Double: return static_cast<uint64_t>(DoubleToInt64(m_u.d));
        default: return 0;
    }
}

double WFmtArg::AsDouble() const {
    switch (m_eKind) {
        case Kind::Double: return m_u.d;
        case Kind::Signed: return static_cast<double>(m_u.i);
        case Kind::Unsigned:
        case Kind::Pointer: return static_cast<double>(m_u.u);
        default: return 0.0;
    }
}

std::u16string WFmtArg::AsWideText() const {
    switch (m_eKind) {
        case Kind::WideText: return std::u16string(m_w);
        case Kind::NarrowText: return Utf8ToWide(m_n);
        case Kind::Signed: return Utf8ToWide(std::to_string(m_u.i));
        case Kind::Unsigned: return Utf8ToWide(std::to_string(m_u.u));
        case Kind::Double: return Utf8ToWide(std::to_string(m_u.d));
        default: return {};
    }
}

namespace {

struct Spec {
    bool bLeft = false, bPlus = false, bSpace = false, bAlt = false, bZero = false;
    int nWidth = -1;
    int nPrecision = -1;
    int nBits = 32;  // integer width after the length prefix
    char16_t cConv = 0;
};

void Pad(std::u16string& out, size_t n, char16_t c) { out.append(n, c); }

// Places body (with an optional sign/prefix) into the field described by spec.
void EmitField(std::u16string& out, const Spec& sp, std::u16string_view prefix,
               std::u16string_view body, bool bZeroAllowed) {
    size_t len = prefix.size() + body.size();
    size_t width = sp.nWidth > 0 ? static_cast<size_t>(sp.nWidth) : 0;
    if (len >= width) {
        out.append(prefix);
        out.append(body);
    } else if (sp.bLeft) {
        out.append(prefix);
        out.append(body);
        Pad(out, width - len, u' ');
    } else if (sp.bZero && bZeroAllowed) {
        out.append(prefix);
        Pad(out, width - len, u'0');
        out.append(body);
    } else {
        Pad(out, width - len, u' ');
        out.append(prefix);
        out.append(body);
    }
}

uint64_t MaskBits(uint64_t v, int bits) { return bits >= 64 ? v : (v & ((1ULL << bits) - 1)); }

int64_t SignExtend(uint64_t v, int bits) {
    if (bits >= 64) return static_cast<int64_t>(v);
    uint64_t m = 1ULL << (bits - 1);
    v = MaskBits(v, bits);
    return static_cast<int64_t>((v ^ m) - m);
}

std::u16string Digits(uint64_t v, unsigned base, bool upper) {
    const char* digs = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char16_t tmp[64];
    int n = 0;
    do {
        tmp[n++] = static_cast<char16_t>(digs[v % base]);
        v /= base;
    } while (v);
    std::u16string s;
    while (n) s.push_back(tmp[--n]);
    return s;
}

void FormatInteger(std::u16string& out, const Spec& sp, const WFmtArg& a) {
    bool bSigned = sp.cConv == u'd' || sp.cConv == u'i';
    unsigned base = 10;
    bool upper = false;
    if (sp.cConv == u'x') base = 16;
    if (sp.cConv == u'X') base = 16, upper = true;
    if (sp.cConv == u'o') base = 8;
    uint64_t raw = a.AsUnsigned();
    std::u16string prefix;
    uint64_t mag;
    if (bSigned) {
        int64_t v = SignExtend(raw, sp.nBits);
        if (v < 0) {
            prefix = u"-";
            mag = 0ULL - static_cast<uint64_t>(v);
        } else {
            if (sp.bPlus) prefix = u"+";
            else if (sp.bSpace) prefix = u" ";
            mag = static_cast<uint64_t>(v);
        }
    } else {
        mag = MaskBits(raw, sp.nBits);
        if (sp.bAlt && mag != 0 && base == 16) prefix = upper ? u"0X" : u"0x";
        if (sp.bAlt && base == 8) prefix = u"0";
    }
    std::u16string body;
    if (!(sp.nPrecision == 0 && mag == 0)) body = Digits(mag, base, upper);
    if (sp.nPrecision > 0 && body.size() < static_cast<size_t>(sp.nPrecision))
        body.insert(0, static_cast<size_t>(sp.nPrecision) - body.size(), u'0');
    EmitField(out, sp, prefix, body, sp.nPrecision < 0);
}

void FormatDouble(std::u16string& out, const Spec& sp, const WFmtArg& a) {
    char fmt[32];
    int n = 0;
    fmt[n++] = '%';
    if (sp.bLeft) fmt[n++] = '-';
    if (sp.bPlus) fmt[n++] = '+';
    if (sp.bSpace) fmt[n++] = ' ';
    if (sp.bAlt) fmt[n++] = '#';
    if (sp.bZero) fmt[n++] = '0';
    n += std::snprintf(fmt + n, sizeof(fmt) - static_cast<size_t>(n), "%d", sp.nWidth > 0 ? sp.nWidth : 0);
    if (sp.nPrecision >= 0)
        n += std::snprintf(fmt + n, sizeof(fmt) - static_cast<size_t>(n), ".%d",
                           sp.nPrecision > 300 ? 300 : sp.nPrecision);
    fmt[n++] = static_cast<char>(sp.cConv);
    fmt[n] = 0;
    char buf[512];
    int len = std::snprintf(buf, sizeof(buf), fmt, a.AsDouble());
    if (len < 0) return;
    if (static_cast<size_t>(len) >= sizeof(buf)) len = sizeof(buf) - 1;
    for (int i = 0; i < len; ++i) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(buf[i])));
}

void FormatText(std::u16string& out, const Spec& sp, const WFmtArg& a) {
    std::u16string s = a.AsWideText();
    if (sp.nPrecision >= 0 && s.size() > static_cast<size_t>(sp.nPrecision))
        s.resize(static_cast<size_t>(sp.nPrecision));
    EmitField(out, sp, {}, s, false);
}

}  // namespace

std::u16string WFormatArgs(std::u16string_view fmt, std::span<const WFmtArg> args) {
    std::u16string out;
    out.reserve(fmt.size() + 16 * args.size());
    size_t next = 0;
    static const WFmtArg kNone;
    auto take = [&]() -> const WFmtArg& { return next < args.size() ? args[next++] : kNone; };

    size_t i = 0;
    while (i < fmt.size()) {
        // The text up to the next conversion goes over in one piece.
        const size_t nPercent = std::min(fmt.find(u'%', i), fmt.size());
        out.append(fmt.substr(i, nPercent - i));
        if (nPercent == fmt.size()) break;
        i = nPercent + 1;
        if (i >= fmt.size()) {
            out.push_back(u'%');
            break;
        }
        if (fmt[i] == u'%') {
            out.push_back(u'%');
            ++i;
            continue;
        }
        size_t specStart = i - 1;
        Spec sp;
        for (; i < fmt.size(); ++i) {
            char16_t f = fmt[i];
            if (f == u'-') sp.bLeft = true;
            else if (f == u'+') sp.bPlus = true;
            else if (f == u' ') sp.bSpace = true;
            else if (f == u'#') sp.bAlt = true;
            else if (f == u'0') sp.bZero = true;
            else break;
        }
        if (i < fmt.size() && fmt[i] == u'*') {
            int64_t w = take().AsSigned();
            if (w < 0) sp.bLeft = true, w = w < -4096 ? 4096 : -w;  // no negation of the minimum
            sp.nWidth = static_cast<int>(w > 4096 ? 4096 : w);
            ++i;
        } else {
            int w = 0;
            bool any = false;
            while (i < fmt.size() && fmt[i] >= u'0' && fmt[i] <= u'9') {
                w = w < 4096 ? w * 10 + (fmt[i] - u'0') : w;
                any = true;
                ++i;
            }
            if (any) sp.nWidth = w > 4096 ? 4096 : w;
        }
        if (i < fmt.size() && fmt[i] == u'.') {
            ++i;
            if (i < fmt.size() && fmt[i] == u'*') {
                int64_t p = take().AsSigned();
                sp.nPrecision = p < 0 ? -1 : static_cast<int>(p > 4096 ? 4096 : p);
                ++i;
            } else {
                int p = 0;
                while (i < fmt.size() && fmt[i] >= u'0' && fmt[i] <= u'9') {
                    p = p < 4096 ? p * 10 + (fmt[i] - u'0') : p;
                    ++i;
                }
                sp.nPrecision = p > 4096 ? 4096 : p;
            }
        }
        // Length prefixes. Windows "long" is 32 bits, which the formats assume.
        const auto at = [&](size_t k) { return i + k < fmt.size() ? fmt[i + k] : u'\0'; };
        if (at(0) == u'I' && at(1) == u'6' && at(2) == u'4') sp.nBits = 64, i += 3;
        else if (at(0) == u'I' && at(1) == u'3' && at(2) == u'2') sp.nBits = 32, i += 3;
        else if (at(0) == u'l' && at(1) == u'l') sp.nBits = 64, i += 2;
        else if (at(0) == u'h' && at(1) == u'h') sp.nBits = 8, i += 2;
        else if (i < fmt.size() && fmt[i] == u'h') sp.nBits = 16, ++i;
        else if (i < fmt.size() && (fmt[i] == u'l' || fmt[i] == u'L' || fmt[i] == u'w')) sp.nBits = 32, ++i;
        else if (i < fmt.size() && (fmt[i] == u'z' || fmt[i] == u'j' || fmt[i] == u't' || fmt[i] == u'I'))
            sp.nBits = 64, ++i;
        if (i >= fmt.size()) {
            out.append(fmt.substr(specStart));
            break;
        }
        sp.cConv = fmt[i++];
        switch (sp.cConv) {
            case u'd': case u'i': case u'u': case u'x': case u'X': case u'o': {
                const WFmtArg& a = take();
                if (a.GetKind() == WFmtArg::Kind::WideText || a.GetKind() == WFmtArg::Kind::NarrowText)
                    FormatText(out, sp, a);
                else if (a.GetKind() != WFmtArg::Kind::None)
                    FormatInteger(out, sp, a);
                break;
            }
            case u'f': case u'F': case u'e': case u'E': case u'g': case u'G': case u'a': case u'A': {
                const WFmtArg& a = take();
                if (a.GetKind() != WFmtArg::Kind::None) FormatDouble(out, sp, a);
                break;
            }
            case u'c': case u'C': {
                const WFmtArg& a = take();
                if (a.GetKind() == WFmtArg::Kind::None) break;
                char16_t ch = static_cast<char16_t>(a.AsUnsigned() & 0xFFFF);
                EmitField(out, sp, {}, std::u16string_view(&ch, 1), false);
                break;
            }
            case u's': case u'S': {
                const WFmtArg& a = take();
                if (a.GetKind() != WFmtArg::Kind::None) FormatText(out, sp, a);
                break;
            }
            case u'p': {
                const WFmtArg& a = take();
                Spec ps = sp;
                ps.cConv = u'X';
                ps.nBits = 64;
                ps.nPrecision = 16;
                FormatInteger(out, ps, a);
                break;
            }
            default:
                // Unknown conversion: keep the text as written.
                out.append(fmt.substr(specStart, i - specStart));
                break;
        }
    }
    return out;
}

void WideCutTo(std::u16string& s, size_t nMax) {
    if (s.size() <= nMax) return;
    size_t n = nMax;
    if (n > 0 && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF) --n;
    s.resize(n);
}

size_t WFormatToBuffer(char16_t* pBuf, size_t nCap, std::u16string_view fmt,
                       std::span<const WFmtArg> args) {
    if (!pBuf || nCap == 0) return 0;
    std::u16string s = WFormatArgs(fmt, args);
    WideCutTo(s, nCap - 1);
    std::memcpy(pBuf, s.data(), s.size() * sizeof(char16_t));
    pBuf[s.size()] = 0;
    return s.size();
}
