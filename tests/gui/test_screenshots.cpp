// Pictures of both windows, saved as PNG files in the build folder for a look by eye: the main
// window as started, the main window busy, and the guided dialog's first and last step.
#include "GifPicture.h"
#include "HintWin.h"
#include "MainWindow.h"
#include "WindowTest.h"
#include "WindowThreadLink.h"

#include <QLabel>
#include <QPushButton>

#ifdef KESTREL_WEBENGINE
#include <QSignalSpy>
#include <QWebEngineView>
#endif

namespace {

QString Save(const QPixmap& picture, const char* name) {
    QString path = QStringLiteral(KESTREL_TEST_OUTPUT_DIR "/") + QLatin1String(name);
    if (!picture.save(path))
        return QString();
    qInfo("screenshot: %s", qPrintable(path));
    return path;
}

// Whether the area has dark ink on it (text drawn) and not one flat colour.
bool HasInk(const QImage& image, const QRect& area) {
    int dark = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (qGray(image.pixel(x, y)) < 110)
                ++dark;
    return dark >= 10;
}

} // namespace

class TestScreenshots : public QObject {
    Q_OBJECT

private slots:
    void init() { QVERIFY(CreateShownProgramWindows()); }
    void cleanup() { DestroyProgramWindows(); }

    void mainWindow() {
        TForm_Main& form = *Form_Main;
        TWindowThreadLink& link = form.Link();
#ifdef KESTREL_WEBENGINE
        // Let the browser finish (or fail) loading; its content reaches grab() a little later.
        auto* view = qobject_cast<QWebEngineView*>(form.WebBrowser);
        QVERIFY(view);
        QSignalSpy loaded(view, &QWebEngineView::loadFinished);
        QVERIFY(loaded.count() > 0 || loaded.wait(60000));
        const QRect browserArea = form.WebBrowser->geometry();
        QTRY_VERIFY_WITH_TIMEOUT(HasInk(form.grab().toImage(), browserArea), 30000);
#endif
        const QImage started = form.grab().toImage();
        QCOMPARE(started.size(), QSize(363, 486));
        for (QWidget* label :
             {static_cast<QWidget*>(form.Label1), static_cast<QWidget*>(form.Label2),
              static_cast<QWidget*>(form.But_Stat)})
            QVERIFY2(HasInk(started, label->geometry()), qPrintable(label->objectName()));
        QVERIFY(!Save(form.grab(), "screenshot_main.png").isEmpty());

        link.ShowStatus("正在更新设备程序......请不要断开连接！");
        link.ProgressBar().SetMax(100);
        link.ProgressBar().SetPosition(42);
        link.ShowPort({.path = "/dev/ttyUSB0", .number = 3});
        link.SetDeviceType("QX40");
        link.SetStartEnabled(false);
        link.SetStopEnabled(true);
        link.ShowBusy(true);
        QTRY_VERIFY(form.IMG2->FrameChanges() >= 3);
        QVERIFY(!Save(form.grab(), "screenshot_main_busy.png").isEmpty());

        link.ShowStatus("服务器连接失败！请检查网络连接后重新尝试。错误代号：3F2A09");
        link.ShowBusy(false);
        QVERIFY(!Save(form.grab(), "screenshot_main_two_lines.png").isEmpty());
    }

    void hintDialog() {
        QStringList saved;
        ModalDriver driver(HintForm, [&](int display) {
            THintForm& hint = *HintForm;
            hint.repaint();
            const char* names[] = {"screenshot_hint_step1.png", "screenshot_hint_step2.png",
                                   "screenshot_hint_step3.png", "screenshot_hint_step4.png"};
            if (display < 4)
                saved << Save(hint.grab(), names[display]);
            if (hint.But1->isVisible())
                hint.But1->click();
            else
                hint.But2->click();
        });
        Form_Main->Link().ShowHintSteps();
        QCOMPARE(saved.size(), 4);
        for (const QString& path : saved) {
            QVERIFY(!path.isEmpty());
            const QImage image(path);
            QCOMPARE(image.size(), QSize(339, 335));
            QVERIFY2(HasInk(image, QRect(10, 250, 321, 41)), qPrintable(path)); // the red text
            QVERIFY2(HasInk(image, QRect(6, 32, 329, 209)), qPrintable(path));  // the photo
        }
    }
};

KESTREL_WINDOW_TEST_MAIN(TestScreenshots)
#include "test_screenshots.moc"
