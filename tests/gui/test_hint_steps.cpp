// The guided dialog: what each of the four steps shows, the answers that end or restart the
// steps, the other ways of closing it, and its modality over the main window.
#include "GifPicture.h"
#include "HintWin.h"
#include "MainWindow.h"
#include "WindowTest.h"
#include "WindowThreadLink.h"

#include <QPlainTextEdit>
#include <QPushButton>

#include <vector>

namespace {

// What one modal display showed.
struct StepView {
    QString picture; // the one visible picture, or a list when there are several
    QString text;
    QStringList buttons; // visible buttons, by caption
    bool modalOverMain = false;
    QPoint centreOffset;
};

StepView Observe(THintForm& hint) {
    StepView d;
    QStringList pictures;
    for (auto* picture : {hint.IMG1, hint.IMG2, hint.IMG3})
        if (picture->isVisible())
            pictures << picture->objectName();
    d.picture = pictures.join(',');
    d.text = hint.HintMemo->toPlainText();
    for (auto* button : {hint.But2, hint.But1, hint.But3})
        if (button->isVisible())
            d.buttons << button->text();
    d.modalOverMain = QApplication::activeModalWidget() == &hint &&
                      hint.windowModality() != Qt::NonModal && Form_Main->isVisible();
    d.centreOffset = hint.geometry().center() - Form_Main->geometry().center();
    return d;
}

const QString Done = QStringLiteral("完 成");
const QString Seen = QStringLiteral("看到了");
const QString NotSeen = QStringLiteral("没有看到");

} // namespace

class TestHintSteps : public QObject {
    Q_OBJECT

private:
    std::vector<StepView> shown;

    // Runs ShowHintSteps through the main window, answering display n with answers[n].
    void Run(const std::vector<std::function<void(THintForm&)>>& answers) {
        shown.clear();
        ModalDriver driver(HintForm, [&](int n) {
            shown.push_back(Observe(*HintForm));
            if (n < static_cast<int>(answers.size())) {
                answers[static_cast<size_t>(n)](*HintForm);
                return;
            }
            // More displays than answers: end the steps so that the test can report it.
            THintForm& hint = *HintForm;
            hint.But2->isVisible() ? hint.But2->click() : hint.But1->click();
        });
        Form_Main->Link().ShowHintSteps();
        QCOMPARE(driver.Displays(), static_cast<int>(answers.size()));
    }

    static std::function<void(THintForm&)> Click(QPushButton* THintForm::*button) {
        return [button](THintForm& hint) {
            QVERIFY((hint.*button)->isVisible());
            (hint.*button)->click();
        };
    }

    // A click as the platform delivers it, to the main window at the start button.
    static void ClickStartThroughTheWindow() {
        QPushButton* start = Form_Main->But_Stat;
        QTest::mouseClick(Form_Main->windowHandle(), Qt::LeftButton, Qt::NoModifier,
                          start->mapTo(Form_Main, start->rect().center()));
    }

    void CheckPass(size_t first) {
        const QStringList& text = THintForm::HintSteps();
        QVERIFY(shown.size() >= first + 4);
        QCOMPARE(shown[first].picture, QStringLiteral("IMG1"));
        QCOMPARE(shown[first].text, text[0] + '\n' + text[1]);
        QCOMPARE(shown[first].buttons, QStringList{Done});
        QCOMPARE(shown[first + 1].picture, QStringLiteral("IMG2"));
        QCOMPARE(shown[first + 1].text, text[2]);
        QCOMPARE(shown[first + 1].buttons, QStringList{Done});
        QCOMPARE(shown[first + 2].picture, QStringLiteral("IMG3"));
        QCOMPARE(shown[first + 2].text, text[3]);
        QCOMPARE(shown[first + 2].buttons, QStringList{Done});
        QCOMPARE(shown[first + 3].picture, QStringLiteral("IMG3"));
        QCOMPARE(shown[first + 3].text, text[4]);
        QCOMPARE(shown[first + 3].buttons, (QStringList{Seen, NotSeen}));
    }

private slots:
    void init() { QVERIFY(CreateShownProgramWindows()); }
    void cleanup() { DestroyProgramWindows(); }

    void dialogAsCreated() {
        THintForm& hint = *HintForm;
        QVERIFY(!hint.isVisible());
        QCOMPARE(hint.windowTitle(), QStringLiteral("操作提示"));
        QCOMPARE(hint.size(), QSize(339, 335));
        QCOMPARE(hint.minimumSize(), hint.maximumSize());
        const Qt::WindowFlags flags = hint.windowFlags();
        // Its own title bar, without a close button: the dialog waits for an answer.
        QVERIFY(hint.findChild<QWidget*>(QStringLiteral("TitleBar")));
        QVERIFY(!hint.findChild<QWidget*>(QStringLiteral("TitleClose")));
        QVERIFY(!(flags & (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowMaximizeButtonHint | Qt::WindowSystemMenuHint)));
        QCOMPARE(hint.But2->text(), Seen);
        QCOMPARE(hint.But1->text(), Done);
        QCOMPARE(hint.But3->text(), NotSeen);
        QCOMPARE(hint.But2->geometry(), QRect(13, 299, 80, 27));
        QCOMPARE(hint.But1->geometry(), QRect(133, 299, 80, 27));
        QCOMPARE(hint.But3->geometry(), QRect(245, 299, 80, 27));
        QCOMPARE(hint.HintMemo->geometry(), QRect(10, 250, 321, 41));
        QVERIFY(hint.HintMemo->isReadOnly());
        QCOMPARE(hint.HintMemo->frameShape(), QFrame::NoFrame);
        QVERIFY(hint.HintMemo->font().bold());
        QCOMPARE(hint.HintMemo->palette().color(QPalette::Text), QColor(Qt::red));
        for (TGifPicture* picture : {hint.IMG1, hint.IMG2, hint.IMG3}) {
            QCOMPARE(picture->geometry(), QRect(6, 32, 329, 209));
            QCOMPARE(QSize(picture->Animation().width, picture->Animation().height),
                     QSize(329, 209));
        }
        const QStringList& text = THintForm::HintSteps();
        QCOMPARE(text.size(), 5);
        QCOMPARE(text[0], QStringLiteral("你的设备软件版本太低,请按后面步骤提示完成操作:"));
        QCOMPARE(text[1],
                 QStringLiteral("1. 把QX40设备的电源插头拔掉(USB请不要拔掉)，完成后按[完成]"));
        QCOMPARE(text[2], QStringLiteral("2. 按住QX40设备的[Yes]键，并保持不放。"));
        QCOMPARE(text[3], QStringLiteral("3. 继续按住[Yes]键不放，把电源插头插上。"));
        QCOMPARE(text[4],
                 QStringLiteral(
                     "4. 你是否看到屏幕亮起，但不显示任何信息，大约5秒种以后屏幕出现开机画面。"));
    }

    void notSeenRestartsThenSeenReturns() {
        Run({Click(&THintForm::But1), Click(&THintForm::But1), Click(&THintForm::But1),
             Click(&THintForm::But3), Click(&THintForm::But1), Click(&THintForm::But1),
             Click(&THintForm::But1), Click(&THintForm::But2)});
        QCOMPARE(shown.size(), size_t(8));
        CheckPass(0);
        CheckPass(4);
        for (const StepView& d : shown) {
            QVERIFY(d.modalOverMain);
            QVERIFY2(d.centreOffset.manhattanLength() <= 2,
                     qPrintable(QStringLiteral("%1,%2 from the main window's centre")
                                    .arg(d.centreOffset.x())
                                    .arg(d.centreOffset.y())));
        }
        QVERIFY(!HintForm->isVisible());
        QCOMPARE(HintForm->result(), 0);

        // A later call starts again at the first step.
        Run({Click(&THintForm::But1), Click(&THintForm::But1), Click(&THintForm::But1),
             Click(&THintForm::But2)});
        CheckPass(0);
        QCOMPARE(HintForm->result(), 0);
    }

    void otherWaysOfClosingCountAsNotSeen() {
        auto escape = [](THintForm& hint) { QTest::keyClick(&hint, Qt::Key_Escape); };
        auto close = [](THintForm& hint) { hint.close(); };
        auto enter = [](THintForm& hint) {
            // Enter answers nothing: the dialog stays up until a button is clicked.
            QTest::keyClick(&hint, Qt::Key_Return);
            QVERIFY(hint.isVisible());
            hint.But1->isVisible() ? hint.But1->click() : hint.But3->click();
        };
        // Steps 1 to 3 go on however they end; at step 4 only "看到了" ends the steps.
        Run({escape, close, Click(&THintForm::But1), escape,                  //
             Click(&THintForm::But1), Click(&THintForm::But1), escape, close, //
             enter, Click(&THintForm::But1), Click(&THintForm::But1), enter,  //
             Click(&THintForm::But1), Click(&THintForm::But1), Click(&THintForm::But1),
             Click(&THintForm::But2)});
        QCOMPARE(shown.size(), size_t(16));
        for (size_t pass = 0; pass < 16; pass += 4)
            CheckPass(pass);
        QCOMPARE(HintForm->result(), 0);
    }

    void mainWindowTakesNoInputWhileShown() {
        int starts = 0;
        Form_Main->OnStart = [&] { ++starts; };
        bool blocked = false;
        auto tryMain = [&](THintForm& hint) {
            QVERIFY(QApplication::activeModalWidget() == &hint);
            blocked = QApplication::activeModalWidget() == &hint;
            ClickStartThroughTheWindow();
            hint.But1->click();
        };
        Run({tryMain, Click(&THintForm::But1), Click(&THintForm::But1), Click(&THintForm::But2)});
        QVERIFY(blocked);
        QCOMPARE(starts, 0);
        // Afterwards the main window takes input again.
        ClickStartThroughTheWindow();
        QCOMPARE(starts, 1);
    }
};

KESTREL_WINDOW_TEST_MAIN(TestHintSteps)
#include "test_hint_steps.moc"
