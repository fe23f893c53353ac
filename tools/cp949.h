#pragma once
// A small code page 949 encoder for the simulated target's own Korean texts.
//
// The target's ROM holds its texts in code page 949, as the console expects on the line. Instead of a
// run-time converter (which would tie the simulator to installed conversion modules), the encoder carries
// the two-byte code of every Hangul syllable the simulator's texts use, generated once from the system
// converter. Any other character is refused, so a new text with an unlisted syllable fails in the tests
// rather than reaching the line as garbage.

#include <QByteArray>
#include <QStringView>

#include <optional>
#include <span>

namespace cp949 {

struct Syllable
{
    char16_t unicode;
    unsigned char lead;
    unsigned char trail;
};

// `text` in code page 949; nullopt when it holds a character other than ASCII or a listed syllable.
std::optional<QByteArray> encode(QStringView text);

// Columns the text takes on a fixed-width terminal: one per ASCII character, two per Hangul syllable.
int columns(QStringView text);

// Every syllable the encoder knows, in ascending Unicode order.
std::span<const Syllable> syllables();

} // namespace cp949
