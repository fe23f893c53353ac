#pragma once
// Intel HEX records, as the target's loader reads them.
//
// parseRecord() checks one record's text (":LLAAAATT<data>CC", whitespace and line end already removed)
// completely: start code, hex digits, the declared length against the digits present, the checksum, the
// record type and the fixed lengths of the address and start records. It never guesses at a damaged
// record; the first fault found is reported.

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>

namespace intelhex {

enum class RecordType : std::uint8_t {
    Data = 0x00,
    EndOfFile = 0x01,
    ExtendedSegmentAddress = 0x02,
    StartSegmentAddress = 0x03,
    ExtendedLinearAddress = 0x04,
    StartLinearAddress = 0x05,
};

enum class Error {
    None,
    Format,      // no start code, a character that is not a hex digit, or too short to hold a record
    Length,      // the digits present disagree with the declared data length
    Checksum,
    RecordType,  // a type other than 00..05
    Record,      // a known type with a length or address that type does not allow
};

struct Record
{
    RecordType type = RecordType::Data;
    std::uint16_t address = 0;
    QByteArray data;

    // The big-endian value of an address or start record's data (2 or 4 bytes).
    std::uint32_t value() const;
};

struct ParseResult
{
    Error error = Error::None;
    Record record;
};

// Characters a record of `dataLength` data bytes takes, start code included.
constexpr int recordChars(int dataLength)
{
    return 1 + 2 * (dataLength + 5);
}
// The longest record there can be.
inline constexpr int kMaxRecordChars = recordChars(255);

ParseResult parseRecord(QByteArrayView text);

// The monitor's words for an error ("CHECKSUM ERROR"); empty for Error::None.
QByteArray errorText(Error error);

// Value of a hex digit, or -1.
int hexDigit(char c);

} // namespace intelhex
