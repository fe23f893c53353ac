#include "link/serverglyphs.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#if !defined(Q_OS_WIN) && __has_include(<xcb/xcb.h>)
#include <xcb/xcb.h>

#include <cstdlib>
#include <unordered_map>
#include <vector>

namespace {

// A pixmap on the server is dropped with the rest once this many atlases were seen.
constexpr std::size_t kMaxPixmaps = 32;

xcb_connection_t* xConnection()
{
    const auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 != nullptr ? x11->connection() : nullptr;
}

// The server takes 32-bit pixels of 24-bit true colour, red in bits 16..23 and blue in 0..7, least
// significant byte first: a QImage of Format_RGB32 on this (little-endian) machine, byte for byte.
bool takesRgb32(xcb_connection_t* connection)
{
    if constexpr (Q_BYTE_ORDER != Q_LITTLE_ENDIAN)
        return false;
    const xcb_setup_t* setup = xcb_get_setup(connection);
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
        return false;
    bool depthTakes32 = false;
    for (auto format = xcb_setup_pixmap_formats_iterator(setup); format.rem > 0; xcb_format_next(&format))
        depthTakes32 |= format.data->depth == 24 && format.data->bits_per_pixel == 32;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(setup).data;
    if (!depthTakes32 || screen == nullptr || screen->root_depth != 24)
        return false;
    for (auto depth = xcb_screen_allowed_depths_iterator(screen); depth.rem > 0; xcb_depth_next(&depth)) {
        for (auto visual = xcb_depth_visuals_iterator(depth.data); visual.rem > 0; xcb_visualtype_next(&visual)) {
            if (visual.data->visual_id == screen->root_visual)
                return visual.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR && visual.data->red_mask == 0xff0000
                    && visual.data->green_mask == 0xff00 && visual.data->blue_mask == 0xff;
        }
    }
    return false;
}

class XServerGlyphs final : public QObject, public ServerGlyphs
{
public:
    XServerGlyphs(QWidget* widget, xcb_connection_t* connection)
        : m_widget(widget)
        , m_connection(connection)
        , m_root(xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root)
    {
    }

    ~XServerGlyphs() override
    {
        // Qt may have closed the connection already at the application's end.
        if (xConnection() != m_connection || xcb_connection_has_error(m_connection) != 0)
            return;
        dropPixmaps();
        if (m_gc != 0)
            xcb_free_gc(m_connection, m_gc);
        xcb_flush(m_connection);
    }

    XServerGlyphs(const XServerGlyphs&) = delete;
    XServerGlyphs& operator=(const XServerGlyphs&) = delete;

    bool begin() override
    {
        if (m_broken || xcb_connection_has_error(m_connection) != 0)
            return false;
        return m_settled || settle();
    }

    void copy(const QPixmap& atlas, const QRect& source, const QPoint& at) override
    {
        const xcb_pixmap_t pixmap = pixmapFor(atlas);
        if (pixmap == 0)
            return;
        const QPoint to = at + m_origin;
        xcb_copy_area(m_connection, pixmap, m_window, m_gc, static_cast<int16_t>(source.x()),
                      static_cast<int16_t>(source.y()), static_cast<int16_t>(to.x()), static_cast<int16_t>(to.y()),
                      static_cast<uint16_t>(source.width()), static_cast<uint16_t>(source.height()));
    }

    void fill(const QRect& area, QRgb colour) override
    {
        const uint32_t values[] = {colour & 0xffffffU};
        if (values[0] != m_foreground) {
            xcb_change_gc(m_connection, m_gc, XCB_GC_FOREGROUND, values);
            m_foreground = values[0];
        }
        const QRect to = area.translated(m_origin);
        const xcb_rectangle_t rectangle{static_cast<int16_t>(to.x()), static_cast<int16_t>(to.y()),
                                        static_cast<uint16_t>(to.width()), static_cast<uint16_t>(to.height())};
        xcb_poly_fill_rectangle(m_connection, m_window, m_gc, 1, &rectangle);
    }

    void end() override { xcb_flush(m_connection); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::ParentAboutToChange:
        case QEvent::ParentChange:
        case QEvent::ZOrderChange:
        case QEvent::ChildAdded:
        case QEvent::ChildRemoved:
        case QEvent::WinIdChange:
        case QEvent::WindowStateChange:
        case QEvent::ScreenChangeInternal:
        case QEvent::PlatformSurface:
        case QEvent::Expose:
            m_settled = false;
            break;
        default:
            break;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    // What the window shows of the widget, and where, is asked in full once, and again only after an event that
    // can change it reached a widget of the window or its surface.
    bool settle()
    {
        QWidget* top = m_widget->window();
        const QWindow* handle = top->windowHandle();
        if (!m_widget->isVisible() || handle == nullptr || !handle->isExposed() || top->internalWinId() == 0
            || m_widget->devicePixelRatio() != 1)
            return false;
        // Another widget of the window over part of this one: its pixels are left to Qt alone.
        if (m_widget->visibleRegion() != QRegion(m_widget->rect()))
            return false;
        const auto window = static_cast<xcb_window_t>(top->internalWinId());
        if (window != m_window) {
            if (!checkDepth(window))
                return false;
            m_window = window;
        }
        if (m_gc == 0) {
            m_gc = xcb_generate_id(m_connection);
            // No GraphicsExpose events: a copy from a pixmap never misses a pixel.
            const uint32_t values[] = {0};
            xcb_create_gc(m_connection, m_gc, m_root, XCB_GC_GRAPHICS_EXPOSURES, values);
        }
        m_origin = m_widget->mapTo(top, QPoint());
        watch(top);
        m_settled = true;
        return true;
    }

    // Watches the window's surface and every widget of the window: any of them can come over this one, or
    // take it elsewhere. The set is taken again on each settle.
    void watch(QWidget* top)
    {
        for (const QPointer<QObject>& object : m_watched) {
            if (object)
                object->removeEventFilter(this);
        }
        m_watched.clear();
        const auto add = [this](QObject* object) {
            object->installEventFilter(this);
            m_watched.emplace_back(object);
        };
        add(top->windowHandle());
        add(top);
        for (QWidget* widget : top->findChildren<QWidget*>()) {
            if (widget->window() == top)
                add(widget);
        }
    }

    // The window's depth is asked once per window: the one round trip this makes.
    bool checkDepth(xcb_window_t window)
    {
        xcb_get_geometry_reply_t* reply
            = xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr);
        const bool fits = reply != nullptr && reply->depth == 24;
        std::free(reply);
        if (!fits)
            m_broken = true;
        return fits;
    }

    xcb_pixmap_t pixmapFor(const QPixmap& source)
    {
        const qint64 key = source.cacheKey();
        if (const auto found = m_pixmaps.find(key); found != m_pixmaps.end())
            return found->second;
        if (m_pixmaps.size() >= kMaxPixmaps)
            dropPixmaps();
        const QImage atlas = source.toImage().convertToFormat(QImage::Format_RGB32);
        const uint32_t bytes = static_cast<uint32_t>(atlas.sizeInBytes());
        // A put larger than the server takes in one request is not made: the cells go through Qt alone.
        if (atlas.isNull() || (bytes + 24) / 4 > xcb_get_maximum_request_length(m_connection))
            return 0;
        const xcb_pixmap_t pixmap = xcb_generate_id(m_connection);
        xcb_create_pixmap(m_connection, 24, pixmap, m_root, static_cast<uint16_t>(atlas.width()),
                          static_cast<uint16_t>(atlas.height()));
        xcb_put_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, m_gc, static_cast<uint16_t>(atlas.width()),
                      static_cast<uint16_t>(atlas.height()), 0, 0, 0, 24, bytes, atlas.constBits());
        m_pixmaps.emplace(key, pixmap);
        return pixmap;
    }

    void dropPixmaps()
    {
        for (const auto& [key, pixmap] : m_pixmaps)
            xcb_free_pixmap(m_connection, pixmap);
        m_pixmaps.clear();
    }

    QWidget* m_widget;
    xcb_connection_t* m_connection;
    xcb_window_t m_root;
    xcb_window_t m_window = 0;
    xcb_gcontext_t m_gc = 0;
    QPoint m_origin;
    bool m_broken = false;
    bool m_settled = false;
    std::vector<QPointer<QObject>> m_watched;
    uint32_t m_foreground = 0; // the GC's, as created
    std::unordered_map<qint64, xcb_pixmap_t> m_pixmaps; // by the atlas's cache key
};

} // namespace

std::unique_ptr<ServerGlyphs> ServerGlyphs::create(QWidget* widget)
{
    xcb_connection_t* connection = xConnection();
    if (widget == nullptr || connection == nullptr || QGuiApplication::platformName() != QStringLiteral("xcb")
        || !takesRgb32(connection))
        return nullptr;
    return std::make_unique<XServerGlyphs>(widget, connection);
}

#else

std::unique_ptr<ServerGlyphs> ServerGlyphs::create(QWidget* /*widget*/)
{
    return nullptr;
}

#endif
