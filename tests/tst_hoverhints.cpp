// Hover hints: the control under the mouse names itself in the hint panel; controls without a hint keep it.

#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdterminal.h"
#include "link/linkmonitor.h"
#include "tests/ptypair.h"

#include <QGroupBox>
#include <QLabel>
#include <QScopeGuard>
#include <QTest>
#include <QToolButton>

#include <memory>

namespace {

const QString kPaneHint = QStringLiteral("모니터 창 - 기록: Ctrl+Shift+L, 저장: Ctrl+Shift+S");

} // namespace

class HoverHintsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void eachControlNamesItselfInTheHintPanel_data();
    void eachControlNamesItselfInTheHintPanel();
    void movingOntoAControlWithoutAHintKeepsTheLastOne_data();
    void movingOntoAControlWithoutAHintKeepsTheLastOne();
    void onlyTheDirectionButtonsHaveToolTips();
    void theWholeLongestHintFitsItsPanel();

private:
    // Moves the mouse through the window, as the platform does, to `local` inside `widget`.
    void hover(QWidget* widget, QPoint local = {-1, -1});
    QWidget* control(const QString& name) const;

    std::unique_ptr<PtyPair> m_line;
    std::unique_ptr<TForm1> m_form;
};

void HoverHintsTest::initTestCase()
{
    m_line = std::make_unique<PtyPair>();
    QVERIFY2(m_line->isValid(), "could not make a pseudo-terminal pair");
    m_form = std::make_unique<TForm1>(m_line->slavePath());
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
}

void HoverHintsTest::cleanupTestCase()
{
    m_form.reset();
    m_line.reset();
}

void HoverHintsTest::init()
{
    m_form->StatusBar1->setPanelText(3, QString());
}

QWidget* HoverHintsTest::control(const QString& name) const
{
    return name == QStringLiteral("Form1") ? m_form.get() : m_form->findChild<QWidget*>(name);
}

void HoverHintsTest::hover(QWidget* widget, QPoint local)
{
    if (local == QPoint(-1, -1))
        local = widget->rect().center();
    // Two steps inside the control: a move onto the very point the mouse already rests on is no move.
    for (const QPoint step : {local + QPoint(1, 1), local}) {
        QTest::mouseMove(m_form->windowHandle(), widget->mapTo(m_form.get(), step));
        QCoreApplication::processEvents();
    }
}

void HoverHintsTest::eachControlNamesItselfInTheHintPanel_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<QString>("hint");
    const QPoint centre(-1, -1);
    QTest::newRow("window") << "Form1" << QPoint(600, 310) << QStringLiteral("마우스 오른쪽 버튼을 '클릭' 해보세요.");
    QTest::newRow("pad") << "GroupBox1" << QPoint(12, 200) << QStringLiteral("방향 전환 판넬");
    QTest::newRow("up") << "SpeedButton1" << centre << QStringLiteral("전진 버튼");
    QTest::newRow("left") << "SpeedButton2" << centre << QStringLiteral("좌회전 버튼");
    QTest::newRow("right") << "SpeedButton3" << centre << QStringLiteral("우회전 버튼");
    QTest::newRow("down") << "SpeedButton4" << centre << QStringLiteral("후진 버튼");
    QTest::newRow("stop") << "SpeedButton5" << centre << QStringLiteral("정지 버튼");
    QTest::newRow("cable") << "SpeedButton6" << centre << QStringLiteral("파일 다운로드 명령");
    QTest::newRow("folder") << "SpeedButton8" << centre << QStringLiteral("다운로드 파일 열기");
    QTest::newRow("computer") << "SpeedButton7" << centre << QStringLiteral("다운 프로그램 실행하기");
    QTest::newRow("enter") << "SpeedButton9" << centre << QStringLiteral("엔터 명령");
    QTest::newRow("exit") << "BitBtn1" << centre << QStringLiteral("프로그램 닫기 .");
    QTest::newRow("terminal") << "ApdTerminal1" << centre << kPaneHint;
    QTest::newRow("terminal's border") << "ApdTerminal1Frame" << QPoint(1, 100)
                                       << QStringLiteral("마우스 오른쪽 버튼을 '클릭' 해보세요.");
}

void HoverHintsTest::eachControlNamesItselfInTheHintPanel()
{
    QFETCH(QString, name);
    QFETCH(QPoint, at);
    QFETCH(QString, hint);
    QWidget* widget = control(name);
    QVERIFY2(widget != nullptr, qPrintable(name + QStringLiteral(" is missing")));
    m_form->StatusBar1->setPanelText(1, QStringLiteral("one"));
    m_form->StatusBar1->setPanelText(2, QStringLiteral("two"));
    hover(widget, at);
    QCOMPARE(m_form->StatusBar1->panelText(3), hint);
    QVERIFY2(m_form->StatusBar1->panelText(1) == QStringLiteral("one")
                 && m_form->StatusBar1->panelText(2) == QStringLiteral("two"),
             "a hover changed a command panel");
}

void HoverHintsTest::movingOntoAControlWithoutAHintKeepsTheLastOne_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("onto");
    QTest::addColumn<QString>("hint");
    QTest::newRow("terminal to Rx label") << "ApdTerminal1"
                                          << "Label1" << kPaneHint;
    QTest::newRow("terminal to Tx label") << "ApdTerminal1"
                                          << "Label2" << kPaneHint;
    QTest::newRow("exit to Rx light") << "BitBtn1" << "ApdStatusLight1" << QStringLiteral("프로그램 닫기 .");
    QTest::newRow("exit to Tx light") << "BitBtn1" << "ApdStatusLight2" << QStringLiteral("프로그램 닫기 .");
    QTest::newRow("enter to status bar") << "SpeedButton9" << "StatusBar1" << QStringLiteral("엔터 명령");
    // The error text left of the exit button, which lets the clicks through to the button.
    QTest::newRow("terminal to error label") << QStringLiteral("ApdTerminal1") << QStringLiteral("Label3") << kPaneHint;
}

void HoverHintsTest::movingOntoAControlWithoutAHintKeepsTheLastOne()
{
    QFETCH(QString, from);
    QFETCH(QString, onto);
    QFETCH(QString, hint);
    m_form->Label3->setText(QStringLiteral("오류가 발생하였습니다."));
    m_form->Label3->adjustSize();
    const auto noError = qScopeGuard([this] {
        m_form->Label3->clear();
        m_form->Label3->adjustSize();
    });
    hover(control(from));
    hover(control(onto));
    QCOMPARE(m_form->StatusBar1->panelText(3), hint);
}

void HoverHintsTest::onlyTheDirectionButtonsHaveToolTips()
{
    const QMap<QString, QString> tips{{QStringLiteral("SpeedButton1"), QStringLiteral("전진")},
                                      {QStringLiteral("SpeedButton2"), QStringLiteral("좌회전")},
                                      {QStringLiteral("SpeedButton3"), QStringLiteral("우회전")},
                                      {QStringLiteral("SpeedButton4"), QStringLiteral("후진")},
                                      {QStringLiteral("SpeedButton5"), QStringLiteral("정지")}};
    const QList<QWidget*> all = m_form->findChildren<QWidget*>();
    for (QWidget* widget : all) {
        const QString expected = tips.value(widget->objectName());
        QVERIFY2(widget->toolTip() == expected,
                 qPrintable(QStringLiteral("%1 has tool-tip '%2'").arg(widget->objectName(), widget->toolTip())));
    }
    QVERIFY2(m_form->toolTip().isEmpty(), "the window has a tool-tip");
}

void HoverHintsTest::theWholeLongestHintFitsItsPanel()
{
    const QRect panel = m_form->StatusBar1->panelRect(3);
    for (const QString& longest : {QStringLiteral("마우스 오른쪽 버튼을 '클릭' 해보세요."), kPaneHint,
                                   QStringLiteral("모니터 창 - 기록 끝: Ctrl+Shift+L, 저장: Ctrl+Shift+S")})
        QVERIFY2(m_form->StatusBar1->fontMetrics().horizontalAdvance(longest) + 8 <= panel.width(),
                 qPrintable(QStringLiteral("the hint panel is %1 px wide, '%2' needs %3")
                                .arg(panel.width())
                                .arg(longest)
                                .arg(m_form->StatusBar1->fontMetrics().horizontalAdvance(longest))));
    QCOMPARE(panel.right(), m_form->StatusBar1->rect().right());
}

QTEST_MAIN(HoverHintsTest)
#include "tst_hoverhints.moc"
