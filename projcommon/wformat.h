// Type-safe formatter for the system's printf-style UTF-16 format strings.
//
// The formats are the Windows wide printf dialect the operator messages are
// written in: "%s" takes a wide string (narrow strings are accepted too and read
// as UTF-8), "%d"/"%i" a signed and "%u" an unsigned 32-bit integer, "%x"/"%X"
// hexadecimal, "%c" a character, "%f"/"%lf"/"%e"/"%g" a double, "%p" a pointer;
// flags - + blank # 0, a width and a precision (digits or '*'), and the length
// prefixes h, hh, l (32-bit, as on Windows), ll, I64, I32, z, j, t. "%%" is a
// percent sign. Arguments are captured by value in WFmtArg, so no C varargs are
// involved and a wrong argument type cannot read stray memory: an integer
// formatted with "%s" prints as a number, a string formatted with "%d" prints
// as the string, a missing argument prints nothing.
//
// Thread-safe; allocates only the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

class WFmtArg {
public:
    enum class Kind : uint8_t { None, Signed, Unsigned, Double, WideText, NarrowText, Pointer };

    WFmtArg() = default;
    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char16_t> &&
                 !std::is_same_v<T, char>)
    WFmtArg(T v) {  // NOLINT(google-explicit-constructor)
        if constexpr (std::is_signed_v<T>) {
            m_eKind = Kind::Signed;
            m_u.i = static_cast<int64_t>(v);
        } else {
            m_eKind = Kind::Unsigned;
            m_u.u = static_cast<uint64_t>(v);
        }
    }
    template <class T>
        requires std::is_enum_v<T>
    WFmtArg(T v) : WFmtArg(static_cast<std::underlying_type_t<T>>(v)) {}  // NOLINT
    WFmtArg(bool v) : m_eKind(Kind::Signed) { m_u.i = v ? 1 : 0; }          // NOLINT
    WFmtArg(char16_t v) : m_eKind(Kind::Unsigned) { m_u.u = v; }            // NOLINT
    WFmtArg(char v) : m_eKind(Kind::Signed) { m_u.i = v; }                  // NOLINT
    WFmtArg(double v) : m_eKind(Kind::Double) { m_u.d = v; }                // NOLINT
    WFmtArg(float v) : m_eKind(Kind::Double) { m_u.d = v; }                 // NOLINT
    WFmtArg(const char16_t* p) : m_eKind(Kind::WideText), m_w(p ? p : u"") {}  // NOLINT
    WFmtArg(const std::u16string& s) : m_eKind(Kind::WideText), m_w(s) {}   // NOLINT
    WFmtArg(std::u16string_view s) : m_eKind(Kind::WideText), m_w(s) {}     // NOLINT
    WFmtArg(const char* p) : m_eKind(Kind::NarrowText), m_n(p ? p : "") {}  // NOLINT
    WFmtArg(const std::string& s) : m_eKind(Kind::NarrowText), m_n(s) {}    // NOLINT
    WFmtArg(std::string_view s) : m_eKind(Kind::NarrowText), m_n(s) {}      // NOLINT
    WFmtArg(const void* p) : m_eKind(Kind::Pointer) {                       // NOLINT
        m_u.u = reinterpret_cast<uintptr_t>(p);
    }

    Kind GetKind() const { return m_eKind; }
    int64_t AsSigned() const;
    uint64_t AsUnsigned() const;
    double AsDouble() const;
    std::u16string AsWideText() const;

private:
    Kind m_eKind = Kind::None;
    union {
        int64_t i;
        uint64_t u;
        double d;
    } m_u{};
    std::u16string_view m_w;  // borrowed: valid for the duration of the format call
    std::string_view m_n;     // borrowed, UTF-8
};

// Formats fmt with args; see the header comment for the dialect.
std::u16string WFormatArgs(std::u16string_view fmt, std::span<const WFmtArg> args);

template <class... A>
std::u16string WFormat(std::u16string_view fmt, const A&... a) {
    if constexpr (sizeof...(A) == 0) {
        return WFormatArgs(fmt, {});
    } else {
        const WFmtArg args[] = {WFmtArg(a)...};
        return WFormatArgs(fmt, args);
    }
}

// Formats into a fixed buffer of nCap units (the system's 1024-unit buffers):
// the text is cut to nCap - 1 units (never splitting a surrogate pair) and
// zero-terminated. Returns the number of units written, without the terminator.
size_t WFormatToBuffer(char16_t* pBuf, size_t nCap, std::u16string_view fmt,
                       std::span<const WFmtArg> args);

template <class... A>
size_t WFormatBuf(char16_t* pBuf, size_t nCap, std::u16string_view fmt, const A&... a) {
    if constexpr (sizeof...(A) == 0) {
        return WFormatToBuffer(pBuf, nCap, fmt, {});
    } else {
        const WFmtArg args[] = {WFmtArg(a)...};
        return WFormatToBuffer(pBuf, nCap, fmt, args);
    }
}

// Cuts s to at most nMax units without splitting a surrogate pair.
void WideCutTo(std::u16string& s, size_t nMax);
