#pragma once
// SendFile: the one file that a download reads, and the checks that keep it honest.
//
// open() looks at the path before opening it and opens only a regular file, without blocking and without
// it becoming a controlling terminal; a folder, FIFO, device or a file of /proc, /sys and their like (whose
// reported length is not what reading gives) is refused unread. It then holds the file's identity, length
// and times as they were at the open. stillThere() and unchanged() say when the path now names another
// file, or the file shrank, grew or was rewritten in place (its modification or change time moved); read()
// never reads past the length at the open. On Windows the same holds, with the file's volume and index for
// its identity and its last-write and change times; a file that another program holds exclusively is refused.
//
// Every refusal and failure is a whole sentence for the operator: what is wrong and what to do, and, once
// some bytes went out, that the target received only part of the file.

#include <QString>

#include <QtGlobal>

#ifndef Q_OS_WIN
#include <ctime>
#include <sys/types.h>
#endif

class SendFile
{
public:
    SendFile() = default;
    ~SendFile();

    SendFile(const SendFile&) = delete;
    SendFile& operator=(const SendFile&) = delete;

    // Opens `path` (in the form of decodeFileName()); an empty string when it is open, the refusal otherwise.
    QString open(const QString& path);
    bool isOpen() const;
    // The file's length when it was opened.
    qint64 size() const { return m_size; }
    // Reads at most `budget` bytes into `into`: the count read, 0 when nothing can be read just now (try
    // again later), or -1 with `failure` set.
    qint64 read(char* into, qint64 budget, QString& failure);
    // Empty while `path` still names the opened file and that file is unchanged; the failure otherwise.
    QString stillThere(const QString& path);
    // Empty while the opened file keeps its length and times; the failure otherwise.
    QString unchanged();
    void close();

private:
    qint64 m_size = 0;
#ifdef Q_OS_WIN
    void* m_handle = nullptr; // a HANDLE; nullptr while closed
    quint32 m_volume = 0;
    quint64 m_index = 0;
    qint64 m_modified = 0; // FILETIME ticks
    qint64 m_changed = 0;
#else
    int m_fd = -1;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    struct timespec m_modified = {};
    struct timespec m_changed = {};
#endif
};
