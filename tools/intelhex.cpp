#include "tools/intelhex.h"

namespace intelhex {

namespace {

constexpr int kHeaderBytes = 4; // length, address high, address low, type

// Two hex digits at `pos`; -1 when either is not a digit.
int hexByte(QByteArrayView text, qsizetype pos)
{
    const int high = hexDigit(text[pos]);
    const int low = hexDigit(text[pos + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

bool lengthFitsType(RecordType type, const Record& record)
{
    switch (type) {
    case RecordType::Data:
        return true;
    case RecordType::EndOfFile:
        // Traditionally at address 0000, but loaders accept any address here.
        return record.data.isEmpty();
    case RecordType::ExtendedSegmentAddress:
    case RecordType::ExtendedLinearAddress:
        return record.data.size() == 2 && record.address == 0;
    case RecordType::StartSegmentAddress:
    case RecordType::StartLinearAddress:
        return record.data.size() == 4 && record.address == 0;
    }
    return false;
}

} // namespace

std::uint32_t Record::value() const
{
    std::uint32_t v = 0;
    for (const char c : data)
        v = (v << 8) | static_cast<std::uint8_t>(c);
    return v;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

ParseResult parseRecord(QByteArrayView text)
{
    ParseResult result;
    if (text.size() < recordChars(0) || text[0] != ':' || (text.size() - 1) % 2 != 0) {
        // An odd digit count cannot be a record whatever its length field says.
        result.error = text.size() >= 3 && text[0] == ':' && hexByte(text, 1) >= 0 ? Error::Length
                                                                                  : Error::Format;
        return result;
    }
    const qsizetype byteCount = (text.size() - 1) / 2;
    QByteArray bytes(byteCount, '\0');
    for (qsizetype i = 0; i < byteCount; ++i) {
        const int b = hexByte(text, 1 + 2 * i);
        if (b < 0) {
            result.error = Error::Format;
            return result;
        }
        bytes[i] = static_cast<char>(b);
    }
    const int dataLength = static_cast<std::uint8_t>(bytes[0]);
    if (byteCount != dataLength + kHeaderBytes + 1) {
        result.error = Error::Length;
        return result;
    }
    std::uint8_t sum = 0;
    for (const char b : bytes)
        sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(b));
    if (sum != 0) {
        result.error = Error::Checksum;
        return result;
    }
    const auto typeCode = static_cast<std::uint8_t>(bytes[3]);
    if (typeCode > static_cast<std::uint8_t>(RecordType::StartLinearAddress)) {
        result.error = Error::RecordType;
        return result;
    }
    result.record.type = static_cast<RecordType>(typeCode);
    result.record.address = static_cast<std::uint16_t>((static_cast<std::uint8_t>(bytes[1]) << 8)
                                                       | static_cast<std::uint8_t>(bytes[2]));
    result.record.data = bytes.mid(kHeaderBytes, dataLength);
    if (!lengthFitsType(result.record.type, result.record))
        result.error = Error::Record;
    return result;
}

QByteArray errorText(Error error)
{
    switch (error) {
    case Error::None:
        return {};
    case Error::Format:
        return QByteArrayLiteral("FORMAT ERROR");
    case Error::Length:
        return QByteArrayLiteral("LENGTH ERROR");
    case Error::Checksum:
        return QByteArrayLiteral("CHECKSUM ERROR");
    case Error::RecordType:
        return QByteArrayLiteral("RECORD TYPE ERROR");
    case Error::Record:
        return QByteArrayLiteral("RECORD ERROR");
    }
    return QByteArrayLiteral("ERROR");
}

} // namespace intelhex
