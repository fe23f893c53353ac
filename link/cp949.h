#pragma once
// Code page 949 (Unified Hangul Code), the character set the target and the operator's text use.
//
// Cp949Decoder turns the received byte stream into Unicode characters. It is stateful: a lead byte that
// ends one read waits for its trail byte in the next, so a Hangul syllable split between two reads is
// still one character. It never loses its footing: an invalid or unmapped sequence becomes one U+FFFD,
// and a byte below 0x80 that follows a lone lead byte is read again on its own, so ASCII text, control
// bytes and escape sequences always come through untouched whatever garbage preceded them. The bytes
// 0x80 and 0xFF, which are never valid, are U+FFFD each.
//
// cp949Encode() turns typed text into the bytes the target understands; a character with no code in
// code page 949 becomes '?'.
//
// The table comes from the C library's converter, generated once into cp949_table.cpp
// (tools/gen_cp949_table.py), so nothing here needs a converter at run time.

#include <QByteArray>
#include <QByteArrayView>
#include <QStringView>

#include <cstddef>
#include <cstdint>
#include <string>

namespace cp949_detail {

struct CodeRun
{
    std::uint16_t firstIndex; // (lead - 0x81) * 190 + (trail - 0x41)
    std::uint16_t length;
    char32_t firstCodePoint;
};

extern const CodeRun kCodeRuns[];
extern const std::size_t kCodeRunCount;

} // namespace cp949_detail

class Cp949Decoder
{
public:
    static constexpr char32_t kReplacement = U'\uFFFD';

    // Appends the characters completed by `bytes` to `out`; a trailing lead byte is kept for next time.
    void decode(QByteArrayView bytes, std::u32string& out);
    // True while a lead byte waits for its trail.
    bool hasPendingLead() const { return m_lead != 0; }
    // Forgets a waiting lead byte (it is shown as U+FFFD if `out` is given).
    void flush(std::u32string* out = nullptr);

    // The character of a two-byte code, or 0 when the pair has none.
    static char32_t lookup(unsigned char lead, unsigned char trail);

private:
    unsigned char m_lead = 0;
};

// Unicode text to code page 949 bytes; unmappable characters (and lone surrogates) become '?'.
QByteArray cp949Encode(QStringView text);
