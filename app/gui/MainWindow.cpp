#include "MainWindow.h"

#include "GifPicture.h"
#include "InfoBrowser.h"
#include "PortInventory.h"
#include "PortInventoryRecords.h"
#include "Skin.h"
#include "TimeLimits.h"
#include "VisibleText.h"
#include "WindowTexts.h"
#include "WindowThreadLink.h"
#include "Workflow.h"

#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

TForm_Main* Form_Main = nullptr;

QString ApplicationTitle() {
    return QString::fromUtf8(WindowText::ApplicationTitle);
}

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

// Brings the port box's tooltip up to date as it is about to show: the chosen port, or every
// port while none is chosen (PortOverview), so it is never older than the hover.
class TPortTipRefresh : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::ToolTip)
            if (auto* box = qobject_cast<QComboBox*>(watched))
                box->setToolTip(QString::fromStdString(
                    PortOverview(ComNumber(box->currentText().toStdString()))));
        return false; // shown by the box as usual
    }
};

} // namespace

TForm_Main::TForm_Main(const QStringList& arguments, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      arguments_(arguments) {
    SetUpFrame();
    // The controls in the design's order (their stacking and tab order).
    CreateControls();
    CreateStatusLine();
    CreatePictures();
    CreateAutoStartTimer();
    connect(But_Stat, &QPushButton::clicked, this, &TForm_Main::But_StatClick);
    connect(But_Stop, &QPushButton::clicked, this, &TForm_Main::But_StopClick);

    link_ = std::make_unique<TWindowThreadLink>(*this);
    FormCreate();
}

void TForm_Main::SetUpFrame() {
    setObjectName(QStringLiteral("Form_Main"));
    // Dialog-style border: the client area has one fixed size.
    setFixedSize(363, 486);
    setWindowTitle(QString::fromUtf8(WindowText::Caption));
    setWindowIcon(SkinIcon());
    setFont(SkinFont(12));
    setStyleSheet(SkinStyleSheet());
    new TSkinTitleBar(this, true);
}

void TForm_Main::CreateControls() {
    But_Stat =
        MakeButton(this, "But_Stat", QString::fromUtf8(WindowText::Start), {21, 387, 100, 36});

    PBar = new QProgressBar(this);
    PBar->setObjectName(QStringLiteral("PBar"));
    PBar->setGeometry(20, 339, 322, 12);
    PBar->setOrientation(Qt::Horizontal);
    PBar->setRange(0, 100);
    PBar->setValue(0);
    PBar->setFormat(QStringLiteral("%p%"));
    PBar->setTextVisible(true);
    PBar->setFont(SkinFont(10));

    But_Stop =
        MakeButton(this, "But_Stop", QString::fromUtf8(WindowText::Stop), {21, 435, 100, 36});
    But_Stop->setEnabled(false);

    WebBrowser = CreateInfoBrowser(QUrl(QString::fromStdString(InfoPageUrl())), this);
    WebBrowser->setObjectName(QStringLiteral("WebBrowser"));
    WebBrowser->setGeometry(2, 32, 359, 268);

    CBox_HardTyp = MakeBox(this, "CBox_HardTyp", QString::fromUtf8(WindowText::NotConnected),
                           {QString::fromUtf8(WindowText::DeviceTypeEntry)}, {82, 310, 93, 21});
    QStringList ports;
    for (int n = 1; n <= 16; ++n)
        ports << QStringLiteral("COM%1").arg(n);
    CBox_COMIID = MakeBox(this, "CBox_COMIID", QString::fromUtf8(WindowText::NotUsed), ports,
                          {275, 310, 67, 21});
    CBox_COMIID->installEventFilter(new TPortTipRefresh(CBox_COMIID));

    Label1 = MakeLabel(this, "Label1", QString::fromUtf8(WindowText::DeviceTypeLabel),
                       {20, 314, 65, 13});
    Label2 =
        MakeLabel(this, "Label2", QString::fromUtf8(WindowText::PortLabel), {212, 313, 62, 15});
}

void TForm_Main::CreateStatusLine() {
    Lab_Err = MakeLabel(this, "Lab_Err", QString(), {20, 356, 323, 26});
    Lab_Err->setFixedSize(323, 26);
    Lab_Err->setAlignment(Qt::AlignCenter);
    Lab_Err->setWordWrap(true);
    QPalette red = Lab_Err->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    Lab_Err->setPalette(red);
    SetStatusText(QString::fromUtf8(WindowText::InitialStatus));
    // The cause of a failure, for a user without a terminal: hover to read it, right-click to
    // copy it.
    Lab_Err->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Lab_Err, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu(Lab_Err);
        QAction* copy = menu.addAction(QString::fromUtf8(WindowText::CopyCause));
        copy->setEnabled(!cause_.isEmpty());
        connect(copy, &QAction::triggered, this, &TForm_Main::CopyCause);
        menu.exec(Lab_Err->mapToGlobal(at));
    });
}

void TForm_Main::CreatePictures() {
    IMG1 = new TGifPicture(this);
    IMG1->setObjectName(QStringLiteral("IMG1"));
    IMG1->setGeometry(180, 378, 161, 105);
    IMG1->LoadPicture(QStringLiteral(":/pictures/emblem.gif"));

    IMG2 = new TGifPicture(this);
    IMG2->setObjectName(QStringLiteral("IMG2"));
    IMG2->setGeometry(224, 398, 65, 66);
    IMG2->LoadPicture(QStringLiteral(":/pictures/radar.gif"));
    IMG2->setVisible(false);
}

void TForm_Main::CreateAutoStartTimer() {
    TimerAutoGrade = new QTimer(this);
    TimerAutoGrade->setObjectName(QStringLiteral("TimerAutoGrade"));
    TimerAutoGrade->setSingleShot(true);
    TimerAutoGrade->setInterval(WindowLimits::AutoStart);
    // A precise timer never fires early: the automatic start comes no sooner than AutoStart.
    TimerAutoGrade->setTimerType(Qt::PreciseTimer);
    connect(TimerAutoGrade, &QTimer::timeout, this, &TForm_Main::TimerAutoGradeTimer);
    TimerAutoGrade->start();
}

TForm_Main::~TForm_Main() {
    if (Form_Main == this)
        Form_Main = nullptr;
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
    // A click while the action runs (it processes window messages, and the worker enables the
    // button as the exchange ends) reaches the workflow, which starts one action at a time.
    if (!OnStart)
        return;
    // The cause of an earlier failure does not belong to the action that begins now.
    if (But_Stat->isEnabled())
        SetCause(QString());
    OnStart();
}

void TForm_Main::DeliverPostedCalls() {
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void TForm_Main::But_StopClick() {
    if (OnStop)
        OnStop();
}

void EchoToTerminal(const QString& text) {
    // A line may carry text from outside (a cause quoting the server, a device's identity).
    QByteArray line = text.toUtf8();
    line.replace('\n', ' ').replace('\r', ' ');
    std::fprintf(stderr, "%s\n", VisibleText(line.toStdString()).c_str());
    std::fflush(stderr);
}

void TForm_Main::SetStatusText(const QString& text) {
    Lab_Err->setText(text);
    EchoToTerminal(text);
}

void TForm_Main::SetCause(const QString& cause) {
    // The cause may quote the server or the device: shown and copied with its controls escaped,
    // so that it stays one line in its own order.
    cause_ = QString::fromStdString(VisibleText(cause.toStdString()));
    Lab_Err->setToolTip(cause_.isEmpty() ? QString()
                                         : QString::fromUtf8(WindowText::CauseTooltip) + cause_);
    if (!cause_.isEmpty())
        EchoToTerminal(cause_);
}

void TForm_Main::CopyCause() {
    if (!cause_.isEmpty())
        QGuiApplication::clipboard()->setText(cause_);
}
