#pragma once
// VtGuard: stands between the decoded byte stream and libvterm 0.1.4 and keeps from it the input that
// is known to crash or hang that version, passing everything else through unchanged.
//
// It follows libvterm's own parser state (escape, CSI, string) character by character, and intervenes in
// exactly these cases, all measured on that version:
//   - A CSI sequence with more than 16 arguments writes past libvterm's argument array and crashes it.
//     At the separator that would open the 17th argument the guard sends CAN instead, which makes
//     libvterm abandon the sequence, and drops the rest of it; control characters inside still pass, as
//     libvterm would have acted on them anyway.
//   - REP (CSI n b) repeats the last printed glyph. When that glyph has no width (nothing printed yet, or
//     a lone combining mark) libvterm loops for ever; when it is double-width and the cursor stands on an
//     odd column, libvterm writes past the end of the row and crashes (Hangul makes that common here).
//     The guard lets a REP through only when the last printed character is surely single-width;
//     otherwise the sequence's final byte is replaced by CAN, so the REP does nothing. (libvterm already
//     limits the count to the row width, so a huge count is harmless and is passed on.)
//   - DCS strings (ESC P ... ST) are kept from libvterm altogether. The only ones it acts on are status
//     requests, and an unknown request is answered through a format string whose arguments do not match
//     it (undefined behaviour; a sanitizer build crashes on it). Which request libvterm sees cannot be
//     told from outside, since it loses the part of a string that came in an earlier write. The guard
//     sends CAN in place of the P, so libvterm never enters the string, and drops the string up to its
//     terminator; control characters inside still act, as they would have.
//   - A C1 control character (U+0080..U+009F) arriving as text has width -1 in libvterm and moves its
//     cursor left of the margin; it is printed as U+FFFD instead.
// Two differences from xterm that this version has are mended here, where the stream shows them:
//   - Save and restore cursor (ESC 7 / ESC 8, and DEC modes 1048 and 1049) keep the position and the
//     rendition but not the character sets, so that a program that saved the cursor inside DEC line
//     drawing got letters (qqqq) after restoring it. The guard follows the four sets' designations (ESC (
//     ) * + with 0, A or B, the only ones libvterm knows) and which of them is invoked (SI, SO, ESC n, ESC o,
//     and the single shifts ESC N and ESC O); it keeps them at every save, and after a restore it sends the
//     designations and the shift that differ from what was saved. A reset (ESC c, CSI ! p, or the screen's
//     clear through terminalReset()) sets them and the saved ones to the defaults, as the terminal's reset
//     does. libvterm's default set is its UTF-8 decoder, which for the text the guard passes reads as the
//     ASCII set B, so B stands for both.
//   - libvterm's DEC special graphics set leaves 0x5F as an underscore, where the set has a blank; while
//     that set is invoked, the guard passes a space for it.
// Besides, no string (DCS, which the guard drops, or OSC, which it passes) may hide the target's text: a
// stray ESC P or ESC ] from line noise would otherwise swallow every printable character until the target
// happened to send ESC, CAN, SUB or BEL. A string is abandoned at a line end (CR or LF) and when it grows
// past kMaxStringLength characters; the character that ends it is then taken as ordinary text or control.
// abandonString() does the same on demand (the screen's clear).
//
// One more fault of that version is not in the stream but in its size: a single vterm_input_write of about
// 2 MB overflows the stack. That is the caller's to avoid: VtScreen feeds libvterm in chunks of at most
// kMaxChunk bytes, cut between characters.
//
// Output is UTF-8, ready for libvterm in UTF-8 mode.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

class VtGuard
{
public:
    // libvterm's fixed number of CSI argument slots.
    static constexpr int kMaxCsiArguments = 16;
    // The largest write libvterm is given at once (its text handler puts 4 bytes per input byte on the stack).
    static constexpr std::size_t kMaxChunk = 4096;

    // The most that a restore of the character sets adds: four designations and a shift.
    static constexpr std::size_t kMaxRestoreBytes = 4 * 3 + 2;

    // The longest string kept whole; a longer one is taken for line noise.
    static constexpr std::size_t kMaxStringLength = 128;

    // Appends to `out`, as UTF-8, what of `text` is safe for libvterm.
    void filter(std::u32string_view text, std::string& out);

    // Leaves a string in progress, appending to `out` what takes libvterm out of it; false when none was.
    bool abandonString(std::string& out);
    // The terminal was reset from outside the stream (the screen's clear): its character sets are the defaults.
    void terminalReset();

    // True when a REP reaching libvterm now would have a glyph with width to repeat.
    bool canRepeat() const { return m_canRepeat; }
    // How many sequences or characters the guard has changed so far.
    std::size_t interventions() const { return m_interventions; }

    // True when libvterm surely gives `c` a width of exactly one column and does not treat it as a
    // combining mark: ASCII, Latin, Greek, Cyrillic and U+FFFD.
    static bool isSurelySingleWidth(char32_t c);

    static void appendUtf8(char32_t c, std::string& out);

private:
    enum class State {
        Normal,
        Escape,
        EscapeInString,
        CsiLeader,
        CsiArguments,
        CsiIntermediate,
        String,
        DroppedString,
        EscapeInDroppedString,
    };

    // The per-character path of filter(), inline in vtguard.cpp so that it costs no calls.
    // Copies a run of the two common cases (printable ASCII as text, digits of a CSI argument) from
    // text[i]; returns how many characters it took, 0 when text[i] starts neither.
    inline std::size_t copyRun(std::u32string_view text, std::size_t i, char*& out);
    // One character through the parser's state; each step* below is one state's part of it.
    inline void step(char32_t c, char*& out);
    // False when the character ended the dropped string and must still be taken as an escape sequence's.
    inline bool stepDroppedString(char32_t c, char*& out);
    // The controls that act alike in every state; false for anything else.
    inline bool stepInAnyState(char32_t c, char*& out);
    inline void stepEscapeInString(char32_t c, char*& out);
    inline void stepEscape(char32_t c, char*& out);
    inline void stepCsiLeader(char32_t c, char*& out);
    inline void stepCsiArguments(char32_t c, char*& out);
    inline void stepCsiIntermediate(char32_t c, char*& out);
    inline void stepText(char32_t c, char*& out);
    void dispatchCsi(char32_t final, char*& out);
    void dispatchEscape(char32_t final, char*& out);
    // Sends what brings the character sets back to the saved ones after libvterm restored the cursor.
    void restoreCharacterSets(char*& out);
    void resetCharacterSets();
    void updateBlankUnderscore();
    bool inString() const;
    void abandonString(char*& out);
    static void putUtf8(char32_t c, char*& out);

    State m_state = State::Normal;
    int m_csiSeparators = 0;
    std::size_t m_stringLength = 0;
    bool m_csiHasLeader = false;
    bool m_csiHasIntermediate = false;
    bool m_dropping = false; // the rest of the current CSI sequence is being dropped
    bool m_canRepeat = false;
    std::size_t m_interventions = 0;

    // The character sets as libvterm has them: the designation of G0..G3 ('0' DEC special graphics, 'A'
    // UK, 'B' ASCII), the one invoked into GL, and a single shift waiting for its character (0: none).
    struct CharacterSets
    {
        std::array<char, 4> designations{'B', 'B', 'B', 'B'};
        int shift = 0;
    };
    CharacterSets m_sets;
    CharacterSets m_saved;
    int m_singleShift = 0;
    bool m_blankUnderscore = false; // 0x5F is the graphics set's blank now
    char32_t m_escapeIntermediate = 0; // the first of an escape sequence's intermediates; 0: none
    bool m_escapeIntermediates = false; // more than one
    char32_t m_csiLeader = 0;
    char32_t m_csiIntermediate = 0;
    unsigned m_csiValue = 0; // the argument being read, bounded
    bool m_csiSavesCursor = false; // an argument was 1048 or 1049
};
