#include "ui/firstclick.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMouseEvent>
#include <QWindow>

#include <cstdlib>

#if defined(Q_OS_WIN)
#include <windows.h>
#include <windowsx.h>
#elif __has_include(<xcb/xinput.h>)
#include <xcb/xcb.h>
#include <xcb/xinput.h>
#define CONSOLE_FIRSTCLICK_XCB 1
#endif

namespace {

// Bounds the closing of pop-ups, as Qt does, in case one refuses to go.
constexpr int kMaxPopups = 64;

void closeEveryPopup()
{
    for (int i = 0; i < kMaxPopups; ++i) {
        QWidget* popup = QApplication::activePopupWidget();
        if (popup == nullptr)
            return;
        // Where the platform replays a press that closed a pop-up, Qt would post a second one.
        popup->setAttribute(Qt::WA_NoMouseReplay);
        if (!popup->close())
            popup->hide();
    }
}

#if defined(CONSOLE_FIRSTCLICK_XCB)
// The X input extension's major opcode on the application's display; 0 without one (or without X).
std::uint8_t xinputOpcode()
{
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr)
        return 0;
    xcb_connection_t* connection = x11->connection();
    static constexpr char kName[] = "XInputExtension";
    const xcb_query_extension_cookie_t cookie = xcb_query_extension(connection, sizeof kName - 1, kName);
    xcb_query_extension_reply_t* reply = xcb_query_extension_reply(connection, cookie, nullptr);
    const std::uint8_t opcode = reply != nullptr && reply->present != 0 ? reply->major_opcode : 0;
    std::free(reply);
    return opcode;
}

double fromFixed(xcb_input_fp1616_t value)
{
    return value / 65536.0;
}
#endif

} // namespace

FirstClick::FirstClick(QWidget* window, QAbstractButton* stop) : QObject(window), m_window(window), m_stop(stop)
{
    QApplication::instance()->installEventFilter(this);
    QApplication::instance()->installNativeEventFilter(this);
#if defined(CONSOLE_FIRSTCLICK_XCB)
    m_xinputOpcode = xinputOpcode();
#endif
}

FirstClick::~FirstClick()
{
    if (QCoreApplication* application = QCoreApplication::instance())
        application->removeNativeEventFilter(this);
}

bool FirstClick::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonDblClick)
        return false;
    // While pop-ups are open, every press goes to the topmost one, wherever it lands.
    auto* widget = qobject_cast<QWidget*>(watched);
    return widget != nullptr && !m_window.isNull() && widget == QApplication::activePopupWidget()
        && pressOutsidePopup(widget, static_cast<const QMouseEvent*>(event));
}

bool FirstClick::pressOutsidePopup(QWidget* popup, const QMouseEvent* press)
{
    const QPoint global = press->globalPosition().toPoint();
    if (press->button() != Qt::LeftButton || popup->rect().contains(popup->mapFromGlobal(global)))
        return false;
    // Only a press on the main window itself; one on another pop-up (a submenu's parent) is the menus' own.
    QWidget* target = QApplication::widgetAt(global);
    if (target == nullptr || target->window() != m_window)
        return false;
    closeEveryPopup();
    // The press is the click: Qt never saw it reach the button, so it would hand the release that follows
    // to nobody, and whether the X server sends that release to the closed pop-up or to the window depends
    // on how fast it follows.
    auto* button = qobject_cast<QAbstractButton*>(target);
    if (button != nullptr && button->isEnabled() && (!isBlockedByModal() || button == m_stop))
        button->click();
    return true;
}

bool FirstClick::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result)
{
#if defined(CONSOLE_FIRSTCLICK_XCB)
    Q_UNUSED(result); // an X event has no result to give back
    // Qt takes the pointer through the X input extension where the server has it, else from core events.
    if (eventType != "xcb_generic_event_t" || m_window.isNull())
        return false;
    const auto* generic = static_cast<const xcb_generic_event_t*>(message);
    const auto type = static_cast<std::uint8_t>(generic->response_type & ~0x80);
    if (type == XCB_GE_GENERIC && m_xinputOpcode != 0) {
        const auto* press = static_cast<const xcb_input_button_press_event_t*>(message);
        // Each press comes once from the master pointer and, where slave devices are selected too, again from
        // the device itself (deviceid == sourceid); the master's is the one Qt acts on.
        if (press->extension != m_xinputOpcode || press->event_type != XCB_INPUT_BUTTON_PRESS || press->detail != 1
            || press->deviceid == press->sourceid || press->event != m_window->winId())
            return false;
        return blockedPress(QPointF(fromFixed(press->event_x), fromFixed(press->event_y))
                            / m_window->devicePixelRatioF());
    }
    if (type == XCB_BUTTON_PRESS) {
        const auto* press = static_cast<const xcb_button_press_event_t*>(message);
        if (press->detail != XCB_BUTTON_INDEX_1 || press->event != m_window->winId())
            return false;
        return blockedPress(QPointF(press->event_x, press->event_y) / m_window->devicePixelRatioF());
    }
    return false;
#elif defined(Q_OS_WIN)
    if (eventType != "windows_generic_MSG" || m_window.isNull())
        return false;
    const auto* msg = static_cast<const MSG*>(message);
    // Never winId(): that would create the window from inside the messages of its own creation.
    if (msg->hwnd != reinterpret_cast<HWND>(m_window->internalWinId()))
        return false;
    POINT point{};
    if (msg->message == WM_SETCURSOR) {
        // Qt disables a window that a modal window blocks, and Windows then sends it no mouse messages: a
        // press on it comes only as the question which cursor to show, with a hit test of HTERROR and the
        // press's message beside it. The pointer is where the press is.
        if (static_cast<short>(LOWORD(msg->lParam)) != HTERROR
            || (HIWORD(msg->lParam) != WM_LBUTTONDOWN && HIWORD(msg->lParam) != WM_LBUTTONDBLCLK)
            || GetCursorPos(&point) == 0 || ScreenToClient(msg->hwnd, &point) == 0)
            return false;
    } else if (msg->message == WM_LBUTTONDOWN || msg->message == WM_LBUTTONDBLCLK) {
        point = {GET_X_LPARAM(msg->lParam), GET_Y_LPARAM(msg->lParam)};
    } else {
        return false;
    }
    if (!blockedPress(QPointF(point.x, point.y) / m_window->devicePixelRatioF()))
        return false;
    // Taken: no beep for a click on a disabled window.
    if (result != nullptr)
        *result = TRUE;
    return true;
#else
    Q_UNUSED(eventType);
    Q_UNUSED(message);
    Q_UNUSED(result);
    return false;
#endif
}

bool FirstClick::blockedPress(QPointF position)
{
    if (!isBlockedByModal() || !stopTakes(position.toPoint()))
        return false;
    m_stop->click();
    return true;
}

bool FirstClick::isBlockedByModal() const
{
    const QWindow* modal = QGuiApplication::modalWindow();
    const QWindow* own = m_window->windowHandle();
    return modal != nullptr && own != nullptr && modal != own;
}

bool FirstClick::stopTakes(QPoint inWindow) const
{
    return !m_stop.isNull() && m_stop->isVisible() && m_stop->isEnabled() && m_window->childAt(inWindow) == m_stop;
}
