#pragma once
// The look shared by both windows, in place of a skinned window toolkit: one font family that
// renders the Chinese texts, a caption band across the top of the client area where the skin
// drew its title bar, and a small style sheet for the buttons, boxes and the progress bar.
#include <QFont>
#include <QString>

class QPainter;
class QPixmap;
class QWidget;

QFont SkinFont(int pixelSize, bool bold = false);
QString SkinStyleSheet();
// The window background and the caption band (height 30) with the icon and the caption.
void PaintSkinFrame(QPainter& painter, const QWidget& window, const QPixmap& icon);
// The program's icon, drawn with the pictures.
QPixmap SkinIcon();
