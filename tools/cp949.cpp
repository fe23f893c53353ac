#include "tools/cp949.h"

#include <algorithm>
#include <array>

namespace cp949 {

namespace {

// Generated with `iconv -f UTF-8 -t CP949` from the syllables of the monitor's help screen; each row says
// which syllable it encodes. Kept sorted by Unicode for the binary search below.
constexpr std::array kSyllables = std::to_array<Syllable>({
    {u'\uADF8', 0xB1, 0xD7}, // 그
    {u'\uB2E4', 0xB4, 0xD9}, // 다
    {u'\uB364', 0xB4, 0xFD}, // 덤
    {u'\uB3C4', 0xB5, 0xB5}, // 도
    {u'\uB529', 0xB5, 0xF9}, // 딩
    {u'\uB7A8', 0xB7, 0xA5}, // 램
    {u'\uB85C', 0xB7, 0xCE}, // 로
    {u'\uB86C', 0xB7, 0xD2}, // 롬
    {u'\uB9AC', 0xB8, 0xAE}, // 리
    {u'\uB9D0', 0xB8, 0xBB}, // 말
    {u'\uBA54', 0xB8, 0xDE}, // 메
    {u'\uBAA8', 0xB8, 0xF0}, // 모
    {u'\uC0C8', 0xBB, 0xF5}, // 새
    {u'\uC18C', 0xBC, 0xD2}, // 소
    {u'\uC2A4', 0xBD, 0xBA}, // 스
    {u'\uC2E4', 0xBD, 0xC7}, // 실
    {u'\uC5B4', 0xBE, 0xEE}, // 어
    {u'\uC6B0', 0xBF, 0xEC}, // 우
    {u'\uC6B4', 0xBF, 0xEE}, // 운
    {u'\uC6C0', 0xBF, 0xF2}, // 움
    {u'\uC804', 0xC0, 0xFC}, // 전
    {u'\uC815', 0xC1, 0xA4}, // 정
    {u'\uC88C', 0xC1, 0xC2}, // 좌
    {u'\uC9C0', 0xC1, 0xF6}, // 지
    {u'\uC9C4', 0xC1, 0xF8}, // 진
    {u'\uCDE8', 0xC3, 0xEB}, // 취
    {u'\uD074', 0xC5, 0xAC}, // 클
    {u'\uD14C', 0xC5, 0xD7}, // 테
    {u'\uD2B8', 0xC6, 0xAE}, // 트
    {u'\uD3EC', 0xC6, 0xF7}, // 포
    {u'\uD504', 0xC7, 0xC1}, // 프
    {u'\uD589', 0xC7, 0xE0}, // 행
    {u'\uD68C', 0xC8, 0xB8}, // 회
    {u'\uD6C4', 0xC8, 0xC4}, // 후
});

static_assert(std::ranges::is_sorted(kSyllables, {}, &Syllable::unicode));

bool isHangulSyllable(char16_t c)
{
    return c >= u'\uAC00' && c <= u'\uD7A3';
}

} // namespace

std::optional<QByteArray> encode(QStringView text)
{
    QByteArray out;
    out.reserve(text.size() * 2);
    for (const QChar qc : text) {
        const char16_t c = qc.unicode();
        if (c < 0x80) {
            out.append(static_cast<char>(c));
            continue;
        }
        const auto* it = std::ranges::lower_bound(kSyllables, c, {}, &Syllable::unicode);
        if (it == kSyllables.end() || it->unicode != c)
            return std::nullopt;
        out.append(static_cast<char>(it->lead));
        out.append(static_cast<char>(it->trail));
    }
    return out;
}

int columns(QStringView text)
{
    int width = 0;
    for (const QChar c : text)
        width += isHangulSyllable(c.unicode()) ? 2 : 1;
    return width;
}

std::span<const Syllable> syllables()
{
    return kSyllables;
}

} // namespace cp949
