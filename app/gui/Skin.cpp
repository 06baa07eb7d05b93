#include "Skin.h"

#include "GifPicture.h"

#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QToolButton>
#include <QWidget>
#include <QWindow>

QFont SkinFont(int pixelSize, bool bold) {
    QFont font(QStringLiteral("WenQuanYi Micro Hei"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

QString SkinStyleSheet() {
    return QStringLiteral(
        "QPushButton { color: #10325c; border: 1px solid #5b7fae; border-radius: 4px;"
        "  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #fdfefe, stop:0.5 #e3ecf7,"
        "  stop:1 #c9d8ec); }"
        "QPushButton:hover { border-color: #2f6bc0; background: qlineargradient(x1:0, y1:0,"
        "  x2:0, y2:1, stop:0 #ffffff, stop:0.5 #eaf2fd, stop:1 #d3e3f8); }"
        "QPushButton:pressed { background: #bccfe8; }"
        "QPushButton:disabled { color: #8d98a6; border-color: #b3bfcd; background: #e8ecf1; }"
        "QProgressBar { border: 1px solid #7d93b2; border-radius: 2px; background: #f2f5f9;"
        "  color: #10325c; text-align: center; }"
        "QProgressBar::chunk { background: qlineargradient(x1:0, y1:0, x2:0, y2:1,"
        "  stop:0 #8fd18c, stop:1 #3f9e3c); }"
        "QPlainTextEdit { background: transparent; }");
}

void PaintSkinFrame(QPainter& painter, const QWidget& window, const QPixmap& icon) {
    const QRect all = window.rect();
    QLinearGradient body(0, 0, 0, all.height());
    body.setColorAt(0, QColor(0xf4, 0xf7, 0xfb));
    body.setColorAt(1, QColor(0xdc, 0xe5, 0xf0));
    painter.fillRect(all, body);

    const QRect band(0, 0, all.width(), 30);
    QLinearGradient title(0, 0, 0, band.height());
    title.setColorAt(0, QColor(0x3d, 0x7c, 0xc9));
    title.setColorAt(1, QColor(0x1d, 0x4f, 0x91));
    painter.fillRect(band, title);
    painter.setPen(QColor(0x16, 0x3c, 0x6e));
    painter.drawLine(band.bottomLeft(), band.bottomRight());

    int textLeft = 10;
    if (!icon.isNull()) {
        painter.drawPixmap(QRect(7, 5, 20, 20), icon);
        textLeft = 33;
    }
    painter.setFont(SkinFont(14, true));
    painter.setPen(Qt::white);
    painter.drawText(band.adjusted(textLeft, 0, -8, 0), Qt::AlignVCenter | Qt::AlignLeft,
                     window.windowTitle());
}

QPixmap SkinIcon() {
    // Kept as an image: a static pixmap would outlive the application object.
    static const QImage icon = [] {
        auto picture = LoadGif(QStringLiteral(":/pictures/icon.gif"));
        return picture ? FrameImage(*picture, 0) : QImage();
    }();
    return QPixmap::fromImage(icon);
}

TSkinTitleBar::TSkinTitleBar(QWidget* window, bool withButtons) : QWidget(window) {
    setObjectName(QStringLiteral("TitleBar"));
    setGeometry(0, 0, window->width(), 30);
    if (!withButtons)
        return;
    const QString style = QStringLiteral(
        "QToolButton { color: white; border: none; background: transparent; font-size: 14px; }"
        "QToolButton:hover { background: rgba(255, 255, 255, 60); }");
    auto button = [&](const char* name, const QString& text, int right) {
        auto* b = new QToolButton(this);
        b->setObjectName(QLatin1String(name));
        b->setText(text);
        b->setFocusPolicy(Qt::NoFocus);
        b->setStyleSheet(style);
        b->setGeometry(width() - right, 4, 26, 22);
        return b;
    };
    connect(button("TitleMinimize", QStringLiteral("—"), 58), &QToolButton::clicked, window,
            &QWidget::showMinimized);
    connect(button("TitleClose", QStringLiteral("✕"), 30), &QToolButton::clicked, window,
            &QWidget::close);
}

void TSkinTitleBar::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    // The window manager moves the window when there is one; otherwise the band does.
    QWindow* handle = window()->windowHandle();
    moving_ = !(handle && handle->startSystemMove());
    grab_ = event->globalPosition().toPoint() - window()->pos();
}

void TSkinTitleBar::mouseMoveEvent(QMouseEvent* event) {
    if (moving_)
        window()->move(event->globalPosition().toPoint() - grab_);
}

void TSkinTitleBar::mouseReleaseEvent(QMouseEvent*) {
    moving_ = false;
}
