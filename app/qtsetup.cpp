#include "app/qtsetup.h"

#include <QApplication>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QLocale>
#include <QSettings>
#include <QTranslator>

#include <cstdio>

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
        reportOnStderr(QStringLiteral("Qt의 한국어 번역(%1/qtbase_ko.qm)이 없어 대화 상자의 일부 글이 영어로 나옵니다. "
                                      "qt6-translations-l10n 패키지를 설치하십시오.")
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
    return QStringLiteral("한글 글꼴(나눔 글꼴)이 없어 창의 한글이 네모로 보입니다. 관리자에게 fonts-nanum 패키지를 "
                          "설치해 달라고 요청하십시오: sudo apt install fonts-nanum");
}
