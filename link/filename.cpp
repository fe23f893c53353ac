#include "link/filename.h"

#include "link/cp949.h"

#include <QList>

#include <algorithm>
#include <string>

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

bool isEscape(char16_t u)
{
    return u >= kEscapeBase + 0x80 && u <= kEscapeBase + 0xFF;
}

// The length of the valid UTF-8 sequence at `at`, or 0 when there is none.
qsizetype validSequence(const unsigned char* at, const unsigned char* end)
{
    const unsigned char lead = *at;
    if (lead < 0x80)
        return 1;
    qsizetype length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; // no overlong forms
        else if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F; // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (end - at < length)
        return 0;
    if (at[1] < low || at[1] > high)
        return 0;
    for (qsizetype i = 2; i < length; ++i)
        if (at[i] < 0x80 || at[i] > 0xBF)
            return 0;
    return length;
}

} // namespace

QString decodeFileName(QByteArrayView native)
{
    QString name;
    name.reserve(native.size());
    const auto* at = reinterpret_cast<const unsigned char*>(native.data());
    const auto* const end = at + native.size();
    while (at != end) {
        const qsizetype length = validSequence(at, end);
        if (length == 0) {
            name.append(QChar(static_cast<char16_t>(kEscapeBase + *at)));
            ++at;
            continue;
        }
        name.append(QString::fromUtf8(reinterpret_cast<const char*>(at), length));
        at += length;
    }
    return name;
}

QByteArray encodeFileName(QStringView name)
{
    QByteArray native;
    native.reserve(name.size());
    qsizetype run = 0; // start of the pending run of ordinary characters
    for (qsizetype i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !isEscape(name[i].unicode()))
            continue;
        // A low surrogate right after a high one is half of an ordinary character.
        if (i < name.size() && i > run && name[i - 1].isHighSurrogate())
            continue;
        native += name.mid(run, i - run).toUtf8();
        if (i < name.size())
            native.append(static_cast<char>(name[i].unicode() - kEscapeBase));
        run = i + 1;
    }
    return native;
}

bool hasRawBytes(QStringView name)
{
    for (qsizetype i = 0; i < name.size(); ++i)
        if (isEscape(name[i].unicode()) && (i == 0 || !name[i - 1].isHighSurrogate()))
            return true;
    return false;
}

QString printableText(QStringView text)
{
    const auto needsEscape = [](char16_t c) {
        return c < 0x20 || c == 0x7f || (c >= 0x80 && c <= 0x9f) || c == u'\\' || c == 0x061c || c == 0x200e
            || c == 0x200f || (c >= 0x2028 && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
    };
    if (std::none_of(text.begin(), text.end(), [&](QChar c) { return needsEscape(c.unicode()); }))
        return text.toString();
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (!needsEscape(u)) {
            out += c;
            continue;
        }
        switch (u) {
        case u'\n':
            out += QStringLiteral("\\n");
            break;
        case u'\r':
            out += QStringLiteral("\\r");
            break;
        case u'\t':
            out += QStringLiteral("\\t");
            break;
        case u'\\':
            out += QStringLiteral("\\\\");
            break;
        default:
            out += u <= 0xff ? QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'))
                             : QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        }
    }
    return out;
}

QString displayFileName(QStringView name)
{
    if (!hasRawBytes(name))
        return printableText(name);
    QStringList parts;
    for (const QByteArray& part : encodeFileName(name).split('/')) {
        if (QString::fromUtf8(part).toUtf8() == part) {
            parts << QString::fromUtf8(part);
            continue;
        }
        Cp949Decoder decoder;
        std::u32string text;
        decoder.decode(part, text);
        decoder.flush(&text);
        parts << QString::fromStdU32String(text);
    }
    return printableText(parts.join(QLatin1Char('/')));
}
