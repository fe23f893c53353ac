#include "app/qtsetup.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QSettings>
#include <QTranslator>

#include <cstdio>

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
    static bool done = false;
    if (done)
        return;
    done = true;

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
        std::fprintf(stderr,
                     "robot-console: %s\n",
                     QStringLiteral("Qt의 한국어 번역(%1/qtbase_ko.qm)이 없어 대화 상자의 일부 글이 영어로 나옵니다. "
                                    "qt6-translations-l10n 패키지를 설치하십시오.")
                         .arg(folder)
                         .toLocal8Bit()
                         .constData());
    }
}
