// The main window's link (TWorkflowUI): its calls on the window's thread act at once, those from
// a worker thread are posted without waiting; the status line's copy on standard error, the
// progress bar's percentage, the plain sleep and the end of the program.
#include "GifPicture.h"
#include "MainWindow.h"
#include "WindowTest.h"
#include "WindowThreadLink.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <future>
#include <thread>

class TestWindowThreadLink : public QObject {
    Q_OBJECT

private slots:
    void init() { CreateProgramWindows({}); }
    void cleanup() { DestroyProgramWindows(); }

    void statusLineIsCopiedToStandardError() {
        TWindowThreadLink& link = Form_Main->Link();
        StderrCapture capture;
        link.ShowStatus("连接设备！请稍后......");
        link.ShowStatus("两行\n文字");
        std::thread([&link] { link.ShowStatus("连接成功！"); }).join();
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
        TWindowThreadLink& link = form.Link();
        const QString before = form.Lab_Err->text();
        // The window's thread does not process messages until the worker is done: a call that
        // waited for it would never return.
        auto done = std::async(std::launch::async, [&link] {
            link.ShowStatus("请求的数据获取成功！");
            link.ProgressBar().SetMax(200);
            link.ProgressBar().SetPosition(50);
            link.ShowBusy(true);
            link.SetStartEnabled(false);
            link.SetStopEnabled(true);
            link.ShowPort({.path = "/dev/ttyACM1", .number = 3});
            link.SetDeviceType("QX40");
            link.Repaint();
            return link.DeviceType();
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
        TWindowThreadLink& link = form.Link();
        link.ShowStatus("软件更新成功！");
        QCOMPARE(form.Lab_Err->text(), QStringLiteral("软件更新成功！"));
        link.SetStartEnabled(false);
        QVERIFY(!form.But_Stat->isEnabled());
        link.SetStartEnabled(true);
        link.SetStopEnabled(true);
        QVERIFY(form.But_Stop->isEnabled());
        link.ShowBusy(true);
        QVERIFY(form.IMG2->isVisibleTo(&form) && !form.IMG1->isVisibleTo(&form));
        link.ShowBusy(false);
        QVERIFY(!form.IMG2->isVisibleTo(&form) && form.IMG1->isVisibleTo(&form));
    }

    void portAndDeviceTypeBoxes() {
        TForm_Main& form = *Form_Main;
        TWindowThreadLink& link = form.Link();
        StderrCapture err;
        link.ShowPort({.path = "/dev/ttyUSB0", .number = 16});
        QCOMPARE(form.CBox_COMIID->currentText(), QStringLiteral("COM16"));
        link.ShowPort({.path = "/dev/ttyACM1", .number = 3, .description = "USB 1a86:7523"});
        QCOMPARE(form.CBox_COMIID->currentText(), QStringLiteral("COM3"));
        // The device's path and description are the box's tooltip; the path is echoed.
        QCOMPARE(form.CBox_COMIID->toolTip(), QStringLiteral("/dev/ttyACM1  USB 1a86:7523"));
        QVERIFY(QString::fromStdString(err.Text()).contains(QStringLiteral("COM3 /dev/ttyACM1")));
        // Above 16 the box gets an entry of its own, once.
        link.ShowPort({.path = "/dev/ttyS0", .number = 17});
        link.ShowPort({.path = "/dev/ttyS0", .number = 17});
        QCOMPARE(form.CBox_COMIID->currentText(), QStringLiteral("COM17"));
        QCOMPARE(form.CBox_COMIID->count(), 17);
        QCOMPARE(form.CBox_COMIID->itemText(15), QStringLiteral("COM16"));
        // A port without a number leaves the box as it is.
        link.ShowPort({.path = "/dev/pts/5"});
        link.ShowPort({.number = -3});
        QCOMPARE(form.CBox_COMIID->currentText(), QStringLiteral("COM17"));

        QCOMPARE(link.DeviceType(), std::string("未连接"));
        link.SetDeviceType("QX41");
        QCOMPARE(form.CBox_HardTyp->currentText(), QStringLiteral("QX41"));
        QCOMPARE(link.DeviceType(), std::string("QX41"));
        QVERIFY(!form.CBox_HardTyp->isEnabled());
        QVERIFY(!form.CBox_COMIID->isEnabled());
    }

    void progressBarDrawsPercentAndClamps() {
        TProgressBar& bar = Form_Main->Link().ProgressBar();
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

    void sleepIsPlainAndProcessMessagesIsNot() {
        TWindowThreadLink& link = Form_Main->Link();
        bool delivered = false;
        QMetaObject::invokeMethod(
            this, [&] { delivered = true; }, Qt::QueuedConnection);
        QElapsedTimer clock;
        clock.start();
        link.Sleep(300);
        QVERIFY(clock.elapsed() >= 300);
        QVERIFY(!delivered); // the window did not react meanwhile
        link.ProcessMessages();
        QVERIFY(delivered);
    }

    void requestTerminateEndsTheMessageLoop() {
        TForm_Main& form = *Form_Main;
        TWindowThreadLink& link = form.Link();
        form.show();
        form.OnCloseRequest = [] { return false; }; // the end does not depend on the window
        bool actionFinished = false;
        QTimer::singleShot(0, &form, [&] {
            link.RequestTerminate();
            // The action goes on to its end before the loop sees the request.
            link.Sleep(50);
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

KESTREL_WINDOW_TEST_MAIN(TestWindowThreadLink)
#include "test_window_thread_link.moc"
