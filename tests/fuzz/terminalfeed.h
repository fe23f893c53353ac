#pragma once
// The path received bytes take into the terminal emulation (decoder, guard, libvterm), driven by arbitrary
// input: the fuzz target and the regression replay both use it.
//
// The first four bytes steer the rest: bit 0 of the first clears the screen midway, as the operator may at
// any time; bit 1 feeds everything in one read (the size of the largest read is the guard's business);
// otherwise all four seed how the rest is cut into reads, mostly of 1 to 16 bytes and now and then up to
// 8 KiB, so that sequences and characters are split everywhere.

#include "link/vtscreen.h"

#include <QByteArrayView>

#include <cstddef>
#include <cstdint>

inline void feedTerminal(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t seed = 0x9e3779b9u;
    std::size_t at = 0;
    for (; at < size && at < 4; ++at)
        seed = seed * 31u + data[at];
    const std::uint8_t flags = size > 0 ? data[0] : 0;

    VtScreen screen;
    const std::size_t clearAt = (flags & 1u) != 0 ? at + (size - at) / 2 : size + 1;
    const bool oneRead = (flags & 2u) != 0;
    bool cleared = false;
    while (at < size) {
        seed = seed * 1103515245u + 12345u;
        const std::uint32_t pick = (seed >> 16) & 0x7fff;
        std::size_t length = oneRead ? size - at : (pick & 0x7000) == 0x7000 ? 1 + pick % 8192 : 1 + pick % 16;
        if (length > size - at)
            length = size - at;
        if (!cleared && at + length > clearAt) {
            const std::size_t before = clearAt - at;
            screen.write(QByteArrayView(reinterpret_cast<const char*>(data + at), static_cast<qsizetype>(before)));
            screen.clear();
            cleared = true;
            at += before;
            continue;
        }
        screen.write(QByteArrayView(reinterpret_cast<const char*>(data + at), static_cast<qsizetype>(length)));
        at += length;
    }
    // Read the whole screen back, as painting does.
    for (int row = 0; row < VtScreen::kRows; ++row)
        for (int column = 0; column < VtScreen::kColumns; ++column)
            (void)screen.cell(row, column);
}
