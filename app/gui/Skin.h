#pragma once
// The look shared by both windows, in place of a skinned window toolkit: one font family that
// renders the Chinese texts, a caption band across the top of the client area where the skin
// drew its title bar, and a small style sheet for the buttons, boxes and the progress bar.
#include <QFont>
#include <QPoint>
#include <QString>
#include <QWidget>

class QPainter;
class QPixmap;
class QToolButton;

QFont SkinFont(int pixelSize, bool bold = false);
QString SkinStyleSheet();
// The window background and the caption band (height 30) with the icon and the caption.
void PaintSkinFrame(QPainter& painter, const QWidget& window, const QPixmap& icon);
// The program's icon, drawn with the pictures.
QPixmap SkinIcon();

// The caption band as the windows' one title bar. The windows ask the window manager for no
// decorations of its own (under a window manager there would otherwise be two title bars); the
// band moves its window when dragged and, for the main window, has its minimise and close
// buttons ("TitleMinimize", "TitleClose"). Without a window manager it moves the window itself.
class TSkinTitleBar : public QWidget {
public:
    TSkinTitleBar(QWidget* window, bool withButtons);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QPoint grab_; // where the band was grabbed, while the window moves itself
    bool moving_ = false;
};
