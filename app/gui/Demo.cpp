#include "Demo.h"

#include "GifPicture.h"
#include "HintWin.h"
#include "InfoBrowser.h"
#include "Skin.h"
#include "Workflow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <thread>

TForm_Main* Form_Main = nullptr;

QString ApplicationTitle() {
    return QStringLiteral("VELT在线升级V1.0");
}

QUrl InfoPageUrl() {
    return QUrl(QStringLiteral(KESTREL_INFO_BASE_URL) + QStringLiteral("/url/QX40Info.htm"));
}

// PBar as the device and server links see it.
class TForm_Main::TFormProgress : public TProgressBar {
public:
    explicit TFormProgress(TForm_Main& form) : form_(form) {}
    void SetMax(int max) override {
        form_.Dispatch([&form = form_, max] {
            // A maximum of 0 would turn Qt's bar into a busy indicator.
            form.PBar->setRange(0, std::max(max, 1));
        });
    }
    void SetPosition(int position) override {
        form_.Dispatch([&form = form_, position] {
            // Qt ignores values outside the range; the bar clamps them instead.
            form.PBar->setValue(std::clamp(position, form.PBar->minimum(), form.PBar->maximum()));
        });
    }

private:
    TForm_Main& form_;
};

namespace {

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, QRect place) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(place);
    return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, QRect place) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(place);
    button->setFont(SkinFont(14, true));
    return button;
}

// A display-only box: its own text plus a fixed list of entries, always disabled.
QComboBox* MakeBox(QWidget* parent, const char* name, const QString& text,
                   const QStringList& entries, QRect place) {
    auto* box = new QComboBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setGeometry(place);
    box->setEditable(true);
    box->addItems(entries);
    box->setCurrentIndex(-1);
    box->setEditText(text);
    box->setEnabled(false);
    // Display only, but legible: disabled, yet drawn in the normal colours.
    QPalette palette = box->palette();
    for (auto role : {QPalette::Text, QPalette::ButtonText, QPalette::WindowText})
        palette.setColor(QPalette::Disabled, role, QColor(0x1b, 0x2a, 0x3c));
    palette.setColor(QPalette::Disabled, QPalette::Base, Qt::white);
    box->setPalette(palette);
    if (box->lineEdit())
        box->lineEdit()->setPalette(palette);
    return box;
}

} // namespace

TForm_Main::TForm_Main(const QStringList& arguments, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      arguments_(arguments), progress_(new TFormProgress(*this)) {
    setObjectName(QStringLiteral("Form_Main"));
    // Dialog-style border: the client area has one fixed size.
    setFixedSize(363, 486);
    setWindowTitle(QStringLiteral("VELT在线升级"));
    setWindowIcon(SkinIcon());
    setFont(SkinFont(12));
    setStyleSheet(SkinStyleSheet());

    But_Stat = MakeButton(this, "But_Stat", QStringLiteral("在线更新"), {21, 387, 100, 36});

    PBar = new QProgressBar(this);
    PBar->setObjectName(QStringLiteral("PBar"));
    PBar->setGeometry(20, 339, 322, 12);
    PBar->setOrientation(Qt::Horizontal);
    PBar->setRange(0, 100);
    PBar->setValue(0);
    PBar->setFormat(QStringLiteral("%p%"));
    PBar->setTextVisible(true);
    PBar->setFont(SkinFont(10));

    But_Stop = MakeButton(this, "But_Stop", QStringLiteral("取消操作"), {21, 435, 100, 36});
    But_Stop->setEnabled(false);

    WebBrowser = CreateInfoBrowser(InfoPageUrl(), this);
    WebBrowser->setObjectName(QStringLiteral("WebBrowser"));
    WebBrowser->setGeometry(2, 32, 359, 268);

    CBox_HardTyp = MakeBox(this, "CBox_HardTyp", QStringLiteral("未连接"),
                           {QStringLiteral("QX40-TOOL")}, {82, 310, 93, 21});
    QStringList ports;
    for (int n = 1; n <= 16; ++n)
        ports << QStringLiteral("COM%1").arg(n);
    CBox_COMIID = MakeBox(this, "CBox_COMIID", QStringLiteral("未使用"), ports, {275, 310, 67, 21});
    deviceType_ = "未连接";

    Label1 = MakeLabel(this, "Label1", QStringLiteral("设备类型："), {20, 314, 65, 13});
    Label2 = MakeLabel(this, "Label2", QStringLiteral("通讯端口："), {212, 313, 62, 15});

    Lab_Err = MakeLabel(this, "Lab_Err", QString(), {20, 356, 323, 26});
    Lab_Err->setFixedSize(323, 26);
    Lab_Err->setAlignment(Qt::AlignCenter);
    Lab_Err->setWordWrap(true);
    QPalette red = Lab_Err->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    Lab_Err->setPalette(red);
    SetStatusText(QStringLiteral("VELT在线升级：请连接QX40设备后按[在线更新]"));

    IMG1 = new TGifPicture(this);
    IMG1->setObjectName(QStringLiteral("IMG1"));
    IMG1->setGeometry(180, 378, 161, 105);
    IMG1->LoadPicture(QStringLiteral(":/pictures/emblem.gif"));

    IMG2 = new TGifPicture(this);
    IMG2->setObjectName(QStringLiteral("IMG2"));
    IMG2->setGeometry(224, 398, 65, 66);
    IMG2->LoadPicture(QStringLiteral(":/pictures/radar.gif"));
    IMG2->setVisible(false);

    TimerAutoGrade = new QTimer(this);
    TimerAutoGrade->setObjectName(QStringLiteral("TimerAutoGrade"));
    TimerAutoGrade->setSingleShot(true);
    TimerAutoGrade->setInterval(2000);
    // A precise timer never fires early: the automatic start comes 2000 ms after creation.
    TimerAutoGrade->setTimerType(Qt::PreciseTimer);
    connect(TimerAutoGrade, &QTimer::timeout, this, &TForm_Main::TimerAutoGradeTimer);
    TimerAutoGrade->start();

    connect(But_Stat, &QPushButton::clicked, this, &TForm_Main::But_StatClick);
    connect(But_Stop, &QPushButton::clicked, this, &TForm_Main::But_StopClick);

    FormCreate();
}

TForm_Main::~TForm_Main() {
    if (Form_Main == this)
        Form_Main = nullptr;
    delete progress_;
}

void TForm_Main::FormCreate() {
    // The browser was sent to the information page when it was created.
    setWindowTitle(windowTitle() + QString::fromLatin1(KestrelToolVersion));
    move(x(), 0);
    move(0, y());
    QFont small = Lab_Err->font();
    small.setPointSize(8);
    Lab_Err->setFont(small);
}

void TForm_Main::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FormShow();
}

void TForm_Main::closeEvent(QCloseEvent* event) {
    if (OnCloseRequest && !OnCloseRequest())
        event->ignore();
    else
        event->accept();
}

void TForm_Main::FormShow() {
    // Armed since creation; once it has fired it stays disarmed for the rest of the run.
    if (!autoGradeDone_ && !TimerAutoGrade->isActive())
        TimerAutoGrade->start();
}

void TForm_Main::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    PaintSkinFrame(painter, *this, windowIcon().pixmap(20, 20));
}

void TForm_Main::TimerAutoGradeTimer() {
    TimerAutoGrade->stop();
    autoGradeDone_ = true;
    const QString first = arguments_.isEmpty() ? QString() : arguments_.first();
    if (first.toUpper() == QStringLiteral("AG"))
        But_Stat->click();
}

void TForm_Main::But_StatClick() {
    // The action processes window messages while it runs; a click that arrives meanwhile (the
    // button may be enabled for a moment by the worker's end) must not start a second one.
    if (startRunning_ || !OnStart)
        return;
    startRunning_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{startRunning_};
    OnStart();
}

void TForm_Main::But_StopClick() {
    if (OnStop)
        OnStop();
}

bool TForm_Main::OnWindowThread() const {
    return QThread::currentThread() == thread();
}

template <typename F> void TForm_Main::Dispatch(F action) {
    if (OnWindowThread())
        action();
    else // never wait: the window's thread may itself be waiting for the caller
        QMetaObject::invokeMethod(this, std::move(action), Qt::QueuedConnection);
}

void EchoToTerminal(const QString& text) {
    QByteArray line = text.toUtf8();
    line.replace('\n', ' ').replace('\r', ' ');
    std::fprintf(stderr, "%s\n", line.constData());
    std::fflush(stderr);
}

void TForm_Main::SetStatusText(const QString& text) {
    Lab_Err->setText(text);
    EchoToTerminal(text);
}

void TForm_Main::ShowStatus(const std::string& text) {
    Dispatch([this, text = QString::fromStdString(text)] { SetStatusText(text); });
}

TProgressBar& TForm_Main::ProgressBar() {
    return *progress_;
}

void TForm_Main::ShowBusy(bool busy) {
    Dispatch([this, busy] {
        IMG1->setVisible(!busy);
        IMG2->setVisible(busy);
    });
}

void TForm_Main::SetStartEnabled(bool enabled) {
    Dispatch([this, enabled] { But_Stat->setEnabled(enabled); });
}

void TForm_Main::SetStopEnabled(bool enabled) {
    Dispatch([this, enabled] { But_Stop->setEnabled(enabled); });
}

void TForm_Main::Repaint() {
    if (OnWindowThread())
        repaint();
    else
        QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::QueuedConnection);
}

void TForm_Main::ProcessMessages() {
    if (OnWindowThread())
        QCoreApplication::processEvents();
}

void TForm_Main::ShowPort(int comId) {
    Dispatch([this, comId] {
        // The list has COM1 to COM16; a device on a higher port leaves the box as it is.
        if (comId >= 1 && comId <= CBox_COMIID->count())
            CBox_COMIID->setCurrentIndex(comId - 1);
    });
}

void TForm_Main::SetDeviceType(const std::string& text) {
    {
        std::lock_guard lock(deviceTypeMutex_);
        deviceType_ = text;
    }
    Dispatch([this, text = QString::fromStdString(text)] { CBox_HardTyp->setEditText(text); });
}

std::string TForm_Main::DeviceType() {
    std::lock_guard lock(deviceTypeMutex_);
    return deviceType_;
}

void TForm_Main::Sleep(int ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void TForm_Main::ShowHintSteps() {
    Dispatch([this] {
        if (hintForm_)
            hintForm_->ShowHintSteps();
    });
}

void TForm_Main::RequestTerminate() {
    // Queued: the application ends once the current action has returned to the message loop.
    // exit() and not quit(): quit() asks the windows first, and a window may refuse to close.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void TForm_Main::ShowError(const std::string& text) {
    Dispatch([this, text = QString::fromStdString(text)] {
        EchoToTerminal(text);
        QMessageBox::critical(this, ApplicationTitle(), text);
    });
}
