#include "app/qtsetup.h"

#include "app/resourcepictures.h"

#include <QApplication>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QLocale>
#include <QSettings>
#include <QTranslator>

#include <clocale>
#include <cstdio>
#ifndef Q_OS_WIN
#include <langinfo.h>
#endif

namespace {

#ifndef Q_OS_WIN
bool isUtf8(const char* codeset)
{
    return qstricmp(codeset, "UTF-8") == 0 || qstricmp(codeset, "utf8") == 0;
}

// Qt 6.4 takes the locale from the environment when the application is created. Under the POSIX locale (a
// root shell or a container without LANG) Xlib would then hand the window's title to window lists and
// taskbars (WM_NAME) as Latin-1 text, and the Korean title would arrive garbled, while Qt's own texts are
// UTF-8 whatever the locale. So the character type becomes the same locale in UTF-8, or C.UTF-8 (which
// glibc always has) where that does not exist, as later Qt versions do themselves; messages, numbers and
// dates keep the user's choice.
void useUtf8CharacterType()
{
    if (isUtf8(nl_langinfo(CODESET)))
        return;
    QByteArray name(std::setlocale(LC_CTYPE, nullptr));
    if (const qsizetype dot = name.indexOf('.'); dot >= 0)
        name.truncate(dot);
    if (const qsizetype at = name.indexOf('@'); at >= 0)
        name.truncate(at);
    if (name != "C" && name != "POSIX" && std::setlocale(LC_CTYPE, (name + ".UTF-8").constData()) != nullptr)
        return;
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr)
        reportOnStderr(QStringLiteral("창 목록에서 창의 제목이 깨져 보일 수 있습니다.\n"
                                      "이 컴퓨터의 언어 설정(로캘)으로는 한글 제목을 전할 수 없습니다.\n"
                                      "자세한 내용: C.UTF-8 로캘을 쓸 수 없습니다."));
}
#endif

} // namespace

void reportOnStderr(const QString& message)
{
    QString line = message;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    std::fprintf(stderr, "robot-console: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

void chooseQtPlatformSettings()
{
    // Qt takes shared memory only while the variable is unset; "0" is how a user asks for it back.
    const QByteArray choice = qgetenv("QT_XCB_NO_MITSHM");
    if (choice == "0")
        qunsetenv("QT_XCB_NO_MITSHM");
    else if (choice.isEmpty())
        qputenv("QT_XCB_NO_MITSHM", "1");
}

void setUpQtForConsole()
{
    useBuiltInReaderForResourcePictures();
#ifndef Q_OS_WIN
    useUtf8CharacterType(); // Windows takes window titles in UTF-16 whatever the locale
#endif

    // A resource path: Qt's settings neither find a file there nor can create one.
    for (const auto format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, QStringLiteral(":/no-settings"));

    const QLocale korean(QLocale::Korean, QLocale::SouthKorea);
    QLocale::setDefault(korean);
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto* qtTexts = new QTranslator(QApplication::instance());
    if (qtTexts->load(korean, QStringLiteral("qtbase"), QStringLiteral("_"), folder)) {
        QApplication::installTranslator(qtTexts);
    } else {
        delete qtTexts;
        reportOnStderr(QStringLiteral("대화 상자의 일부 글(확인, 취소 등)이 영어로 나옵니다.\n"
                                      "Qt의 한국어 번역이 설치되어 있지 않습니다.\n"
                                      "관리자에게 qt6-translations-l10n 패키지를 설치하도록 요청하십시오:\n"
                                      "sudo apt install qt6-translations-l10n\n"
                                      "자세한 내용: %1/qtbase_ko.qm이 없습니다.")
                           .arg(folder));
    }

    const QString fonts = missingKoreanFontNotice(QFontDatabase::families());
    if (!fonts.isEmpty())
        reportOnStderr(fonts);
}

QString missingKoreanFontNotice(const QStringList& families)
{
    for (const char* family : {"NanumBarunGothic", "NanumGothic", "NanumGothicCoding"})
        if (families.contains(QLatin1String(family), Qt::CaseInsensitive))
            return {};
    return QStringLiteral("창의 한글이 네모로 보이거나 칸에 맞지 않게 보일 수 있습니다.\n"
                          "한글 글꼴(나눔 글꼴)이 설치되어 있지 않습니다.\n"
                          "관리자에게 fonts-nanum 패키지를 설치하도록 요청하십시오:\n"
                          "sudo apt install fonts-nanum");
}
