#include "link/portdiagnosis_win.h"

#include <QCollator>
#include <QRegularExpression>

#include <windows.h>

#include <algorithm>

namespace {

// The number of "COM12"; 0 for a name that is not a COM port's.
int portNumber(const QString& name)
{
    static const QRegularExpression com(QStringLiteral("^COM(\\d+)$"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = com.match(name);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

QString restart()
{
    return QStringLiteral("로봇 콘솔을 다시 시작하십시오.");
}

} // namespace

namespace PortDiagnosis {

PortFault faultOfWin32(unsigned long error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_UNIT:
    case ERROR_INVALID_NAME:
        return PortFault::Missing;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return PortFault::Busy;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_HANDLE:
        return PortFault::NotSerial;
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
    case ERROR_DEVICE_REMOVED:
        return PortFault::IoError;
    default:
        return PortFault::Other;
    }
}

QString win32ErrorText(unsigned long error)
{
    wchar_t* buffer = nullptr;
    const DWORD length
        = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    QString text = length > 0 ? QString::fromWCharArray(buffer, static_cast<qsizetype>(length)).trimmed() : QString();
    if (buffer != nullptr)
        LocalFree(buffer);
    while (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text.isEmpty() ? QStringLiteral("오류 %1").arg(error) : QStringLiteral("%1, 오류 %2").arg(text).arg(error);
}

QStringList comPorts()
{
    QStringList ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key)
        != ERROR_SUCCESS)
        return ports;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = sizeof name / sizeof name[0];
        wchar_t data[64];
        DWORD dataBytes = sizeof data - sizeof data[0];
        DWORD type = 0;
        const LONG status
            = RegEnumValueW(key, index, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataBytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || type != REG_SZ)
            continue;
        data[dataBytes / sizeof data[0]] = L'\0';
        const QString port = QString::fromWCharArray(data).trimmed();
        if (portNumber(port) > 0 && !ports.contains(port, Qt::CaseInsensitive))
            ports << port.toUpper();
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(),
              [](const QString& a, const QString& b) { return portNumber(a) < portNumber(b); });
    return ports;
}

QString message(PortFault fault, const QString& device, const QString& detail,
                const std::optional<PortHolder>& /*holder*/, const QString& /*lockFile*/,
                const QString& /*devicesRoot*/)
{
    QString what;
    switch (fault) {
    case PortFault::Missing: {
        QStringList others = comPorts();
        others.removeAll(device);
        what = others.isEmpty()
            ? QStringLiteral("이 컴퓨터에는 %1도, 다른 COM 포트도 없습니다. 로봇의 케이블과 USB 직렬 어댑터를 "
                             "컴퓨터에 연결한 뒤 ")
                    .arg(device)
                + restart()
            : QStringLiteral("이 컴퓨터에는 %1이(가) 없습니다. 장치 관리자에 있는 COM 포트는 %2입니다. 로봇이 "
                             "그중 하나에 연결되어 있다면, 관리자에게 장치 관리자에서 그 포트의 번호를 %1(으)로 "
                             "바꿔 달라고 한 뒤 ")
                    .arg(device, others.join(QStringLiteral(", ")))
                + restart()
                + QStringLiteral(" (장치 관리자 > 포트(COM & LPT) > 포트의 속성 > 포트 설정 > 고급 > COM 포트 번호)");
        break;
    }
    case PortFault::Busy:
        what = QStringLiteral("다른 프로그램이 사용 중입니다. Windows는 COM 포트를 한 번에 한 프로그램에만 "
                              "열어 줍니다. %1을(를) 쓰는 프로그램(터미널 프로그램, 이미 실행 중인 로봇 콘솔 등)을 "
                              "닫은 뒤 ")
                   .arg(device)
            + restart();
        break;
    case PortFault::NoPermission:
        what = QStringLiteral("이 사용자에게는 포트를 열 권한이 없습니다. 관리자에게 문의한 뒤 ") + restart();
        break;
    case PortFault::NotSerial:
        what = QStringLiteral("직렬 포트로 설정할 수 없습니다. %1이(가) 직렬 포트가 아닌 장치에 붙어 있습니다. "
                              "관리자에게 장치 관리자에서 로봇이 연결된 직렬 포트의 번호를 %1(으)로 바꿔 달라고 "
                              "하십시오.")
                   .arg(device);
        break;
    case PortFault::IoError:
        what = QStringLiteral("포트를 여는 중 입출력 오류가 났습니다. 어댑터가 빠지는 중이거나 고장 났습니다. "
                              "어댑터를 뽑았다가 다시 꽂은 뒤 ")
            + restart();
        break;
    case PortFault::StaleLock:
    case PortFault::Other:
        what = QStringLiteral("포트를 열거나 설정할 수 없습니다. 케이블과 어댑터를 다시 연결한 뒤 ") + restart();
        break;
    }
    QString text = QStringLiteral("직렬 포트 %1을(를) 열 수 없습니다: %2").arg(device, what);
    if (!detail.isEmpty())
        text += QStringLiteral(" (%1)").arg(detail);
    return text;
}

} // namespace PortDiagnosis
