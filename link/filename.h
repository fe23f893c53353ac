#pragma once
// File names as the file system holds them, bytes, carried in a QString without loss.
//
// Qt reads file names as UTF-8 and leaves out of its listings, and cannot open, any name that is not valid
// UTF-8 (a name written in code page 949, for one). Here a byte that is not part of a valid UTF-8 sequence
// is carried as the lone surrogate U+DC80..U+DCFF, which decoding valid UTF-8 never produces, and is given
// back as that same byte; everything else is plain UTF-8 both ways. So decodeFileName() and
// encodeFileName() round-trip every name exactly, and agree with Qt on every name that is valid UTF-8.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// The name in QString form; bytes outside valid UTF-8 become U+DC80..U+DCFF.
QString decodeFileName(QByteArrayView native);
// The bytes to give the system for `name`.
QByteArray encodeFileName(QStringView name);
// True when `name` carries bytes that Qt's own file functions cannot reach.
bool hasRawBytes(QStringView name);
// The name as the operator should read it: each part of the path that is not UTF-8 is read as code page 949,
// and characters that would not show as themselves are escaped (see printableText).
QString displayFileName(QStringView name);
// `text` with every character that could pass for a line break, layout or text of its own when printed in a
// message written as an escape: \n, \r, \t and \\ as in C, other control characters as \x1b, line and
// paragraph separators and bidirectional controls as \u202e. A name from the disk or from /proc can then
// neither break a message into lines nor fake words of its own.
QString printableText(QStringView text);
