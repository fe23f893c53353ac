// Writes a picture of the main window with the terminal pane showing a reply of the target, received over
// a pseudo-terminal as on the real line:   xvfb-run -a shoot_terminal docs/terminal.png

#include "app/tform1.h"
#include "link/apdterminal.h"
#include "link/cp949.h"
#include "tests/ptypair.h"

#include <QApplication>
#include <QPixmap>
#include <QTest>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QString path = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("terminal.png");
    PtyPair line;
    TForm1 form(line.slavePath());
    form.show();
    QTest::qWait(300);

    // The monitor's help reply, in code page 949, as the target sends it.
    const QString reply = QStringLiteral(
        "ROBOT MONITOR V1.2  (C) 1998\r\n"
        "\r\n"
        " H : 도움말            M : 메모리 테스트\r\n"
        " C : 메모리 클리어     D : 메모리 덤프\r\n"
        " L : 파일 다운로딩     R : 프로그램 실행\r\n"
        " P : 포트 테스트       Q : 프로그램 정지\r\n"
        "\r\n"
        "메모리 테스트 ... 8000-FFFF OK (32K 바이트)\r\n"
        "8000: 3E 01 D3 10 C3 00 80 FF  >.......\r\n"
        "\x1b[1;33m전진\x1b[0m 명령 수신: F\r\n"
        "> ");
    line.send(cp949Encode(reply));
    QTest::qWait(400);
    form.ApdTerminal1->setFocus();
    QTest::qWait(100);
    const bool saved = form.grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved ? 0 : 1;
}
