#include "app/tform1.h"

#include "app/placement.h"
#include "app/statusbar.h"
#include "link/apdcomport.h"
#include "link/apdterminal.h"
#include "link/linkmonitor.h"
#include "ui/firstclick.h"
#include "ui_tform1.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFont>
#include <QFontDatabase>
#include <QMenu>
#include <QScreen>
#include <QShortcut>
#include <QToolButton>

TForm1* Form1 = nullptr;

namespace {

constexpr Qt::WindowFlags kFrameFlags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
    | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;

// The window's fonts are those of the platform it was designed on; these are their nearest here, with
// Hangul coverage.
void substituteDescribedFonts()
{
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("NanumBarunGothic"), QStringLiteral("NanumGothic")});
    QFont::insertSubstitutions(QStringLiteral("Terminal"),
                               {QStringLiteral("NanumGothicCoding"), QStringLiteral("DejaVu Sans Mono")});
}

#ifndef Q_OS_WIN
// The bold captions' own cut of the bold Hangul face, generated from the window description by
// tools/gen_caption_font.py: the same outlines and hints for just their characters. Drawing a dozen syllables
// from the installed face keeps pieces of its whole glyph table resident, 0.8 MiB for two captions. Empty
// where the face cannot be loaded.
QString captionFamily()
{
    static const QString family = [] {
        const int id = QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/console-caption-bold.ttf"));
        return QFontDatabase::applicationFontFamilies(id).value(0);
    }();
    return family;
}
#endif

// The window's fonts are meant at exact pixel heights (11, 12 and 13 px), which a Designer file cannot
// carry: tform1.ui holds them as points at 96 dpi, and they are turned back into those pixel heights here,
// so that texts measure the same on any screen resolution.
void restoreDescribedFontHeights(QWidget* window)
{
    QList<QWidget*> widgets = window->findChildren<QWidget*>();
    widgets.prepend(window);
    for (QWidget* widget : widgets) {
        if (!widget->testAttribute(Qt::WA_SetFont))
            continue;
        QFont font = widget->font();
        const qreal points = font.pointSizeF();
        if (points <= 0)
            continue;
        font.setPixelSize(qRound(points * 4 / 3));
#ifndef Q_OS_WIN
        // The bold face is drawn with its own hints. Under the desktop's usual slight hinting, FreeType's
        // auto-hinter first reads the reference glyphs of Hangul, which lie spread over the bold face's
        // glyph table, and so keeps about 1.4 MiB of the font file in memory for two short captions. The
        // face's own hints draw them as crisply, at most a pixel or two wider. Only the bold: the regular
        // face's hinted advances would widen the port's text beyond its status bar panel.
        if (font.bold()) {
            font.setHintingPreference(QFont::PreferFullHinting);
            // Any character that the captions' cut lacks comes from the described family, as before.
            if (const QString caption = captionFamily(); !caption.isEmpty())
                font.setFamilies({caption, font.family()});
        }
#endif
        widget->setFont(font);
    }
}

} // namespace

static void initConsoleResources()
{
    // The resources live in a static library, whose initialiser the linker would otherwise drop.
    Q_INIT_RESOURCE(console);
#ifndef Q_OS_WIN
    Q_INIT_RESOURCE(captionfont);
#endif
}

TForm1::TForm1(const QString& portDevice, QWidget* parent, const QString& devicesRoot)
    : QWidget(parent, kFrameFlags)
    , m_ui(std::make_unique<Ui::TForm1Description>())
{
    initConsoleResources();
    substituteDescribedFonts();
    m_ui->setupUi(this);
    restoreDescribedFontHeights(this);
    setObjectName(QStringLiteral("Form1"));

    ApdStatusLight1 = m_ui->ApdStatusLight1;
    Label1 = m_ui->Label1;
    ApdStatusLight2 = m_ui->ApdStatusLight2;
    Label2 = m_ui->Label2;
    Label3 = m_ui->Label3;
    SpeedButton6 = m_ui->SpeedButton6;
    SpeedButton7 = m_ui->SpeedButton7;
    SpeedButton8 = m_ui->SpeedButton8;
    SpeedButton9 = m_ui->SpeedButton9;
    GroupBox1 = m_ui->GroupBox1;
    SpeedButton1 = m_ui->SpeedButton1;
    SpeedButton2 = m_ui->SpeedButton2;
    SpeedButton3 = m_ui->SpeedButton3;
    SpeedButton4 = m_ui->SpeedButton4;
    SpeedButton5 = m_ui->SpeedButton5;
    ApdTerminal1 = m_ui->ApdTerminal1;
    BitBtn1 = m_ui->BitBtn1;
    StatusBar1 = m_ui->StatusBar1;
    DownloadProgress = m_ui->DownloadProgress;

    setUpFrame();

    ApdComPort1 = new TApdComPort(portDevice, this, TApdComPort::driverLineCounters, devicesRoot);
    ApdComPort1->setObjectName(QStringLiteral("ApdComPort1"));

    wireCommandChannel();
    wireTerminal();
    wireDownload();
    wireLinkMonitor();
    buildPopupMenu();
    wireHoverHints();
    // Stop and the other controls take the first click, whatever menu or dialog is open.
    new FirstClick(this, SpeedButton5);

    // The create event.
    FormActivate(this);
}

TForm1::~TForm1()
{
    // Whatever way the window goes, a download's remaining bytes never follow it onto the line.
    cancelDownload();
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::setUpFrame()
{
    setFixedSize(737, 348);
    StatusBar1->setPanelText(PortPanel, QStringLiteral("COM1,9600Bps,8Bit,1Stop,NoP"));
    connect(BitBtn1, &QToolButton::clicked, this, [this] { BitBtn1Click(BitBtn1); });
    // A bitmap button: Space presses it (as any button), and so does Enter while it has the focus.
    for (const int key : {int(Qt::Key_Return), int(Qt::Key_Enter)})
        new QShortcut(QKeySequence(key), BitBtn1, BitBtn1, &QToolButton::animateClick, Qt::WidgetShortcut);

    // Centred at every start, and never past the screen's top-left; the stored position is not used.
    if (const QScreen* display = screen())
        move(placedWithin(display->availableGeometry(), size()));
}

void TForm1::BitBtn1Click(QObject* /*Sender*/)
{
    close();
}

void TForm1::X1Click(QObject* /*Sender*/)
{
    close();
}

void TForm1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    FormActivate(this);
}

void TForm1::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate(this);
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // Closing during a download ends it at once: nothing more of the file goes out while the program
    // winds down, and the port's close does not wait for the driver to drain the rest onto the line.
    cancelDownload();
    QWidget::closeEvent(event);
}

void TForm1::contextMenuEvent(QContextMenuEvent* event)
{
    // Centred horizontally on the click point, wherever in the window the click landed.
    const QPoint at = event->globalPos() - QPoint(PopupMenu1->sizeHint().width() / 2, 0);
    openPopupMenu(at);
    event->accept();
}
