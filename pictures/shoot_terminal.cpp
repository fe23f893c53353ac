// Writes a picture of the main window with the terminal pane showing a reply of the target, received over
// a pseudo-terminal as on the real line:   xvfb-run -a shoot_terminal docs/terminal.png
// With "selection" after the file name, a memory dump follows the reply, the view goes one page back
// and a few lines of it are selected:   xvfb-run -a shoot_terminal docs/selection.png selection
// With "capture", the pane captures into APD.CAP in a scratch folder while the dump comes in, and the
// pointer rests on the pane:   xvfb-run -a shoot_terminal docs/capture.png capture

#include "app/tform1.h"
#include "link/apdterminal.h"
#include "link/cp949.h"
#include "tests/ptypair.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPixmap>
#include <QTemporaryDir>
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
    const QString reply = QStringLiteral("ROBOT MONITOR V1.2  (C) 1998\r\n"
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
    const QByteArray mode = argc > 2 ? QByteArray(argv[2]) : QByteArray();
    QTemporaryDir scratch;
    if (mode == "capture") {
        QString error;
        if (!form.ApdTerminal1->startCapture(scratch.filePath(QStringLiteral("APD.CAP")), true, &error)) {
            std::printf("could not capture: %s\n", qPrintable(error));
            return 1;
        }
        QByteArray dump;
        for (int row = 0; row < 8; ++row)
            dump += QByteArray::number(0x8000 + row * 8, 16).toUpper() + ": 3E 01 D3 10 C3 00 80 FF\r\n";
        line.send("d8000\r\n" + dump + "> ");
        QTest::qWait(400);
        QMouseEvent move(QEvent::MouseMove, QPointF(300, 200), form.ApdTerminal1->mapToGlobal(QPointF(300, 200)),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(form.ApdTerminal1, &move);
        QTest::qWait(100);
    }
    if (mode == "selection") {
        QByteArray dump;
        for (int row = 0; row < 32; ++row) {
            dump += QByteArray::number(0x8000 + row * 8, 16).toUpper() + ":";
            for (int b = 0; b < 8; ++b)
                dump += ' ' + QByteArray::number(0x100 + ((row * 29 + b * 7) & 0xFF), 16).right(2).toUpper();
            dump += "\r\n";
        }
        line.send(dump + "> ");
        QTest::qWait(400);
        TApdTerminal* pane = form.ApdTerminal1;
        QTest::keyClick(pane, Qt::Key_PageUp, Qt::ShiftModifier);
        const auto cell = [](int column, int row) {
            return QPoint(column * TApdTerminal::kCellWidth + 4, row * TApdTerminal::kCellHeight + 6);
        };
        QTest::mousePress(pane, Qt::LeftButton, {}, cell(0, 9));
        QTest::mouseMove(pane, cell(20, 11));
        QTest::mouseMove(pane, cell(28, 12));
        QTest::mouseRelease(pane, Qt::LeftButton, {}, cell(28, 12));
        QTest::qWait(200);
    }
    const bool saved = form.grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved ? 0 : 1;
}
