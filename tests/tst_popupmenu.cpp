// The pop-up menu: its items, their shortcuts (also while the terminal has the focus), and where it opens.

#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdterminal.h"
#include "tests/ptypair.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#endif

namespace {

// A real click at a point of the screen, through the window system, as a mouse makes it: where a modal
// window blocks the window, Qt never lets a synthesised event through.
bool clickThroughWindowSystem(QPoint global)
{
#ifdef Q_OS_WIN
    INPUT press[2] = {};
    press[0].type = press[1].type = INPUT_MOUSE;
    press[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    press[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    return SetCursorPos(global.x(), global.y()) != 0 && SendInput(2, press, sizeof(INPUT)) == 2;
#else
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    Display* display = x11 != nullptr ? x11->display() : nullptr;
    if (display == nullptr)
        return false;
    XTestFakeMotionEvent(display, -1, global.x(), global.y(), CurrentTime);
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XFlush(display);
    return true;
#endif
}

} // namespace

class PopupMenuTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void theItemsStandInTheDescribedOrderWithTheirShortcuts();
    void functionKeysSendTheirCommands_data();
    void functionKeysSendTheirCommands();
    void deleteClearsTheScreenAndSendsNothing();
    void theSubmenuHeadingDoesNothing();
    void aRightClickOpensTheMenuCentredOnThePoint_data();
    void aRightClickOpensTheMenuCentredOnThePoint();
    void theShortcutsActWhileTheMenuIsOpen();
    void theFirstClickOutsideAnOpenMenuActsOnTheButtonUnderIt_data();
    void theFirstClickOutsideAnOpenMenuActsOnTheButtonUnderIt();
    void stopTakesItsClickThroughAModalWindow_data();
    void stopTakesItsClickThroughAModalWindow();

private:
    std::unique_ptr<PtyPair> m_line;
    std::unique_ptr<TForm1> m_form;
};

void PopupMenuTest::init()
{
    m_line = std::make_unique<PtyPair>();
    QVERIFY2(m_line->isValid(), "could not make a pseudo-terminal pair");
    m_form = std::make_unique<TForm1>(m_line->slavePath());
    m_form->show();
    // Without a window manager (an X server of the test's own) nobody activates a window that shows.
    m_form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
}

void PopupMenuTest::cleanup()
{
    m_form.reset();
    m_line.reset();
}

void PopupMenuTest::theItemsStandInTheDescribedOrderWithTheirShortcuts()
{
    struct Item
    {
        QString caption;
        QKeySequence shortcut;
    };
    const QList<Item> top{{QStringLiteral("파일 보내기 "), QKeySequence(Qt::CTRL | Qt::Key_D)},
                          {QString(), {}},
                          {QStringLiteral("명령어 실행"), {}},
                          {QString(), {}},
                          {QStringLiteral("화면 클리어"), QKeySequence(Qt::Key_Delete)},
                          {QString(), {}},
                          {QStringLiteral("끝내기 ( &X )"), {}}};
    const QList<Item> sub{{QStringLiteral("H ( 도움말 )"), QKeySequence(Qt::Key_F1)},
                          {QStringLiteral("M ( 메모리 테스트 )"), QKeySequence(Qt::Key_F2)},
                          {QStringLiteral("C ( 메모리 클리어 )"), QKeySequence(Qt::Key_F3)},
                          {QStringLiteral("D ( 덤프 메모리 )"), QKeySequence(Qt::Key_F4)},
                          {QStringLiteral("L ( 파일 다운로딩 )"), QKeySequence(Qt::Key_F5)},
                          {QStringLiteral("R ( 프로그램 실행 )"), QKeySequence(Qt::Key_F6)},
                          {QStringLiteral("P ( 포트 테스트 )"), QKeySequence(Qt::Key_F7)},
                          {QStringLiteral("Q ( 프로그램 정지 ) "), QKeySequence(Qt::Key_F8)}};
    const auto check = [](const QList<QAction*>& actions, const QList<Item>& expected, const char* menu) {
        QVERIFY2(actions.size() == expected.size(), qPrintable(QStringLiteral("%1 has %2 items").arg(menu).arg(actions.size())));
        for (qsizetype i = 0; i < expected.size(); ++i) {
            const QAction* action = actions.at(i);
            const bool separator = expected.at(i).caption.isEmpty();
            QVERIFY2(action->isSeparator() == separator, qPrintable(QStringLiteral("%1 item %2").arg(menu).arg(i)));
            if (separator)
                continue;
            QVERIFY2(action->text() == expected.at(i).caption,
                     qPrintable(QStringLiteral("%1 item %2 reads '%3'").arg(menu).arg(i).arg(action->text())));
            QVERIFY2(action->shortcut() == expected.at(i).shortcut,
                     qPrintable(QStringLiteral("%1 has shortcut %2").arg(action->text(), action->shortcut().toString())));
            QVERIFY2(action->isShortcutVisibleInContextMenu(), "a shortcut is not shown beside its item");
        }
    };
    check(m_form->PopupMenu1->actions(), top, "the menu");
    check(m_form->N3Menu->actions(), sub, "the submenu");
    QVERIFY2(m_form->N3->menu() == m_form->N3Menu, "the command item does not open the submenu");
}

void PopupMenuTest::functionKeysSendTheirCommands_data()
{
    QTest::addColumn<bool>("terminalFocused");
    QTest::newRow("window focused") << false;
    QTest::newRow("terminal focused") << true;
}

void PopupMenuTest::functionKeysSendTheirCommands()
{
    QFETCH(bool, terminalFocused);
    QWidget* target = m_form.get();
    if (terminalFocused) {
        m_form->ApdTerminal1->setFocus();
        QTRY_VERIFY2(m_form->ApdTerminal1->hasFocus(), "the terminal did not take the focus");
        target = m_form->ApdTerminal1;
    }
    const QList<Qt::Key> keys{Qt::Key_F1, Qt::Key_F2, Qt::Key_F3, Qt::Key_F4,
                              Qt::Key_F5, Qt::Key_F6, Qt::Key_F7, Qt::Key_F8};
    for (Qt::Key key : keys)
        QTest::keyClick(target, key);
    const QByteArray sent = m_line->waitForExactly(8);
    QVERIFY2(sent == "hmcdlrpq", qPrintable(QStringLiteral("F1 to F8 sent '%1'").arg(QString::fromLatin1(sent))));
    QCOMPARE(m_form->StatusBar1->panelText(2), QStringLiteral("프로그램 실행 정지"));
    QVERIFY2(QApplication::activeModalWidget() == nullptr, "a function key opened a dialog");
}

void PopupMenuTest::deleteClearsTheScreenAndSendsNothing()
{
    m_form->StatusBar1->setPanelText(1, QStringLiteral("전진"));
    QTest::keyClick(m_form.get(), Qt::Key_Delete);
    QCOMPARE(m_form->StatusBar1->panelText(2), QStringLiteral("화면 클리어"));
    QCOMPARE(m_form->StatusBar1->panelText(1), QStringLiteral("전진"));
    const QByteArray sent = m_line->collectFor(100);
    QVERIFY2(sent.isEmpty(), qPrintable(QStringLiteral("clearing sent '%1'").arg(QString::fromLatin1(sent.toHex(' ')))));
}

void PopupMenuTest::theSubmenuHeadingDoesNothing()
{
    m_form->N3->trigger();
    QTest::qWait(20);
    for (int panel = 1; panel <= 2; ++panel)
        QVERIFY2(m_form->StatusBar1->panelText(panel).isEmpty(), "the submenu heading wrote a status text");
    QVERIFY2(m_line->collectFor(50).isEmpty(), "the submenu heading sent something");
}

void PopupMenuTest::aRightClickOpensTheMenuCentredOnThePoint_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<QPoint>("at"); // inside `where`; (-1, -1): its centre
    const QPoint centre(-1, -1);
    QTest::newRow("window background") << QStringLiteral("Form1") << QPoint(600, 300);
    QTest::newRow("terminal") << QStringLiteral("ApdTerminal1") << centre;
    QTest::newRow("terminal's border") << QStringLiteral("ApdTerminal1Frame") << QPoint(1, 100);
    QTest::newRow("direction button") << QStringLiteral("SpeedButton1") << centre;
}

void PopupMenuTest::aRightClickOpensTheMenuCentredOnThePoint()
{
    QFETCH(QString, where);
    QFETCH(QPoint, at);
    QWidget* widget = where == QStringLiteral("Form1") ? m_form.get() : m_form->findChild<QWidget*>(where);
    QVERIFY2(widget != nullptr, qPrintable(where + QStringLiteral(" is missing")));
    const QPoint local = at == QPoint(-1, -1) ? widget->rect().center() : at;
    // Through the window, as the platform delivers it, so that the click becomes a context-menu request.
    QTest::mouseClick(m_form->windowHandle(), Qt::RightButton, {}, widget->mapTo(m_form.get(), local));
    QTRY_VERIFY2_WITH_TIMEOUT(m_form->PopupMenu1->isVisible(), "a right click did not open the menu", 2000);
    const QPoint click = widget->mapToGlobal(local);
    const QRect menu = m_form->PopupMenu1->geometry();
    QVERIFY2(qAbs(menu.center().x() - click.x()) <= 1,
             qPrintable(QStringLiteral("menu centred at x=%1, click at x=%2").arg(menu.center().x()).arg(click.x())));
    m_form->PopupMenu1->close();
}

void PopupMenuTest::theShortcutsActWhileTheMenuIsOpen()
{
    m_form->PopupMenu1->popup(m_form->mapToGlobal(QPoint(400, 100)));
    QTRY_VERIFY2_WITH_TIMEOUT(m_form->PopupMenu1->isVisible(), "the menu did not open", 2000);
    QTest::keyClick(m_form->PopupMenu1, Qt::Key_F2);
    const QByteArray sent = m_line->waitForExactly(1);
    QVERIFY2(sent == "m", qPrintable(QStringLiteral("F2 with the menu open sent '%1'").arg(QString::fromLatin1(sent))));
}

void PopupMenuTest::theFirstClickOutsideAnOpenMenuActsOnTheButtonUnderIt_data()
{
    QTest::addColumn<bool>("submenuOpen");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("menu open, stop") << false << QStringLiteral("SpeedButton5") << QByteArray("S");
    QTest::newRow("submenu open, stop") << true << QStringLiteral("SpeedButton5") << QByteArray("S");
    QTest::newRow("menu open, forward") << false << QStringLiteral("SpeedButton1") << QByteArray("F");
    QTest::newRow("submenu open, Enter tool button") << true << QStringLiteral("SpeedButton9") << QByteArray("\r");
}

void PopupMenuTest::theFirstClickOutsideAnOpenMenuActsOnTheButtonUnderIt()
{
    QFETCH(bool, submenuOpen);
    QFETCH(QString, button);
    QFETCH(QByteArray, expected);
    m_form->PopupMenu1->popup(m_form->mapToGlobal(QPoint(600, 60)));
    QTRY_VERIFY2_WITH_TIMEOUT(m_form->PopupMenu1->isVisible(), "the menu did not open", 2000);
    if (submenuOpen) {
        // Down to the command item, past the separator, and into its submenu, as the keyboard does it.
        for (const Qt::Key key : {Qt::Key_Down, Qt::Key_Down, Qt::Key_Right})
            QTest::keyClick(QApplication::activePopupWidget(), key);
        QTRY_VERIFY2_WITH_TIMEOUT(m_form->N3Menu->isVisible(), "the submenu did not open", 2000);
    }
    const auto* target = m_form->findChild<QWidget*>(button);
    QVERIFY2(target != nullptr, qPrintable(button + QStringLiteral(" is missing")));
    // Through the window, as the platform delivers it: the open menu takes the press first.
    QTest::mouseClick(m_form->windowHandle(), Qt::LeftButton, {}, target->mapTo(m_form.get(), target->rect().center()));
    const QByteArray sent = m_line->collectFor(300);
    QVERIFY2(sent == expected,
             qPrintable(QStringLiteral("one click on %1 with the %2 open sent '%3'")
                            .arg(button, submenuOpen ? QStringLiteral("submenu") : QStringLiteral("menu"),
                                 QString::fromLatin1(sent.toHex(' ')))));
    QVERIFY2(QApplication::activePopupWidget() == nullptr, "the click left a menu open");
}

void PopupMenuTest::stopTakesItsClickThroughAModalWindow_data()
{
    QTest::addColumn<QString>("modal");
    QTest::newRow("the open-file dialog") << QStringLiteral("dialog");
    QTest::newRow("a modal message box") << QStringLiteral("message box");
}

void PopupMenuTest::stopTakesItsClickThroughAModalWindow()
{
    if (QGuiApplication::platformName() != QStringLiteral("xcb")
        && QGuiApplication::platformName() != QStringLiteral("windows"))
        QSKIP("needs a window system: only its own clicks meet a modal window's block");
    QFETCH(QString, modal);
    QByteArray sent;
    bool forwardClicked = false;
    const auto clickWhileBlocked = [&] {
        QWidget* blocking = QApplication::activeModalWidget();
        if (blocking == nullptr)
            return false;
        // Stop's click goes through; the forward button beside it stays blocked.
        const auto globalCentre
            = [this](const QWidget* button) { return button->mapToGlobal(button->rect().center()); };
        clickThroughWindowSystem(globalCentre(m_form->SpeedButton1));
        forwardClicked = !m_line->collectFor(200).isEmpty();
        clickThroughWindowSystem(globalCentre(m_form->SpeedButton5));
        sent = m_line->waitForExactly(1);
        blocking->close();
        return true;
    };
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (clickWhileBlocked())
            poll.stop();
    });
    poll.start(50);
    if (modal == QStringLiteral("dialog")) {
        m_form->SpeedButton8Click(nullptr);
    } else {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("그래 잘가라!"), QStringLiteral("확인하십시오."),
                        QMessageBox::Ok, m_form.get());
        box.exec();
    }
    QVERIFY2(!forwardClicked, "a click on the forward button went through the modal window");
    QVERIFY2(
        sent == "S",
        qPrintable(
            QStringLiteral("a click on Stop behind %1 sent '%2'").arg(modal, QString::fromLatin1(sent.toHex(' ')))));
    QCOMPARE(m_form->StatusBar1->panelText(1), QStringLiteral("정지"));
}

QTEST_MAIN(PopupMenuTest)
#include "tst_popupmenu.moc"
