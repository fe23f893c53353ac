#include "link/vtguard.h"

#include <algorithm>

namespace {

constexpr char32_t kCan = 0x18;
constexpr char32_t kSub = 0x1A;
constexpr char32_t kEsc = 0x1B;
constexpr char32_t kBel = 0x07;
constexpr char32_t kDel = 0x7F;
constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kShiftOut = 0x0E;
constexpr char32_t kShiftIn = 0x0F;
// Arguments above this are all alike to the guard; it keeps the value from overflowing.
constexpr unsigned kMaxCsiValue = 100000;

bool isIntermediate(char32_t c)
{
    return c >= 0x20 && c <= 0x2F;
}

} // namespace

bool VtGuard::isSurelySingleWidth(char32_t c)
{
    // Checked against libvterm's width and combining tables.
    return (c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0x2FF) || (c >= 0x370 && c <= 0x482) || c == 0xFFFD;
}

void VtGuard::appendUtf8(char32_t c, std::string& out)
{
    char bytes[4];
    char* end = bytes;
    putUtf8(c, end);
    out.append(bytes, static_cast<std::size_t>(end - bytes));
}

void VtGuard::putUtf8(char32_t c, char*& out)
{
    if (c < 0x80) {
        *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | ((c >> 18) & 0x07));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
}

void VtGuard::dispatchCsi(char32_t final, char*& out)
{
    m_state = State::Normal;
    if (m_dropping) {
        m_dropping = false;
        return;
    }
    const bool isRepeat = final == U'b' && !m_csiHasLeader && !m_csiHasIntermediate;
    if (isRepeat && !m_canRepeat) {
        ++m_interventions;
        *out++ = static_cast<char>(kCan);
        return;
    }
    *out++ = static_cast<char>(final);
    const bool savesCursor = m_csiSavesCursor || m_csiValue == 1048 || m_csiValue == 1049;
    if (m_csiLeader == U'?' && !m_csiHasIntermediate && savesCursor && final == U'h')
        m_saved = m_sets;
    else if (m_csiLeader == U'?' && !m_csiHasIntermediate && savesCursor && final == U'l')
        restoreCharacterSets(out);
    else if (!m_csiHasLeader && m_csiIntermediate == U'!' && final == U'p')
        resetCharacterSets(); // the soft reset
}

void VtGuard::dispatchEscape(char32_t final, char*& out)
{
    if (m_escapeIntermediates)
        return;
    if (m_escapeIntermediate >= U'(' && m_escapeIntermediate <= U'+') {
        if (final == U'0' || final == U'A' || final == U'B') {
            m_sets.designations[static_cast<std::size_t>(m_escapeIntermediate - U'(')] = static_cast<char>(final);
            updateBlankUnderscore();
        }
        return;
    }
    if (m_escapeIntermediate != 0)
        return;
    switch (final) {
    case U'7':
        m_saved = m_sets;
        break;
    case U'8':
        restoreCharacterSets(out);
        break;
    case U'c':
        resetCharacterSets();
        break;
    case U'n':
    case U'o':
        m_sets.shift = final == U'n' ? 2 : 3;
        updateBlankUnderscore();
        break;
    case U'N':
    case U'O':
        m_singleShift = final == U'N' ? 2 : 3;
        break;
    default:
        break;
    }
}

void VtGuard::restoreCharacterSets(char*& out)
{
    static constexpr char kDesignators[] = {'(', ')', '*', '+'};
    for (std::size_t i = 0; i < m_sets.designations.size(); ++i) {
        if (m_sets.designations[i] == m_saved.designations[i])
            continue;
        ++m_interventions;
        *out++ = static_cast<char>(kEsc);
        *out++ = kDesignators[i];
        *out++ = m_saved.designations[i];
    }
    if (m_sets.shift != m_saved.shift) {
        ++m_interventions;
        if (m_saved.shift < 2) {
            *out++ = static_cast<char>(m_saved.shift == 0 ? kShiftIn : kShiftOut);
        } else {
            *out++ = static_cast<char>(kEsc);
            *out++ = m_saved.shift == 2 ? 'n' : 'o';
        }
    }
    m_sets = m_saved;
    updateBlankUnderscore();
}

void VtGuard::resetCharacterSets()
{
    m_sets = CharacterSets();
    m_saved = CharacterSets();
    m_singleShift = 0;
    updateBlankUnderscore();
}

void VtGuard::terminalReset()
{
    resetCharacterSets();
}

void VtGuard::updateBlankUnderscore()
{
    m_blankUnderscore = m_sets.designations[static_cast<std::size_t>(m_sets.shift)] == '0';
}

bool VtGuard::inString() const
{
    return m_state == State::String || m_state == State::EscapeInString || m_state == State::DroppedString
        || m_state == State::EscapeInDroppedString;
}

void VtGuard::abandonString(char*& out)
{
    ++m_interventions;
    // libvterm is inside the string only when it was passed on; CAN takes it back to text.
    if (m_state == State::String || m_state == State::EscapeInString)
        *out++ = static_cast<char>(kCan);
    m_state = State::Normal;
}

bool VtGuard::abandonString(std::string& out)
{
    if (!inString())
        return false;
    char can[1];
    char* end = can;
    abandonString(end);
    out.append(can, static_cast<std::size_t>(end - can));
    return true;
}

inline std::size_t VtGuard::copyRun(std::u32string_view text, std::size_t i, char*& out)
{
    const auto copy = [&](auto within) {
        std::size_t end = i;
        while (end < text.size() && within(text[end]))
            *out++ = static_cast<char>(text[end++]);
        return end - i;
    };
    if (m_state == State::Normal && text[i] >= 0x20 && text[i] < kDel && m_singleShift == 0) {
        if (!m_blankUnderscore) {
            m_canRepeat = true;
            return copy([](char32_t c) { return c >= 0x20 && c < kDel; });
        }
        if (text[i] != U'_') {
            m_canRepeat = true;
            return copy([](char32_t c) { return c >= 0x20 && c < kDel && c != U'_'; });
        }
        return 0;
    }
    if ((m_state == State::CsiArguments || m_state == State::CsiLeader) && !m_dropping && text[i] >= U'0'
        && text[i] <= U'9') {
        m_state = State::CsiArguments;
        const std::size_t copied = copy([](char32_t c) { return c >= U'0' && c <= U'9'; });
        for (std::size_t k = i; k < i + copied; ++k)
            m_csiValue = std::min(kMaxCsiValue, m_csiValue * 10 + static_cast<unsigned>(text[k] - U'0'));
        return copied;
    }
    return 0;
}

void VtGuard::filter(std::u32string_view text, std::string& buffer)
{
    // At most eight bytes per character: a held-back ESC and a four-byte character after it take five, and
    // the character sets' restore (kMaxRestoreBytes) ends a sequence of two at least (ESC 8), which with its
    // own two bytes fits the sixteen of those two characters.
    static_assert(2 + kMaxRestoreBytes <= std::size_t{2} * 8);
    const std::size_t base = buffer.size();
    buffer.resize(base + 8 * text.size());
    char* const start = buffer.data() + base;
    char* out = start;
    for (std::size_t i = 0; i < text.size();) {
        // The common cases, a run of printable ASCII and the digits of a CSI argument, in one go.
        if (const std::size_t copied = copyRun(text, i, out)) {
            i += copied;
            continue;
        }
        step(text[i++], out);
    }
    buffer.resize(base + static_cast<std::size_t>(out - start));
}

inline void VtGuard::step(char32_t c, char*& out)
{
    // libvterm takes the locking shifts in every state, strings and dropped sequences included.
    if (c == kShiftOut || c == kShiftIn) {
        m_sets.shift = c == kShiftOut ? 1 : 0;
        updateBlankUnderscore();
    }
    if (inString() && (c == U'\r' || c == U'\n' || ++m_stringLength > kMaxStringLength)) {
        // Line noise that opened a string must not swallow the target's text: the string is abandoned
        // and this character is taken as if the string had never begun.
        abandonString(out);
    }
    if ((m_state == State::DroppedString || m_state == State::EscapeInDroppedString) && stepDroppedString(c, out))
        return;
    if (stepInAnyState(c, out))
        return;
    switch (m_state) {
    case State::EscapeInString:
        stepEscapeInString(c, out);
        break;
    case State::Escape:
        stepEscape(c, out);
        break;
    case State::CsiLeader:
        stepCsiLeader(c, out);
        break;
    case State::CsiArguments:
        stepCsiArguments(c, out);
        break;
    case State::CsiIntermediate:
        stepCsiIntermediate(c, out);
        break;
    case State::String:
        if (c == kBel)
            m_state = State::Normal;
        putUtf8(c, out);
        break;
    case State::DroppedString:
    case State::EscapeInDroppedString:
        break; // taken by stepDroppedString
    case State::Normal:
        stepText(c, out);
        break;
    }
}

inline bool VtGuard::stepDroppedString(char32_t c, char*& out)
{
    if (c == kCan || c == kSub) {
        m_state = State::Normal;
        *out++ = static_cast<char>(c);
        return true;
    }
    if (m_state == State::DroppedString) {
        if (c == kEsc)
            m_state = State::EscapeInDroppedString;
        else if (c == kBel)
            m_state = State::Normal;
        else if (c > 0 && c < 0x20)
            *out++ = static_cast<char>(c);
        return true;
    }
    if (c == U'\\') {
        m_state = State::Normal;
        return true;
    }
    // ESC and something else: libvterm would have left the string for a new escape sequence.
    m_state = State::Escape;
    *out++ = static_cast<char>(kEsc);
    return false;
}

inline bool VtGuard::stepInAnyState(char32_t c, char*& out)
{
    // Characters that libvterm handles the same in every state.
    if (c == 0 || c == kDel) {
        if (!m_dropping)
            *out++ = static_cast<char>(c);
        return true;
    }
    if (c == kCan || c == kSub) {
        m_state = State::Normal;
        m_dropping = false;
        *out++ = static_cast<char>(c);
        return true;
    }
    if (c == kEsc) {
        m_state = m_state == State::String ? State::EscapeInString : State::Escape;
        m_dropping = false;
        m_escapeIntermediate = 0;
        m_escapeIntermediates = false;
        *out++ = static_cast<char>(c);
        return true;
    }
    if (c < 0x20 && !(c == kBel && m_state == State::String)) {
        // Acted on at once, without leaving the sequence in progress.
        *out++ = static_cast<char>(c);
        return true;
    }
    return false;
}

inline void VtGuard::stepEscapeInString(char32_t c, char*& out)
{
    if (c == U'\\') {
        m_state = State::Normal;
        *out++ = '\\';
        return;
    }
    m_state = State::Escape;
    stepEscape(c, out);
}

inline void VtGuard::stepEscape(char32_t c, char*& out)
{
    if (c == U'P') {
        ++m_interventions;
        m_stringLength = 0;
        m_state = State::DroppedString;
        *out++ = static_cast<char>(kCan);
        return;
    }
    if (c == U']') {
        m_stringLength = 0;
        m_state = State::String;
    } else if (c == U'[') {
        m_state = State::CsiLeader;
        m_csiSeparators = 0;
        m_csiHasLeader = false;
        m_csiHasIntermediate = false;
        m_csiLeader = 0;
        m_csiIntermediate = 0;
        m_csiValue = 0;
        m_csiSavesCursor = false;
    } else if (c >= 0x30 && c < 0x7F) {
        m_state = State::Normal;
        putUtf8(c, out);
        dispatchEscape(c, out);
        return;
    } else if (isIntermediate(c)) {
        m_escapeIntermediates = m_escapeIntermediate != 0;
        m_escapeIntermediate = c;
    }
    // Intermediates, and bytes from 0x80 on, which libvterm ignores here, leave the state as it is.
    putUtf8(c, out);
}

inline void VtGuard::stepCsiLeader(char32_t c, char*& out)
{
    if (c >= 0x3C && c <= 0x3F) {
        m_csiHasLeader = true;
        m_csiLeader = c;
        *out++ = static_cast<char>(c);
        return;
    }
    m_state = State::CsiArguments;
    stepCsiArguments(c, out);
}

inline void VtGuard::stepCsiArguments(char32_t c, char*& out)
{
    if ((c >= U'0' && c <= U'9') || c == U':' || c == U';') {
        if (c >= U'0' && c <= U'9') {
            m_csiValue = std::min(kMaxCsiValue, m_csiValue * 10 + static_cast<unsigned>(c - U'0'));
        } else {
            m_csiSavesCursor = m_csiSavesCursor || m_csiValue == 1048 || m_csiValue == 1049;
            m_csiValue = 0;
        }
        if ((c == U':' || c == U';') && ++m_csiSeparators >= kMaxCsiArguments && !m_dropping) {
            ++m_interventions;
            m_dropping = true;
            *out++ = static_cast<char>(kCan);
        }
        if (!m_dropping)
            *out++ = static_cast<char>(c);
        return;
    }
    m_state = State::CsiIntermediate;
    stepCsiIntermediate(c, out);
}

inline void VtGuard::stepCsiIntermediate(char32_t c, char*& out)
{
    if (isIntermediate(c)) {
        m_csiHasIntermediate = true;
        m_csiIntermediate = c;
        if (!m_dropping)
            *out++ = static_cast<char>(c);
        return;
    }
    if (c >= 0x40 && c <= 0x7E) {
        dispatchCsi(c, out);
        return;
    }
    // Any other character ends the sequence as invalid; libvterm swallows its first byte.
    m_state = State::Normal;
    if (m_dropping)
        m_dropping = false;
    else
        putUtf8(c, out);
}

inline void VtGuard::stepText(char32_t c, char*& out)
{
    if (c >= 0x20 && c < kDel) {
        // The character that a single shift takes from G2 or G3, or one of the graphics set's blanks.
        const int set = m_singleShift != 0 ? m_singleShift : m_sets.shift;
        m_singleShift = 0;
        m_canRepeat = true;
        if (c == U'_' && m_sets.designations[static_cast<std::size_t>(set)] == '0') {
            ++m_interventions;
            *out++ = ' ';
            return;
        }
        *out++ = static_cast<char>(c);
        return;
    }
    if (c >= 0x80 && c <= 0x9F) {
        ++m_interventions;
        putUtf8(kReplacement, out);
        m_canRepeat = true;
        return;
    }
    m_canRepeat = isSurelySingleWidth(c);
    putUtf8(c, out);
}
