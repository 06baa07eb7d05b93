// The main window: its controls as created, the window link calls from the window's thread and
// from a worker thread, the status line's copy on standard error, and the start button.
#include "Demo.h"
#include "GifPicture.h"
#include "HintWin.h"
#include "InfoBrowser.h"
#include "WindowTest.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>

#include <atomic>
#include <future>
#include <thread>

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void init() { CreateProgramWindows({}); }
    void cleanup() { DestroyProgramWindows(); }

    void programStartCreatesBothWindows() {
        QCOMPARE(QApplication::applicationDisplayName(), QStringLiteral("VELT在线升级V1.0"));
        QVERIFY(Form_Main);
        QVERIFY(HintForm);
        QCOMPARE(HintForm->parentWidget(), Form_Main);
        QVERIFY(!HintForm->isVisible());
        QVERIFY(!Form_Main->isVisible()); // shown as the message loop starts
        QCOMPARE(&MainWindow(), static_cast<TWindowLink*>(Form_Main));
    }

    void windowFrameCaptionAndPlace() {
        TForm_Main& form = *Form_Main;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.windowTitle(), QStringLiteral("VELT在线升级1.4"));
        QCOMPARE(form.pos(), QPoint(0, 0));
        QCOMPARE(form.frameGeometry().topLeft(), QPoint(0, 0));
        QCOMPARE(form.size(), QSize(363, 486));
        QCOMPARE(form.minimumSize(), QSize(363, 486));
        QCOMPARE(form.maximumSize(), QSize(363, 486));
        const Qt::WindowFlags flags = form.windowFlags();
        QVERIFY(flags & Qt::WindowMinimizeButtonHint);
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(!form.windowIcon().isNull());
    }

    void controlsAsCreated() {
        TForm_Main& form = *Form_Main;
        auto place = [&](const char* name) {
            QWidget* control = form.findChild<QWidget*>(QString::fromLatin1(name));
            return control ? control->geometry() : QRect();
        };
        QCOMPARE(place("But_Stat"), QRect(21, 387, 100, 36));
        QCOMPARE(place("PBar"), QRect(20, 339, 322, 12));
        QCOMPARE(place("But_Stop"), QRect(21, 435, 100, 36));
        QCOMPARE(place("WebBrowser"), QRect(2, 32, 359, 268));
        QCOMPARE(place("CBox_HardTyp"), QRect(82, 310, 93, 21));
        QCOMPARE(place("CBox_COMIID"), QRect(275, 310, 67, 21));
        QCOMPARE(place("Label1"), QRect(20, 314, 65, 13));
        QCOMPARE(place("Label2"), QRect(212, 313, 62, 15));
        QCOMPARE(place("Lab_Err"), QRect(20, 356, 323, 26));
        QCOMPARE(place("IMG1"), QRect(180, 378, 161, 105));
        QCOMPARE(place("IMG2"), QRect(224, 398, 65, 66));

        auto* start = form.findChild<QPushButton*>("But_Stat");
        auto* stop = form.findChild<QPushButton*>("But_Stop");
        QVERIFY(start && stop);
        QCOMPARE(start->text(), QStringLiteral("在线更新"));
        QVERIFY(start->isEnabled());
        QCOMPARE(stop->text(), QStringLiteral("取消操作"));
        QVERIFY(!stop->isEnabled());

        auto* type = form.findChild<QComboBox*>("CBox_HardTyp");
        QVERIFY(type);
        QVERIFY(!type->isEnabled());
        QCOMPARE(type->currentText(), QStringLiteral("未连接"));
        QCOMPARE(type->count(), 1);
        QCOMPARE(type->itemText(0), QStringLiteral("QX40-TOOL"));
        auto* port = form.findChild<QComboBox*>("CBox_COMIID");
        QVERIFY(port);
        QVERIFY(!port->isEnabled());
        QCOMPARE(port->currentText(), QStringLiteral("未使用"));
        QCOMPARE(port->count(), 16);
        for (int i = 0; i < 16; ++i)
            QCOMPARE(port->itemText(i), QStringLiteral("COM%1").arg(i + 1));

        QCOMPARE(form.findChild<QLabel*>("Label1")->text(), QStringLiteral("设备类型："));
        QCOMPARE(form.findChild<QLabel*>("Label2")->text(), QStringLiteral("通讯端口："));

        auto* status = form.findChild<QLabel*>("Lab_Err");
        QVERIFY(status);
        QVERIFY(status->text().contains(QStringLiteral("VELT")));
        QCOMPARE(status->palette().color(QPalette::WindowText), QColor(Qt::red));
        QVERIFY(status->alignment() & Qt::AlignHCenter);
        QVERIFY(status->wordWrap());
        QCOMPARE(status->font().pointSize(), 8);
        QCOMPARE(status->minimumSize(), status->maximumSize());

        auto* bar = form.findChild<QProgressBar*>("PBar");
        QVERIFY(bar);
        QCOMPARE(bar->orientation(), Qt::Horizontal);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);
        QVERIFY(bar->isTextVisible());
        QCOMPARE(bar->text(), QStringLiteral("0%"));

        auto* emblem = form.findChild<TGifPicture*>("IMG1");
        auto* radar = form.findChild<TGifPicture*>("IMG2");
        QVERIFY(emblem && radar);
        QVERIFY(!emblem->isHidden());
        QVERIFY(radar->isHidden());
        QCOMPARE(emblem->Animation().size, QSize(154, 105));
        QCOMPARE(emblem->Animation().frames.size(), size_t(1));
        QCOMPARE(radar->Animation().size, QSize(63, 63));
        QCOMPARE(radar->Animation().frames.size(), size_t(16));

        auto* timer = form.findChild<QTimer*>("TimerAutoGrade");
        QVERIFY(timer);
        QVERIFY(timer->isActive());
        QVERIFY(timer->isSingleShot());
        QCOMPARE(timer->interval(), 2000);
    }

    void browserOpensTheInformationPage() {
        QWidget* browser = Form_Main->findChild<QWidget*>("WebBrowser");
        QVERIFY(browser);
        const QUrl expected(QStringLiteral(KESTREL_INFO_BASE_URL "/url/QX40Info.htm"));
        QCOMPARE(InfoPageUrl(), expected);
        QCOMPARE(InfoBrowserUrl(browser), expected);
    }

    void statusLineIsCopiedToStandardError() {
        StderrCapture capture;
        Form_Main->ShowStatus("连接设备！请稍后......");
        Form_Main->ShowStatus("两行\n文字");
        std::thread([] { Form_Main->ShowStatus("连接成功！"); }).join();
        QTRY_COMPARE(Form_Main->Lab_Err->text(), QStringLiteral("连接成功！"));
        // Each text is one whole line, in order (the browser may log lines of its own between).
        const QStringList lines = QString::fromStdString(capture.Text()).split('\n');
        qsizetype at = -1;
        for (const QString expected : {"连接设备！请稍后......", "两行 文字", "连接成功！"}) {
            const qsizetype next = lines.indexOf(expected, at + 1);
            QVERIFY2(next > at, qPrintable(QStringLiteral("missing line: ") + expected));
            at = next;
        }
    }

    void workerThreadCallsArePostedWithoutWaiting() {
        TForm_Main& form = *Form_Main;
        const QString before = form.Lab_Err->text();
        // The window's thread does not process messages until the worker is done: a call that
        // waited for it would never return.
        auto done = std::async(std::launch::async, [&form] {
            form.ShowStatus("请求的数据获取成功！");
            form.ProgressBar().SetMax(200);
            form.ProgressBar().SetPosition(50);
            form.ShowBusy(true);
            form.SetStartEnabled(false);
            form.SetStopEnabled(true);
            form.ShowPort(3);
            form.SetDeviceType("QX40");
            form.Repaint();
            return form.DeviceType();
        });
        QVERIFY(done.wait_for(std::chrono::seconds(30)) == std::future_status::ready);
        QCOMPARE(done.get(), std::string("QX40"));
        // Nothing has touched the controls from the worker itself.
        QCOMPARE(form.Lab_Err->text(), before);
        QCOMPARE(form.PBar->maximum(), 100);
        QVERIFY(form.But_Stat->isEnabled());

        QTRY_COMPARE(form.Lab_Err->text(), QStringLiteral("请求的数据获取成功！"));
        QCOMPARE(form.PBar->maximum(), 200);
        QCOMPARE(form.PBar->value(), 50);
        QCOMPARE(form.PBar->text(), QStringLiteral("25%"));
        QVERIFY(form.IMG2->isVisibleTo(&form));
        QVERIFY(!form.IMG1->isVisibleTo(&form));
        QVERIFY(!form.But_Stat->isEnabled());
        QVERIFY(form.But_Stop->isEnabled());
        QCOMPARE(form.CBox_COMIID->currentText(), QStringLiteral("COM3"));
        QCOMPARE(form.CBox_HardTyp->currentText(), QStringLiteral("QX40"));
    }

    void windowThreadCallsActAtOnce() {
        TForm_Main& form = *Form_Main;
        form.ShowStatus("软件更新成功！");
        QCOMPARE(form.Lab_Err->text(), QStringLiteral("软件更新成功！"));
        form.SetStartEnabled(false);
        QVERIFY(!form.But_Stat->isEnabled());
        form.SetStartEnabled(true);
        form.SetStopEnabled(true);
        QVERIFY(form.But_Stop->isEnabled());
        form.ShowBusy(true);
        QVERIFY(form.IMG2->isVisibleTo(&form) && !form.IMG1->isVisibleTo(&form));
        form.ShowBusy(false);
        QVERIFY(!form.IMG2->isVisibleTo(&form) && form.IMG1->isVisibleTo(&form));
    }

    void portAndDeviceTypeBoxes() {
        TForm_Main& form = *Form_Main;
        form.ShowPort(16);
        QCOMPARE(form.CBox_COMIID->currentText(), QStringLiteral("COM16"));
        form.ShowPort(1);
        QCOMPARE(form.CBox_COMIID->currentText(), QStringLiteral("COM1"));
        // No entry above 16 (nor for nonsense numbers): the box stays as it is.
        form.ShowPort(17);
        QCOMPARE(form.CBox_COMIID->currentText(), QStringLiteral("COM1"));
        form.ShowPort(256);
        form.ShowPort(0);
        form.ShowPort(-3);
        QCOMPARE(form.CBox_COMIID->currentText(), QStringLiteral("COM1"));

        QCOMPARE(form.DeviceType(), std::string("未连接"));
        form.SetDeviceType("QX41");
        QCOMPARE(form.CBox_HardTyp->currentText(), QStringLiteral("QX41"));
        QCOMPARE(form.DeviceType(), std::string("QX41"));
        QVERIFY(!form.CBox_HardTyp->isEnabled());
        QVERIFY(!form.CBox_COMIID->isEnabled());
    }

    void progressBarDrawsPercentAndClamps() {
        TProgressBar& bar = Form_Main->ProgressBar();
        QProgressBar* pbar = Form_Main->PBar;
        bar.SetMax(512);
        bar.SetPosition(128);
        QCOMPARE(pbar->text(), QStringLiteral("25%"));
        bar.SetPosition(9999);
        QCOMPARE(pbar->value(), 512);
        QCOMPARE(pbar->text(), QStringLiteral("100%"));
        bar.SetPosition(-5);
        QCOMPARE(pbar->value(), 0);
        // A maximum of 0 must not turn the bar into a busy indicator.
        bar.SetMax(0);
        QVERIFY(pbar->maximum() > pbar->minimum());
    }

    void busyPictureAnimatesWhileVisible() {
        TForm_Main& form = *Form_Main;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(!form.IMG2->IsAnimating());
        bool wrapped = false;
        int last = form.IMG2->CurrentFrame();
        connect(form.IMG2, &TGifPicture::FrameChanged, this, [&](int frame) {
            if (last == 15 && frame == 0)
                wrapped = true;
            last = frame;
        });
        form.ShowBusy(true);
        QVERIFY(form.IMG2->isVisible());
        // Without end: past the last frame back to the first, twice over.
        QTRY_VERIFY_WITH_TIMEOUT(form.IMG2->FrameChanges() >= 40 && wrapped, 60000);
        form.ShowBusy(false);
        QVERIFY(!form.IMG2->isVisible());
        QVERIFY(!form.IMG2->IsAnimating());
        QVERIFY(!form.IMG1->IsAnimating()); // a still picture never animates
    }

    void startButtonRunsTheInstalledActionOnce() {
        TForm_Main& form = *Form_Main;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.But_Stat->click(); // nothing installed: nothing happens
        int runs = 0;
        form.OnStart = [&] {
            ++runs;
            // A click while the action runs (it processes messages) starts nothing.
            form.But_Stat->click();
            QTest::mouseClick(form.But_Stat, Qt::LeftButton);
            form.ProcessMessages();
        };
        form.But_Stat->click();
        QCOMPARE(runs, 1);
        form.But_Stat->click();
        QCOMPARE(runs, 2);

        int stops = 0;
        form.OnStop = [&] { ++stops; };
        form.But_Stop->click(); // disabled: no click
        QCOMPARE(stops, 0);
        form.SetStopEnabled(true);
        form.But_Stop->click();
        QCOMPARE(stops, 1);
    }

    void closingAsksTheInstalledHandler() {
        TForm_Main& form = *Form_Main;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        bool allow = false;
        int asked = 0;
        form.OnCloseRequest = [&] {
            ++asked;
            return allow;
        };
        QVERIFY(!form.close());
        QVERIFY(form.isVisible());
        allow = true;
        QVERIFY(form.close());
        QVERIFY(!form.isVisible());
        QCOMPARE(asked, 2);
    }

    void sleepIsPlainAndProcessMessagesIsNot() {
        TForm_Main& form = *Form_Main;
        bool delivered = false;
        QMetaObject::invokeMethod(
            this, [&] { delivered = true; }, Qt::QueuedConnection);
        QElapsedTimer clock;
        clock.start();
        form.Sleep(300);
        QVERIFY(clock.elapsed() >= 300);
        QVERIFY(!delivered); // the window did not react meanwhile
        form.ProcessMessages();
        QVERIFY(delivered);
    }

    void requestTerminateEndsTheMessageLoop() {
        TForm_Main& form = *Form_Main;
        form.show();
        form.OnCloseRequest = [] { return false; }; // the end does not depend on the window
        bool actionFinished = false;
        QTimer::singleShot(0, &form, [&] {
            form.RequestTerminate();
            // The action goes on to its end before the loop sees the request.
            form.Sleep(50);
            actionFinished = true;
        });
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(7); });
        guard.start(60000);
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(actionFinished);
    }
};

KESTREL_WINDOW_TEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
