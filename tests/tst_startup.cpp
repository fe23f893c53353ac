// Start-up: a port that cannot be opened is shown to the operator and ends the program with a failure.

#include "app/console.h"
#include "app/placement.h"
#include "app/qtsetup.h"
#include "app/resourcepictures.h"
#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdcomport.h"
#include "tests/messageboxcatcher.h"
#include "tests/ptypair.h"

#include <QAction>
#include <QBuffer>
#include <QFile>
#include <QFontDatabase>
#include <QGlyphRun>
#include <QGroupBox>
#include <QGuiApplication>
#include <QImageReader>
#include <QMenu>
#include <QPainter>
#include <QRawFont>
#include <QScreen>
#include <QTemporaryFile>
#include <QTest>
#include <QTextLayout>
#include <QTimer>
#include <QToolButton>

#include <csignal>
#include <memory>

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    // First: its pictures must be the first that the process reads.
    void theWindowHasItsDescribedFrame();
    void aPortThatCannotBeOpenedIsShownAndFailsTheStart_data();
    void aPortThatCannotBeOpenedIsShownAndFailsTheStart();
    void aNormalStartRunsUntilTheWindowClosesAndSucceeds_data();
    void aNormalStartRunsUntilTheWindowClosesAndSucceeds();
    void theWindowIsCentredAtEveryStart();
    void theWindowStaysOnScreensOfAnySize_data();
    void theWindowStaysOnScreensOfAnySize();
    void missingKoreanFontsAreNamed_data();
    void missingKoreanFontsAreNamed();
};

void StartupTest::aPortThatCannotBeOpenedIsShownAndFailsTheStart_data()
{
    QTest::addColumn<QString>("why");
    QTest::newRow("missing") << QStringLiteral("missing");
    QTest::newRow("busy") << QStringLiteral("busy");
    QTest::newRow("not a serial device") << QStringLiteral("regular file");
}

void StartupTest::aPortThatCannotBeOpenedIsShownAndFailsTheStart()
{
    QFETCH(QString, why);
    PtyPair line;
    QVERIFY2(line.isValid(), "could not make a pseudo-terminal pair");
    std::unique_ptr<TApdComPort> holder;
    QTemporaryFile plainFile;
    QString device;
    QString reason;
    if (why == QStringLiteral("missing")) {
        device = line.slavePath() + QStringLiteral("-gone");
        reason = QStringLiteral("이 컴퓨터에 없");
    } else if (why == QStringLiteral("busy")) {
        device = line.slavePath();
        holder = std::make_unique<TApdComPort>(device);
        reason = QStringLiteral("다른 프로그램 tst_startup(프로세스 ");
    } else {
        plainFile.open();
        device = plainFile.fileName();
        reason = QStringLiteral("직렬 포트가 아니라 일반 파일입니다");
    }

    MessageBoxCatcher catcher;
    const int status = execConsole(device);

    QVERIFY2(status != 0, "a start-up that failed reported success");
    QVERIFY2(catcher.texts().size() == 1,
             qPrintable(QStringLiteral("expected one message, got %1").arg(catcher.texts().size())));
    const QString message = catcher.texts().constFirst();
    QVERIFY2(message.startsWith(QStringLiteral("COM1(%1)을 열 수 없습니다.\n").arg(device)),
             qPrintable(QStringLiteral("the first line does not say that COM1 with its device cannot be opened: ")
                        + message));
    QVERIFY2(message.contains(reason), qPrintable(QStringLiteral("the message does not give the reason: ") + message));
}

void StartupTest::aNormalStartRunsUntilTheWindowClosesAndSucceeds_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("exit button") << QStringLiteral("BitBtn1");
    QTest::newRow("exit button, Enter") << QStringLiteral("BitBtn1 Enter");
    QTest::newRow("exit button, keypad Enter") << QStringLiteral("BitBtn1 keypad Enter");
    QTest::newRow("exit button, Space") << QStringLiteral("BitBtn1 Space");
    QTest::newRow("menu exit item") << QStringLiteral("X1");
    QTest::newRow("system close") << QStringLiteral("close");
    // A desktop logging out, Ctrl+C in the starting terminal, a closed terminal: as the exit button.
    QTest::newRow("SIGTERM") << QStringLiteral("SIGTERM");
    QTest::newRow("SIGINT") << QStringLiteral("SIGINT");
    QTest::newRow("SIGHUP") << QStringLiteral("SIGHUP");
    QTest::newRow("SIGTERM with the menu open") << QStringLiteral("SIGTERM menu");
    QTest::newRow("SIGTERM with the open-file dialog up") << QStringLiteral("SIGTERM dialog");
}

void StartupTest::aNormalStartRunsUntilTheWindowClosesAndSucceeds()
{
    QFETCH(QString, how);
    PtyPair line;
    QVERIFY2(line.isValid(), "could not make a pseudo-terminal pair");
    bool sawWindow = false;
    QTimer closer;
    closer.setSingleShot(true);
    closer.callOnTimeout([&] {
        sawWindow = Form1 != nullptr && Form1->isVisible();
        if (Form1 == nullptr)
            return;
        if (how == QStringLiteral("BitBtn1"))
            QTest::mouseClick(Form1->BitBtn1, Qt::LeftButton);
        else if (how.startsWith(QStringLiteral("BitBtn1 "))) {
            // The key goes to the focused button; the window's other keys must not take it.
            Form1->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(Form1));
            Form1->BitBtn1->setFocus(Qt::TabFocusReason);
            QVERIFY(Form1->BitBtn1->hasFocus());
            if (how.endsWith(QStringLiteral("Space")))
                QTest::keyClick(Form1->BitBtn1, Qt::Key_Space);
            else if (how.contains(QStringLiteral("keypad")))
                QTest::keyClick(Form1->BitBtn1, Qt::Key_Enter, Qt::KeypadModifier);
            else
                QTest::keyClick(Form1->BitBtn1, Qt::Key_Return);
        }
        else if (how == QStringLiteral("X1"))
            Form1->X1->trigger();
        else if (how.startsWith(QStringLiteral("SIG"))) {
            const int signal = how.startsWith(QStringLiteral("SIGINT")) ? SIGINT
                : how.startsWith(QStringLiteral("SIGHUP"))              ? SIGHUP
                                                                        : SIGTERM;
            if (how.endsWith(QStringLiteral("menu")))
                Form1->PopupMenu1->popup(Form1->mapToGlobal(QPoint(400, 100)));
            if (how.endsWith(QStringLiteral("dialog"))) {
                QTimer::singleShot(200, [signal] { std::raise(signal); });
                Form1->SpeedButton8Click(nullptr);
            } else {
                std::raise(signal);
            }
        } else
            Form1->close();
    });
    closer.start(200);
    QTimer failsafe;
    failsafe.callOnTimeout([] { QCoreApplication::exit(99); });
    failsafe.start(10000);
    const int status = execConsole(line.slavePath());
    QVERIFY2(sawWindow, "the window was not shown");
    QVERIFY2(status == 0, qPrintable(QStringLiteral("closing by %1 ended with status %2").arg(how).arg(status)));
    QVERIFY2(Form1 == nullptr, "Form1 still points at a destroyed window");
}

void StartupTest::initTestCase()
{
    // As the console's start does, before any picture is read.
    useBuiltInReaderForResourcePictures();
}

void StartupTest::theWindowHasItsDescribedFrame()
{
    PtyPair line;
    TForm1 form(line.slavePath());
    QCOMPARE(form.windowTitle(), QStringLiteral("그래 잘가라!"));
    QCOMPARE(form.size(), QSize(737, 348));
    QVERIFY2(form.minimumSize() == form.maximumSize(), "the window can be resized");
    QVERIFY2(!(form.windowFlags() & Qt::WindowMaximizeButtonHint), "the window offers maximise");
    QVERIFY2(form.windowFlags() & Qt::WindowMinimizeButtonHint, "the window cannot be minimised");
    QVERIFY2(!form.windowIcon().isNull(), "the window has no icon");
    QCOMPARE(form.BitBtn1->text(), QStringLiteral("끝내기 (&X)"));
    QCOMPARE(form.BitBtn1->geometry(), QRect(80, 256, 75, 65));
    QCOMPARE(form.StatusBar1->geometry(), QRect(0, 327, 737, 21));
    QVERIFY2(form.BitBtn1->font().bold(), "the exit button's caption is not bold");

    // Every picture of the window shown whole, and no image format plugin loaded to read them.
    form.grab();
#ifdef Q_OS_LINUX
    QFile maps(QStringLiteral("/proc/self/maps"));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    QVERIFY2(!mapped.contains("/imageformats/"), "image format plugins were loaded for the window's pictures");
    QVERIFY2(!mapped.contains("NanumBarunGothicBold"), "the installed bold face was read for the bold captions");
#endif
#ifndef Q_OS_WIN
    // The bold captions come whole from their own cut of the bold face, with the pixels that the installed
    // face draws.
    const auto drawn = [](const QString& text, const QFont& font) {
        QImage image(160, 24, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setFont(font);
        painter.drawText(QPoint(2, 17), text);
        return image;
    };
    const bool installed = QFontDatabase::families().contains(QStringLiteral("NanumBarunGothic"));
    const std::pair<QWidget*, QString> captions[] = {
        {form.GroupBox1, form.GroupBox1->title()},
        {form.BitBtn1, form.BitBtn1->text().remove(QLatin1Char('&'))},
    };
    for (const auto& [widget, text] : captions) {
        QTextLayout layout(text, widget->font());
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        for (const QGlyphRun& run : layout.glyphRuns())
            QVERIFY2(run.rawFont().familyName() == QStringLiteral("Robot Console Caption"),
                     qPrintable(text + QStringLiteral(" is drawn partly from ") + run.rawFont().familyName()));
        QFont face = widget->font();
        face.setFamilies({QStringLiteral("NanumBarunGothic")});
        QVERIFY2(!installed || drawn(text, widget->font()) == drawn(text, face),
                 qPrintable(text + QStringLiteral(" is not drawn as the installed bold face draws it")));
    }
#endif
    const std::pair<QToolButton*, QString> pictures[] = {
        {form.SpeedButton1, QStringLiteral(":/glyphs/up.png")},
        {form.SpeedButton2, QStringLiteral(":/glyphs/left.png")},
        {form.SpeedButton3, QStringLiteral(":/glyphs/right.png")},
        {form.SpeedButton4, QStringLiteral(":/glyphs/down.png")},
        {form.SpeedButton5, QStringLiteral(":/glyphs/stop-normal.png")},
        {form.SpeedButton6, QStringLiteral(":/glyphs/cable.png")},
        {form.SpeedButton7, QStringLiteral(":/glyphs/computer.png")},
        {form.SpeedButton8, QStringLiteral(":/glyphs/folder.png")},
        {form.SpeedButton9, QStringLiteral(":/glyphs/enter.png")},
        {form.BitBtn1, QStringLiteral(":/glyphs/close.png")},
    };
    for (const auto& [button, path] : pictures) {
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
        QBuffer bytes;
        bytes.setData(file.readAll());
        QImageReader reader(&bytes, "png");
        reader.setAutoDetectImageFormat(false);
        const QImage described = reader.read().convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const QImage shown
            = button->icon().pixmap(described.size()).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QVERIFY2(!described.isNull() && shown == described,
                 qPrintable(path + QStringLiteral(" is not shown as it is")));
    }
}

void StartupTest::theWindowIsCentredAtEveryStart()
{
    PtyPair line;
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    for (int start = 0; start < 2; ++start) {
        TForm1 form(line.slavePath());
        const QPoint centre = form.geometry().center();
        QVERIFY2(qAbs(centre.x() - area.center().x()) <= 1 && qAbs(centre.y() - area.center().y()) <= 1,
                 qPrintable(QStringLiteral("start %1 placed the window's centre at %2,%3, the screen's is %4,%5")
                                .arg(start).arg(centre.x()).arg(centre.y()).arg(area.center().x())
                                .arg(area.center().y())));
    }
}

void StartupTest::theWindowStaysOnScreensOfAnySize_data()
{
    QTest::addColumn<QRect>("area");
    QTest::addColumn<QPoint>("topLeft");
    QTest::newRow("1024x768: centred") << QRect(0, 0, 1024, 768) << QPoint(143, 210);
    QTest::newRow("640x480: on screen from its left edge") << QRect(0, 0, 640, 480) << QPoint(0, 66);
    QTest::newRow("1024x768 at scale 2: from the top left") << QRect(0, 0, 512, 384) << QPoint(0, 18);
    QTest::newRow("a panel along the left and the top") << QRect(64, 32, 640, 300) << QPoint(64, 32);
    QTest::newRow("a second screen to the right") << QRect(1920, 0, 1280, 1024) << QPoint(2191, 338);
}

void StartupTest::theWindowStaysOnScreensOfAnySize()
{
    QFETCH(QRect, area);
    QFETCH(QPoint, topLeft);
    const QPoint placed = placedWithin(area, QSize(737, 348));
    QVERIFY2(placed == topLeft,
             qPrintable(QStringLiteral("on %1x%2 at %3,%4 the window went to %5,%6, expected %7,%8")
                            .arg(area.width())
                            .arg(area.height())
                            .arg(area.left())
                            .arg(area.top())
                            .arg(placed.x())
                            .arg(placed.y())
                            .arg(topLeft.x())
                            .arg(topLeft.y())));
    QVERIFY2(area.contains(placed), "the window's top-left corner is off the screen");
}

void StartupTest::missingKoreanFontsAreNamed_data()
{
    QTest::addColumn<QStringList>("families");
    QTest::addColumn<bool>("told");
    QTest::newRow("Nanum installed") << QStringList{QStringLiteral("DejaVu Sans"), QStringLiteral("NanumGothic")}
                                     << false;
    QTest::newRow("only the coding face") << QStringList{QStringLiteral("NanumGothicCoding")} << false;
    QTest::newRow("no Korean font") << QStringList{QStringLiteral("DejaVu Sans"), QStringLiteral("DejaVu Sans Mono")}
                                    << true;
    QTest::newRow("no font at all") << QStringList{} << true;
}

void StartupTest::missingKoreanFontsAreNamed()
{
    QFETCH(QStringList, families);
    QFETCH(bool, told);
    const QString notice = missingKoreanFontNotice(families);
    QVERIFY2(notice.isEmpty() != told,
             qPrintable(QStringLiteral("with %1 the notice reads '%2'").arg(families.join(u','), notice)));
    if (told)
        QVERIFY2(notice.contains(QStringLiteral("fonts-nanum")),
                 qPrintable(QStringLiteral("the notice does not name the package: ") + notice));
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
