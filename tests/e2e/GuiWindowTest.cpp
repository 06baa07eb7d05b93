// The window with the upgrade workflow wired in as the program wires it, in this process: the
// windows come from CreateProgramWindows, the workflow from WireWorkflow, the device is a
// simulated QX40 and the server the reference upgrade server on a loopback address of its own.
// The test clicks as the user would: the start button, the guided dialog's buttons, the cancel
// button, the window's close.
//
// The last function ends the application's event loops for good (the program ends), so ctest
// runs each function in a process of its own.
#include "GifPicture.h"
#include "HintWin.h"
#include "MainWindow.h"
#include "Program.h"
#include "SimHarness.h"
#include "TCP.h"
#include "UpgradeServer.h"
#include "WindowTest.h"
#include "WindowTexts.h"
#include "WindowThreadLink.h"
#include "Workflow.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

using namespace std::chrono_literals;

namespace {

const QString Done = QStringLiteral("完 成");
const QString Seen = QStringLiteral("看到了");
const QString NotSeen = QStringLiteral("没有看到");

// A cancel, and the end of the program after a close, take effect within this: far below the
// 30 s receive limit that would otherwise end a stalled exchange.
constexpr qint64 kPromptMs = 10000;

// The visible button of `dialog` with this caption, or none.
QPushButton* VisibleButton(QWidget* dialog, const QString& caption) {
    for (auto* button : dialog->findChildren<QPushButton*>())
        if (button->isVisible() && button->text() == caption)
            return button;
    return nullptr;
}

// Calls `check` every 10 ms on the window's thread, also while the start action runs and
// processes window messages, until it returns true.
class TPoller : public QObject {
public:
    explicit TPoller(std::function<bool()> check) : check_(std::move(check)) { startTimer(10); }
    bool Fired() const { return fired_; }

private:
    void timerEvent(QTimerEvent*) override {
        if (!fired_)
            fired_ = check_();
    }
    std::function<bool()> check_;
    bool fired_ = false;
};

QString Status() {
    return Form_Main->Lab_Err->text();
}

// Clicks But_Stat once, the first time it becomes enabled while the start action runs: the
// worker enables it as the exchange ends, a moment before the workflow's next step disables it.
class TClickOnStartEnabled : public QObject {
public:
    explicit TClickOnStartEnabled(const TWorkflow& flow) : flow_(flow) {
        Form_Main->But_Stat->installEventFilter(this);
    }
    // The action's phase at the click; nothing when there was none.
    std::optional<TWorkflowPhase> ClickedIn() const { return clickedIn_; }

private:
    bool eventFilter(QObject* watched, QEvent* event) override {
        QPushButton* start = Form_Main->But_Stat;
        if (watched == start && event->type() == QEvent::EnabledChange && start->isEnabled() &&
            flow_.Busy() && !clickedIn_) {
            clickedIn_ = flow_.Phase();
            QTest::mouseClick(start, Qt::LeftButton);
        }
        return false;
    }
    const TWorkflow& flow_;
    std::optional<TWorkflowPhase> clickedIn_;
};

} // namespace

class TestGuiWorkflow : public QObject {
    Q_OBJECT

    std::unique_ptr<TWorkflowWiring> wiring;

private slots:
    void init() {
        QVERIFY(CreateShownProgramWindows());
        wiring = WireWorkflow(*Form_Main);
    }

    void cleanup() {
        wiring.reset();
        DestroyProgramWindows();
    }

    void firmwareThroughTheGuidedDialog() {
        TempDir dir;
        const std::string image = TestImage(70001);
        TUpgradeServer server({.firmware = image, .signingKey = "trusted"});
        TSimDevice sim({"--image-out", dir / "programmed.bin"});
        QVERIFY(!sim.Path().empty());
        SetPorts(sim.Path());
        qputenv("KESTREL_UPDATE_HOST", QByteArray::fromStdString(server.Address()));

        // Three steps with "完 成", "没有看到" at the fourth, the same again, then "看到了".
        const QStringList answers = {Done, Done, Done, NotSeen, Done, Done, Done, Seen};
        QStringList texts, clicked;
        ModalDriver driver(HintForm, [&](int n) {
            texts << HintForm->HintMemo->toPlainText();
            QPushButton* button =
                n < answers.size() ? VisibleButton(HintForm, answers[n]) : nullptr;
            if (!button) { // not the expected step: end the steps so that the test can report
                clicked << QStringLiteral("?");
                HintForm->done(THintForm::ResultSeen);
                return;
            }
            clicked << button->text();
            QTest::mouseClick(button, Qt::LeftButton);
        });

        // A click in the moment the worker has enabled the start button starts nothing.
        TClickOnStartEnabled secondStart(wiring->Flow());

        QTest::mouseClick(Form_Main->But_Stat, Qt::LeftButton);

        QVERIFY(secondStart.ClickedIn() == TWorkflowPhase::ExchangeEnded);
        QCOMPARE(clicked, answers);
        const QStringList& steps = THintForm::HintSteps();
        const QString first = steps[0] + QLatin1Char('\n') + steps[1];
        QCOMPARE(texts.value(0), first);
        QCOMPARE(texts.value(3), steps[4]);
        QCOMPARE(texts.value(4), first); // "没有看到" starts again at the first step
        QCOMPARE(texts.value(7), steps[4]);
        QVERIFY(wiring->LastResult() == TWorkflowResult::FirmwareApplied);
        QCOMPARE(Status(), QStringLiteral("软件更新成功！"));
        QVERIFY(Form_Main->But_Stat->isEnabled());
        QVERIFY(!Form_Main->But_Stop->isEnabled());
        QVERIFY(!HintForm->isVisible());
        QCOMPARE(Form_Main->CBox_HardTyp->currentText(), QStringLiteral("QX40"));
        QCOMPARE(Form_Main->CBox_COMIID->currentText(), QStringLiteral("COM1"));
        QVERIFY(sim.WaitFor("image written"));
        QVERIFY(ReadFileBytes(dir / "programmed.bin") == Filled(image, 512));
        QVERIFY(server.NextSession().find(" id=") != std::string::npos);
        QVERIFY(server.StopAndCollectSessions().empty()); // one exchange only
    }

    void cancelDuringAStalledExchange() {
        TempDir dir;
        // The server never sends the data length: the worker waits in its receive.
        TUpgradeServer server({.firmware = TestImage(4096), .faults = {"stall-at:length"}});
        TSimDevice sim;
        SetPorts(sim.Path());
        qputenv("KESTREL_UPDATE_HOST", QByteArray::fromStdString(server.Address()));

        bool stopWasEnabled = false;
        QElapsedTimer sinceStop;
        TPoller stop([&] {
            // Waiting for the length, with the busy picture up and the cancel button live.
            if (!Form_Main->But_Stop->isEnabled() || Status() != QStringLiteral("升级进行中请等待"))
                return false;
            stopWasEnabled = true;
            sinceStop.start();
            QTest::mouseClick(Form_Main->But_Stop, Qt::LeftButton);
            return true;
        });
        QTest::mouseClick(Form_Main->But_Stat, Qt::LeftButton);

        QVERIFY(stopWasEnabled);
        // The cancel ends the blocked receive at once, not when its time limit passes.
        const qint64 cancelMs = sinceStop.elapsed();
        QVERIFY2(cancelMs < kPromptMs,
                 qPrintable(QStringLiteral("cancel took %1 ms").arg(cancelMs)));
        QVERIFY(wiring->LastResult() == TWorkflowResult::Cancelled);
        QCOMPARE(int(wiring->Flow().LastCode()), int(kResultCancelled));
        QCOMPARE(Status(), QString::fromUtf8(WindowText::Cancelled));
        QVERIFY(Form_Main->But_Stat->isEnabled());
        QVERIFY(!Form_Main->But_Stop->isEnabled());
        QVERIFY(Form_Main->IMG1->isVisible());
        QVERIFY(!Form_Main->IMG2->isVisible());
        QVERIFY(!HeldOpenHere(sim.Path()));
        // The server logs a session once the client has closed its connection.
        std::string session = server.NextSession();
        QVERIFY2(session.find("@length") != std::string::npos, session.c_str());
        // Nothing else runs: the status stays after pending messages.
        QTest::qWait(0);
        QCOMPARE(Status(), QString::fromUtf8(WindowText::Cancelled));
    }

    void errorBoxIsShownAndCanBeClosed() {
        // What the self-replacement reports when its files cannot be written.
        const QString text = QStringLiteral("Cannot create file \"/x/kestrel.bak\". Disk full");
        QString title, shown;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        TPoller answer([&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return false;
            title = box->windowTitle();
            shown = box->text();
            icon = box->icon();
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
            return true;
        });
        StderrCapture err;
        Form_Main->Link().ShowError(text.toStdString());
        QVERIFY(answer.Fired());
        QCOMPARE(shown, text);
        QCOMPARE(icon, QMessageBox::Critical);
        QCOMPARE(title, ApplicationTitle());
        QVERIFY(QString::fromStdString(err.Text()).contains(text));
        QVERIFY(!QApplication::activeModalWidget());
    }

    // Last: the program ends here.
    void closeWhileProgramming() {
        TempDir dir;
        const std::string image = TestImage(100000);
        TUpgradeServer server({.firmware = image, .signingKey = "trusted"});
        // At the line rate the transfer takes seconds.
        TSimDevice sim({"--line-rate", "--image-out", dir / "programmed.bin"});
        SetPorts(sim.Path());
        qputenv("KESTREL_UPDATE_HOST", QByteArray::fromStdString(server.Address()));

        bool closed = true;
        TWorkflowPhase phaseAtClose = TWorkflowPhase::Idle;
        TPoller closer([&] {
            if (Status() != QStringLiteral("正在更新设备程序......请不要断开连接！"))
                return false;
            phaseAtClose = wiring->Flow().Phase();
            closed = Form_Main->close();
            return true;
        });
        ModalDriver hint(HintForm, [](int) { HintForm->done(THintForm::ResultSeen); });

        QTest::mouseClick(Form_Main->But_Stat, Qt::LeftButton);

        QVERIFY(closer.Fired());
        QVERIFY(phaseAtClose == TWorkflowPhase::Applying);
        QVERIFY(!closed); // deferred: programming went on
        QVERIFY(Form_Main->isVisible());
        QCOMPARE(Status(), QStringLiteral("软件更新成功！"));
        QCOMPARE(hint.Displays(), 0); // the program ends instead of guiding the user
        QVERIFY(wiring->LastResult() == TWorkflowResult::FirmwareApplied);
        QVERIFY(!HeldOpenHere(sim.Path()));
        QVERIFY(sim.WaitFor("image written"));
        QVERIFY(ReadFileBytes(dir / "programmed.bin") == Filled(image, 512));

        // The program ends as soon as the action has returned to the message loop.
        QEventLoop loop;
        QTimer::singleShot(kPromptMs, &loop, [&] { loop.exit(2); });
        QCOMPARE(loop.exec(), 0);
    }
};

KESTREL_WINDOW_TEST_MAIN(TestGuiWorkflow)
#include "GuiWindowTest.moc"
