// The main window: the program's start, its controls as created, the busy picture, the two
// buttons and the close. What the workflow's calls do to it: test_window_thread_link.
#include "GifPicture.h"
#include "HintWin.h"
#include "InfoBrowser.h"
#include "MainWindow.h"
#include "WindowTest.h"
#include "WindowThreadLink.h"

#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#ifdef KESTREL_WEBENGINE
#include <QWebEnginePage>
#include <QWebEngineView>
#else
#include <QTextBrowser>
#endif

#include "TestFiles.h"
#include "TestSockets.h"

// The text the browser shows now.
QString BrowserText(QWidget* browser) {
#ifdef KESTREL_WEBENGINE
    QString text;
    bool done = false;
    static_cast<QWebEngineView*>(browser)->page()->toPlainText([&](const QString& t) {
        text = t;
        done = true;
    });
    return QTest::qWaitFor([&] { return done; }, 10000) ? text : QString();
#else
    return static_cast<QTextBrowser*>(browser)->toPlainText();
#endif
}

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
        QCOMPARE(&MainWindow(), static_cast<TWindowLink*>(&Form_Main->Link()));
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
        QCOMPARE(QSize(emblem->Animation().width, emblem->Animation().height), QSize(154, 105));
        QCOMPARE(emblem->Animation().frames.size(), size_t(1));
        QCOMPARE(QSize(radar->Animation().width, radar->Animation().height), QSize(63, 63));
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
        QCOMPARE(QUrl(QString::fromStdString(InfoPageUrl())), expected);
        QCOMPARE(InfoBrowserUrl(browser), expected);
    }

    // The address comes from KESTREL_INFO_BASE_URL when set. A page that cannot be loaded, or
    // does not answer in time, is replaced by our own page in Chinese: the reason, the address,
    // a reload link and the English detail, as plain text that fits the window's width.
    void unavailableInformationPageShowsTheLocalPage() {
        const std::string address = UniqueLoopbackAddress();
        const QString base = QStringLiteral("http://%1:5001/").arg(QString::fromStdString(address));
        qputenv("KESTREL_INFO_BASE_URL", base.toUtf8());
        const QUrl refused(QString::fromStdString(InfoPageUrl()));
        qunsetenv("KESTREL_INFO_BASE_URL");
        QCOMPARE(refused.toString(), base + QStringLiteral("url/QX40Info.htm"));
        // A server that accepts the connection and never answers; its address is longer than a
        // line of the window.
        std::string port;
        TTestSocket silent = ListenOn(address, port);
        const QUrl silentUrl(QStringLiteral("http://%1:%2/url/QX40Info.htm?device=%3")
                                 .arg(QString::fromStdString(address), QString::fromStdString(port),
                                      QString(120, QLatin1Char('x'))));

        const struct {
            QUrl url;
            TInfoFailure failure;
        } cases[] = {{refused, TInfoFailure::Refused}, {silentUrl, TInfoFailure::NoAnswer}};
        for (const auto& c : cases) {
            StderrCapture err;
            QWidget* browser = CreateInfoBrowser(c.url, Form_Main, std::chrono::seconds(2));
            browser->setGeometry(2, 32, 359, 268); // as in the window
            QTRY_VERIFY_WITH_TIMEOUT(!InfoBrowserLoadError(browser).isEmpty(), 60000);
            const QString detail = InfoBrowserLoadError(browser);
            QString shown;
            QTRY_VERIFY_WITH_TIMEOUT(
                [&] {
                    shown = BrowserText(browser);
                    return shown.contains(detail);
                }(),
                60000);
            for (const QString& part : {QStringLiteral("设备信息暂时无法显示"),
                                        QString::fromStdString(InfoFailureText(c.failure)),
                                        c.url.toString(), QStringLiteral("重新加载")})
                QVERIFY2(shown.contains(part), qPrintable(shown));
            QVERIFY2(!shown.contains(QLatin1Char('<')), qPrintable(shown));
            QVERIFY(QString::fromStdString(err.Text())
                        .contains(QStringLiteral("information page %1 cannot be loaded: %2")
                                      .arg(c.url.toString(), detail)));
#ifdef KESTREL_WEBENGINE
            bool fits = false, measured = false;
            static_cast<QWebEngineView*>(browser)->page()->runJavaScript(
                QStringLiteral("document.documentElement.scrollWidth <= "
                               "document.documentElement.clientWidth"),
                [&](const QVariant& v) {
                    fits = v.toBool();
                    measured = true;
                });
            QTRY_VERIFY_WITH_TIMEOUT(measured, 10000);
            QVERIFY2(fits, "the local page scrolls sideways");
#endif
            delete browser;
        }
        CloseSocket(silent);
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
        form.Link().ShowBusy(true);
        QVERIFY(form.IMG2->isVisible());
        // Without end: past the last frame back to the first, twice over.
        QTRY_VERIFY_WITH_TIMEOUT(form.IMG2->FrameChanges() >= 40 && wrapped, 60000);
        form.Link().ShowBusy(false);
        QVERIFY(!form.IMG2->isVisible());
        QVERIFY(!form.IMG2->IsAnimating());
        QVERIFY(!form.IMG1->IsAnimating()); // a still picture never animates
    }

    // A click while an action runs is the workflow's to refuse: GuiWindowTest.
    void buttonsRunTheInstalledActions() {
        TForm_Main& form = *Form_Main;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.But_Stat->click(); // nothing installed: nothing happens
        int runs = 0;
        form.OnStart = [&] { ++runs; };
        form.But_Stat->click();
        QCOMPARE(runs, 1);
        QTest::mouseClick(form.But_Stat, Qt::LeftButton);
        QCOMPARE(runs, 2);

        int stops = 0;
        form.OnStop = [&] { ++stops; };
        form.But_Stop->click(); // disabled: no click
        QCOMPARE(stops, 0);
        form.But_Stop->setEnabled(true);
        form.But_Stop->click();
        QCOMPARE(stops, 1);
    }

    // The cause of a failure is read and copied in the window; the status line keeps its text.
    void causeOfAFailureIsTheStatusLinesTooltipAndCopies() {
        TForm_Main& form = *Form_Main;
        const QString status = QStringLiteral("设备连接失败，请检查USB或电源连接！");
        const QString cause = QStringLiteral("/dev/ttyUSB0: permission denied — add yourself to "
                                             "the group dialout");
        form.Link().ShowStatus(status.toStdString());
        form.Link().ShowCause(cause.toStdString());
        QCOMPARE(form.Lab_Err->text(), status);
        QVERIFY2(form.Lab_Err->toolTip().contains(cause), qPrintable(form.Lab_Err->toolTip()));
        form.CopyCause();
        QCOMPARE(QGuiApplication::clipboard()->text(), cause);

        // The next action begins without it.
        form.OnStart = [] {};
        form.But_Stat->click();
        QCOMPARE(form.Lab_Err->toolTip(), QString());
        QCOMPARE(form.Cause(), QString());
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
};

KESTREL_WINDOW_TEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
