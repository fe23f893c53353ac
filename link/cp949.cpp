#include "link/cp949.h"

#include <QString>

#include <algorithm>
#include <array>
#include <unordered_map>

namespace {

constexpr unsigned kLeadFirst = 0x81;
constexpr unsigned kLeadLast = 0xFE;
constexpr unsigned kTrailFirst = 0x41;
constexpr unsigned kTrailLast = 0xFE;
constexpr unsigned kTrails = kTrailLast - kTrailFirst + 1;
constexpr std::size_t kCodes = (kLeadLast - kLeadFirst + 1) * kTrails;

// Every two-byte code, indexed like the runs; 0 where the code has no character.
const std::array<char16_t, kCodes>& decodeTable()
{
    static const std::array<char16_t, kCodes> table = [] {
        std::array<char16_t, kCodes> built{};
        for (std::size_t r = 0; r < cp949_detail::kCodeRunCount; ++r) {
            const cp949_detail::CodeRun& run = cp949_detail::kCodeRuns[r];
            for (unsigned i = 0; i < run.length; ++i)
                built[run.firstIndex + i] = static_cast<char16_t>(run.firstCodePoint + i);
        }
        return built;
    }();
    return table;
}

const std::unordered_map<char16_t, std::uint16_t>& encodeTable()
{
    static const std::unordered_map<char16_t, std::uint16_t> table = [] {
        std::unordered_map<char16_t, std::uint16_t> built;
        const auto& codes = decodeTable();
        built.reserve(codes.size());
        for (std::size_t index = 0; index < codes.size(); ++index) {
            if (codes[index] == 0)
                continue;
            const auto lead = static_cast<std::uint16_t>(kLeadFirst + index / kTrails);
            const auto trail = static_cast<std::uint16_t>(kTrailFirst + index % kTrails);
            // The first code of a character wins, should the converter list one twice.
            built.emplace(codes[index], static_cast<std::uint16_t>(lead << 8 | trail));
        }
        return built;
    }();
    return table;
}

bool isLead(unsigned char byte)
{
    return byte >= kLeadFirst && byte <= kLeadLast;
}

} // namespace

char32_t Cp949Decoder::lookup(unsigned char lead, unsigned char trail)
{
    if (!isLead(lead) || trail < kTrailFirst || trail > kTrailLast)
        return 0;
    return decodeTable()[(lead - kLeadFirst) * kTrails + (trail - kTrailFirst)];
}

void Cp949Decoder::decode(QByteArrayView bytes, std::u32string& out)
{
    const auto& table = decodeTable();
    // At most one character per byte, and one more for a lead byte left from the last read that the
    // first byte does not complete.
    const std::size_t base = out.size();
    out.resize(base + static_cast<std::size_t>(bytes.size()) + 1);
    char32_t* const start = out.data() + base;
    char32_t* put = start;
    const auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = at + bytes.size();
    while (at != end) {
        const unsigned char byte = *at++;
        if (m_lead != 0) {
            const unsigned char lead = m_lead;
            m_lead = 0;
            char32_t c = 0;
            if (byte >= kTrailFirst && byte <= kTrailLast)
                c = table[(lead - kLeadFirst) * kTrails + (byte - kTrailFirst)];
            if (c != 0) {
                *put++ = c;
                continue;
            }
            *put++ = kReplacement;
            // An ASCII byte is never swallowed by a broken pair: it is read again on its own.
            if (byte >= 0x80)
                continue;
        }
        if (byte < 0x80)
            *put++ = byte;
        else if (isLead(byte))
            m_lead = byte;
        else
            *put++ = kReplacement;
    }
    out.resize(base + static_cast<std::size_t>(put - start));
}

void Cp949Decoder::flush(std::u32string* out)
{
    if (m_lead != 0 && out != nullptr)
        out->push_back(kReplacement);
    m_lead = 0;
}

QByteArray cp949Encode(QStringView text)
{
    const auto& table = encodeTable();
    QByteArray bytes;
    bytes.reserve(text.size() * 2);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        // A character beyond the first plane has no code; its surrogate pair becomes one '?'.
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
            bytes.append('?');
            ++i;
            continue;
        }
        if (u < 0x80) {
            bytes.append(static_cast<char>(u));
            continue;
        }
        const auto found = table.find(u);
        if (found == table.end()) {
            bytes.append('?');
            continue;
        }
        bytes.append(static_cast<char>(found->second >> 8));
        bytes.append(static_cast<char>(found->second & 0xFF));
    }
    return bytes;
}
