#include "app/tform1.h"

#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <QWindow>

namespace {

// An item of the menu that runs `handler` with itself as the sender.
QAction* addItem(TForm1* form, QMenu* menu, const char* name, const QString& caption, const QKeySequence& shortcut,
                 void (TForm1::*handler)(QObject*))
{
    auto* item = new QAction(caption, menu);
    item->setObjectName(QString::fromLatin1(name));
    item->setShortcut(shortcut);
    // The console's only window: its shortcuts must also act while the pop-up menu (a window of its own)
    // holds the keyboard. A modal dialog still shadows them.
    item->setShortcutContext(Qt::ApplicationShortcut);
    item->setShortcutVisibleInContextMenu(true);
    QObject::connect(item, &QAction::triggered, form, [form, item, handler] { (form->*handler)(item); });
    menu->addAction(item);
    // Also on the window, so that the shortcut acts while the menu is closed.
    form->addAction(item);
    return item;
}

QAction* addSeparator(QMenu* menu, const char* name)
{
    QAction* separator = menu->addSeparator();
    separator->setObjectName(QString::fromLatin1(name));
    return separator;
}

// Qt (6.4, xcb) ties a menu's window to the application's focus tracking each time the menu takes the focus,
// with a new connection, and does not always undo it when the menu closes: the connections piled up, about
// one per opening, each also run on every later focus change. While the menu is closed none of them is
// needed, so they are all dropped before it opens again; Qt makes the one it needs when the menu takes the
// focus.
void dropFocusTracking(QMenu* menu)
{
    if (QWindow* window = menu->windowHandle(); window != nullptr && !menu->isVisible())
        QObject::disconnect(window, SIGNAL(focusObjectChanged(QObject*)), qApp, SLOT(_q_updateFocusObject(QObject*)));
}

} // namespace

void TForm1::openPopupMenu(const QPoint& at)
{
    dropFocusTracking(PopupMenu1);
    dropFocusTracking(N3Menu);
    PopupMenu1->popup(at);
}

void TForm1::buildPopupMenu()
{
    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));

    D1 = addItem(this, PopupMenu1, "D1", QStringLiteral("파일 보내기 "), QKeySequence(Qt::CTRL | Qt::Key_D),
                 &TForm1::D1Click);
    N1 = addSeparator(PopupMenu1, "N1");

    N3Menu = new QMenu(QStringLiteral("명령어 실행"), PopupMenu1);
    N3Menu->setObjectName(QStringLiteral("N3Menu"));
    N3 = PopupMenu1->addMenu(N3Menu);
    N3->setObjectName(QStringLiteral("N3"));
    H1 = addItem(this, N3Menu, "H1", QStringLiteral("H ( 도움말 )"), QKeySequence(Qt::Key_F1), &TForm1::H1Click);
    MM1 = addItem(this, N3Menu, "MM1", QStringLiteral("M ( 메모리 테스트 )"), QKeySequence(Qt::Key_F2),
                  &TForm1::MM1Click);
    CC1 = addItem(this, N3Menu, "CC1", QStringLiteral("C ( 메모리 클리어 )"), QKeySequence(Qt::Key_F3),
                  &TForm1::CC1Click);
    DD1 = addItem(this, N3Menu, "DD1", QStringLiteral("D ( 덤프 메모리 )"), QKeySequence(Qt::Key_F4),
                  &TForm1::DD1Click);
    LL1 = addItem(this, N3Menu, "LL1", QStringLiteral("L ( 파일 다운로딩 )"), QKeySequence(Qt::Key_F5),
                  &TForm1::LL1Click);
    RR1 = addItem(this, N3Menu, "RR1", QStringLiteral("R ( 프로그램 실행 )"), QKeySequence(Qt::Key_F6),
                  &TForm1::RR1Click);
    P1 = addItem(this, N3Menu, "P1", QStringLiteral("P ( 포트 테스트 )"), QKeySequence(Qt::Key_F7),
                 &TForm1::P1Click);
    Q1 = addItem(this, N3Menu, "Q1", QStringLiteral("Q ( 프로그램 정지 ) "), QKeySequence(Qt::Key_F8),
                 &TForm1::Q1Click);

    N4 = addSeparator(PopupMenu1, "N4");
    N5 = addItem(this, PopupMenu1, "N5", QStringLiteral("화면 클리어"), QKeySequence(Qt::Key_Delete),
                 &TForm1::N5Click);
    N2 = addSeparator(PopupMenu1, "N2");
    X1 = addItem(this, PopupMenu1, "X1", QStringLiteral("끝내기 ( &X )"), QKeySequence(), &TForm1::X1Click);
}
