#include "link/sendfile.h"

#include "link/portdiagnosis_win.h"

#include <windows.h>

#include <string>

namespace {

HANDLE asHandle(void* handle)
{
    return static_cast<HANDLE>(handle);
}

qint64 ticks(const LARGE_INTEGER& time)
{
    return time.QuadPart;
}

QString openFailure(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        return QStringLiteral("파일이 없습니다.\n파일 이름과 위치를 확인한 뒤 다시 선택하십시오.");
    case ERROR_ACCESS_DENIED:
        return QStringLiteral("파일을 읽을 권한이 없습니다.\n파일의 권한을 확인한 뒤 다시 보내십시오.");
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return QStringLiteral("다른 프로그램이 파일을 혼자 쓰고 있어서 열 수 없습니다.\n"
                              "그 프로그램에서 파일을 닫은 뒤 다시 보내십시오.");
    default:
        return QStringLiteral("파일을 열 수 없습니다.\n파일을 확인한 뒤 다시 보내십시오.\n시스템 메시지: %1")
            .arg(PortDiagnosis::win32ErrorText(error));
    }
}

struct Identity
{
    bool ok = false;
    quint32 volume = 0;
    quint64 index = 0;
};

Identity identityOf(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(handle, &information) == 0)
        return {};
    return {true, information.dwVolumeSerialNumber,
            (quint64{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

} // namespace

SendFile::~SendFile()
{
    close();
}

bool SendFile::isOpen() const
{
    return m_handle != nullptr;
}

QString SendFile::open(const QString& path)
{
    close();
    m_size = 0;
    const std::wstring name = path.toStdWString();
    // Look before opening: a folder or a device is refused without being opened.
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return openFailure(GetLastError());
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return QStringLiteral("폴더는 보낼 수 없습니다.\n폴더 안의 .hex 파일을 선택하십시오.");
    // Shared as on Linux: another program may still write, rename or delete the file, and the checks during the
    // transfer tell when one did. A program that holds the file exclusively refuses it.
    const HANDLE handle
        = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return openFailure(GetLastError());
    m_handle = handle;
    // What was opened may not be what was looked at: a pipe, a console or a device in a file's place.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        close();
        return QStringLiteral("장치나 파이프는 보낼 수 없습니다.\n일반 파일을 선택하십시오.");
    }
    FILE_BASIC_INFO basic{};
    LARGE_INTEGER size{};
    const Identity identity = identityOf(handle);
    if (!identity.ok || GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) == 0
        || GetFileSizeEx(handle, &size) == 0) {
        const DWORD error = GetLastError();
        close();
        return openFailure(error);
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        close();
        return QStringLiteral("폴더는 보낼 수 없습니다.\n폴더 안의 .hex 파일을 선택하십시오.");
    }
    m_volume = identity.volume;
    m_index = identity.index;
    m_modified = ticks(basic.LastWriteTime);
    m_changed = ticks(basic.ChangeTime);
    m_size = size.QuadPart;
    return {};
}

qint64 SendFile::read(char* into, qint64 budget, FileTrouble& trouble)
{
    DWORD got = 0;
    if (ReadFile(asHandle(m_handle), into, static_cast<DWORD>(budget), &got, nullptr) == 0) {
        trouble = {FileTrouble::Kind::ReadError, PortDiagnosis::win32ErrorText(GetLastError())};
        return -1;
    }
    if (got == 0) {
        trouble = {FileTrouble::Kind::Shrank, {}};
        return -1;
    }
    return got;
}

FileTrouble SendFile::stillThere(const QString& path)
{
    // Opening the path again for its identity only, sharing everything, disturbs no one.
    const HANDLE now
        = CreateFileW(path.toStdWString().c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    Identity identity;
    if (now != INVALID_HANDLE_VALUE) {
        identity = identityOf(now);
        CloseHandle(now);
    }
    if (!identity.ok || identity.volume != m_volume || identity.index != m_index)
        return {FileTrouble::Kind::Gone, {}};
    return unchanged();
}

FileTrouble SendFile::unchanged()
{
    FILE_BASIC_INFO basic{};
    LARGE_INTEGER size{};
    if (GetFileInformationByHandleEx(asHandle(m_handle), FileBasicInfo, &basic, sizeof basic) == 0
        || GetFileSizeEx(asHandle(m_handle), &size) == 0)
        return {FileTrouble::Kind::Unverifiable, PortDiagnosis::win32ErrorText(GetLastError())};
    if (size.QuadPart < m_size)
        return {FileTrouble::Kind::Shrank, {}};
    if (size.QuadPart > m_size)
        return {FileTrouble::Kind::Grew, {}};
    if (ticks(basic.LastWriteTime) != m_modified || ticks(basic.ChangeTime) != m_changed)
        return {FileTrouble::Kind::Rewritten, {}};
    return {};
}

void SendFile::close()
{
    if (m_handle != nullptr)
        CloseHandle(asHandle(m_handle));
    m_handle = nullptr;
}
