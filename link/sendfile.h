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
// A refusal at open() says for the operator what is wrong and what to do, on lines of their own, the system's
// words last. A trouble found after the open is given as a FileTrouble, which the sender words: what to say
// depends on how much of the file went out.

#include <QString>

#include <QtGlobal>

#ifndef Q_OS_WIN
#include <ctime>
#include <sys/types.h>
#endif

// What went wrong with a file after it was opened.
struct FileTrouble
{
    enum class Kind {
        None,
        Gone, // the path names another file, or none
        Unverifiable, // the file can no longer be looked at
        Shrank,
        Grew,
        Rewritten, // its length kept, its modification or change time moved
        ReadError,
    };
    Kind kind = Kind::None;
    QString systemMessage; // the system's own words, where there are any

    explicit operator bool() const { return kind != Kind::None; }
};

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
    // again later), or -1 with `trouble` set.
    qint64 read(char* into, qint64 budget, FileTrouble& trouble);
    // No trouble while `path` still names the opened file and that file is unchanged.
    FileTrouble stillThere(const QString& path);
    // No trouble while the opened file keeps its length and times.
    FileTrouble unchanged();
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
