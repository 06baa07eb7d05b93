// Draws the pictures of the two windows and stores them as GIF files in the folder given as the
// only argument: the emblem and the busy radar of the main window, the three photos of the
// guided dialog, and the program icon. Runs as a build step.
#include "GifWriter.h"

#include <QConicalGradient>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <gif_lib.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <vector>

namespace {

// The window background behind the main window's pictures: drawn first, then made transparent.
const QColor FormBackground(0xe1, 0xe9, 0xf2);

QFont Font(int pixelSize, bool bold = false) {
    QFont font(QStringLiteral("WenQuanYi Micro Hei"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

// Reduces the images (all of one size) to one shared colour map of at most 256 entries.
// With `transparentCorner` the colour of the top-left pixel becomes transparent.
bool Store(const QString& path, const std::vector<QImage>& images, int delayCs, int loopCount,
           bool transparentCorner) {
    const int w = images.front().width(), h = images.front().height();
    const size_t frame = static_cast<size_t>(w) * static_cast<size_t>(h);
    std::vector<GifByteType> red(frame * images.size()), green(red.size()), blue(red.size());
    for (size_t i = 0; i < images.size(); ++i) {
        const QImage rgb = images[i].convertToFormat(QImage::Format_RGB32);
        for (int y = 0; y < h; ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
            for (int x = 0; x < w; ++x) {
                const size_t at = i * frame + static_cast<size_t>(y * w + x);
                red[at] = static_cast<GifByteType>(qRed(line[x]));
                green[at] = static_cast<GifByteType>(qGreen(line[x]));
                blue[at] = static_cast<GifByteType>(qBlue(line[x]));
            }
        }
    }
    std::vector<GifByteType> indices(red.size());
    std::vector<GifColorType> map(256);
    int mapSize = 256;
    // All frames quantised together, stacked as one tall picture.
    if (GifQuantizeBuffer(static_cast<unsigned>(w),
                          static_cast<unsigned>(static_cast<size_t>(h) * images.size()), &mapSize,
                          red.data(), green.data(), blue.data(), indices.data(),
                          map.data()) == GIF_ERROR) {
        std::fprintf(stderr, "cannot reduce the colours of %s\n", qPrintable(path));
        return false;
    }

    TGifData gif;
    gif.width = w;
    gif.height = h;
    for (size_t i = 0; i < static_cast<size_t>(mapSize); ++i)
        gif.globalMap.push_back({map[i].Red, map[i].Green, map[i].Blue});
    gif.loopCount = loopCount;
    for (size_t i = 0; i < images.size(); ++i) {
        TGifFrameData data;
        data.width = w;
        data.height = h;
        const auto first = indices.begin() + static_cast<std::ptrdiff_t>(i * frame);
        data.pixels.assign(first, first + static_cast<std::ptrdiff_t>(frame));
        data.delayCs = delayCs;
        data.disposal = images.size() > 1 ? 2 : 0; // each frame replaces the previous one
        if (transparentCorner)
            data.transparentIndex = indices[0];
        gif.frames.push_back(std::move(data));
    }
    std::string error;
    if (!WriteGif(path.toStdString(), gif, error)) {
        std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(path), error.c_str());
        return false;
    }
    return true;
}

QImage Canvas(int w, int h, const QColor& fill) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(fill);
    return image;
}

// A stylised kestrel in flight, white, inside a circle of radius r at the origin.
void DrawBird(QPainter& p, double r) {
    QPainterPath bird;
    bird.moveTo(-0.78 * r, -0.30 * r);
    bird.cubicTo(-0.45 * r, -0.28 * r, -0.18 * r, -0.05 * r, 0.0, 0.42 * r);
    bird.cubicTo(0.16 * r, -0.02 * r, 0.42 * r, -0.42 * r, 0.80 * r, -0.50 * r);
    bird.cubicTo(0.46 * r, -0.22 * r, 0.22 * r, 0.08 * r, 0.06 * r, 0.62 * r);
    bird.lineTo(-0.06 * r, 0.62 * r);
    bird.cubicTo(-0.20 * r, 0.10 * r, -0.42 * r, -0.12 * r, -0.78 * r, -0.30 * r);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(bird);
}

void DrawBadge(QPainter& p, QPointF centre, double r) {
    p.save();
    p.translate(centre);
    QRadialGradient blue(QPointF(-0.3 * r, -0.4 * r), 1.5 * r);
    blue.setColorAt(0, QColor(0x5b, 0x9c, 0xe8));
    blue.setColorAt(1, QColor(0x12, 0x3c, 0x78));
    p.setPen(QPen(QColor(0x0e, 0x2f, 0x5e), std::max(1.0, r / 14)));
    p.setBrush(blue);
    p.drawEllipse(QPointF(0, 0), r, r);
    p.setPen(QPen(QColor(255, 255, 255, 200), std::max(1.0, r / 16)));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(0, 0), 0.86 * r, 0.86 * r);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf5, 0xa6, 0x23));
    p.drawEllipse(QPointF(0.38 * r, 0.30 * r), 0.14 * r, 0.14 * r);
    DrawBird(p, 0.9 * r);
    p.restore();
}

QImage Emblem() {
    QImage image = Canvas(154, 105, FormBackground);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    DrawBadge(p, QPointF(36, 42), 31);
    p.setPen(QColor(0x14, 0x3d, 0x78));
    p.setFont(Font(31, true));
    p.drawText(QRect(70, 12, 84, 38), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("VELT"));
    p.setPen(QColor(0x3a, 0x5a, 0x84));
    p.setFont(Font(14, true));
    p.drawText(QRect(72, 50, 82, 20), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("在线升级"));
    p.setPen(QPen(QColor(0x8a, 0xa3, 0xc4), 1));
    p.drawLine(QPointF(8, 82.5), QPointF(146, 82.5));
    p.setPen(QColor(0x4f, 0x6a, 0x8e));
    p.setFont(Font(11));
    p.drawText(QRect(0, 85, 154, 18), Qt::AlignCenter, QStringLiteral("QX40 系列 手持设备"));
    return image;
}

QImage Icon() {
    QImage image = Canvas(32, 32, QColor(0xf0, 0xf0, 0xf0));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    DrawBadge(p, QPointF(16, 16), 15);
    return image;
}

// One frame of the radar: the beam points at `angle` degrees (clockwise from north).
QImage RadarFrame(double angle) {
    const int size = 63;
    const QPointF c(31.5, 31.5);
    const double r = 30;
    QImage image = Canvas(size, size, FormBackground);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QRadialGradient screen(c, r);
    screen.setColorAt(0, QColor(0x0b, 0x3a, 0x12));
    screen.setColorAt(1, QColor(0x03, 0x1c, 0x07));
    p.setPen(QPen(QColor(0x1d, 0x5e, 0x27), 1.5));
    p.setBrush(screen);
    p.drawEllipse(c, r, r);

    // The afterglow: a wedge trailing the beam, fading over 100 degrees.
    const double qtAngle = 90 - angle; // Qt counts counter-clockwise from east
    QConicalGradient glow(c, qtAngle);
    glow.setColorAt(0, QColor(0x6d, 0xff, 0x6d, 220));
    glow.setColorAt(100.0 / 360, QColor(0x2a, 0xc8, 0x3a, 0));
    glow.setColorAt(1, QColor(0x2a, 0xc8, 0x3a, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(c, r - 1, r - 1);

    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x3c, 0xb0, 0x4a, 170), 1));
    for (double ring : {10.0, 20.0})
        p.drawEllipse(c, ring, ring);
    p.drawLine(QPointF(c.x() - r + 2, c.y()), QPointF(c.x() + r - 2, c.y()));
    p.drawLine(QPointF(c.x(), c.y() - r + 2), QPointF(c.x(), c.y() + r - 2));

    // Echoes light up as the beam passes and fade afterwards.
    struct Echo {
        double bearing, distance;
    };
    for (const Echo echo : {Echo{40, 19}, Echo{150, 12}, Echo{255, 23}, Echo{320, 8}}) {
        double since = std::fmod(angle - echo.bearing + 360, 360);
        const int alpha = static_cast<int>(255 * std::max(0.0, 1 - since / 240));
        if (alpha <= 0)
            continue;
        const double rad = echo.bearing * M_PI / 180;
        const QPointF at(c.x() + echo.distance * std::sin(rad),
                         c.y() - echo.distance * std::cos(rad));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xc8, 0xff, 0xb4, alpha));
        p.drawEllipse(at, 2.2, 2.2);
    }

    const double rad = angle * M_PI / 180;
    p.setPen(QPen(QColor(0xd8, 0xff, 0xd0), 1.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c, QPointF(c.x() + (r - 1) * std::sin(rad), c.y() - (r - 1) * std::cos(rad)));
    p.setBrush(QColor(0xd8, 0xff, 0xd0));
    p.setPen(Qt::NoPen);
    p.drawEllipse(c, 1.8, 1.8);
    return image;
}

// ---- The guided dialog's three photos (329 x 209) ----

void DrawTable(QPainter& p, const QRect& area) {
    QLinearGradient wall(0, 0, 0, area.height());
    wall.setColorAt(0, QColor(0xee, 0xf1, 0xf5));
    wall.setColorAt(0.62, QColor(0xd9, 0xdf, 0xe7));
    wall.setColorAt(0.621, QColor(0xc4, 0xb0, 0x94));
    wall.setColorAt(1, QColor(0xa9, 0x91, 0x71));
    p.fillRect(area, wall);
}

// The tag under a connector: green when plugged in, red when it must be unplugged.
void DrawTag(QPainter& p, QPointF centre, const QString& text, bool ok) {
    const QColor colour = ok ? QColor(0x1f, 0x8f, 0x3a) : QColor(0xd3, 0x1f, 0x1f);
    p.setFont(Font(12, true));
    const int width = QFontMetrics(p.font()).horizontalAdvance(text) + 30;
    const QRectF box(centre.x() - width / 2.0, centre.y() - 11, width, 22);
    p.setPen(QPen(colour, 1.5));
    p.setBrush(QColor(255, 255, 255, 235));
    p.drawRoundedRect(box, 5, 5);
    // A check mark or a cross in front of the text.
    const QPointF mark(box.left() + 12, box.center().y());
    p.setPen(QPen(colour, 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    if (ok) {
        p.drawPolyline(
            QPolygonF{mark + QPointF(-5, 0), mark + QPointF(-1.5, 4), mark + QPointF(5, -5)});
    } else {
        p.drawLine(mark + QPointF(-4, -4), mark + QPointF(4, 4));
        p.drawLine(mark + QPointF(-4, 4), mark + QPointF(4, -4));
    }
    p.setPen(colour);
    p.drawText(box.adjusted(22, 0, -4, 0), Qt::AlignCenter, text);
}

// The device seen from its connector end: USB socket on the left, round power socket on the
// right. Returns the centres of the two sockets.
void DrawConnectorSide(QPainter& p, QPointF& usb, QPointF& power) {
    // Body: a dark housing with a lighter top edge, seen slightly from above.
    const QRectF top(30, 34, 269, 26);
    const QRectF face(30, 52, 269, 74);
    QLinearGradient topShade(0, top.top(), 0, top.bottom());
    topShade.setColorAt(0, QColor(0x8c, 0x93, 0x9c));
    topShade.setColorAt(1, QColor(0x5e, 0x65, 0x6e));
    p.setPen(Qt::NoPen);
    p.setBrush(topShade);
    p.drawRoundedRect(top, 12, 12);
    QLinearGradient faceShade(0, face.top(), 0, face.bottom());
    faceShade.setColorAt(0, QColor(0x4a, 0x50, 0x58));
    faceShade.setColorAt(1, QColor(0x2b, 0x2f, 0x35));
    p.setBrush(faceShade);
    p.setPen(QPen(QColor(0x1c, 0x1f, 0x23), 1.2));
    p.drawRoundedRect(face, 10, 10);
    p.setPen(QColor(0xc9, 0xd1, 0xdb));
    p.setFont(Font(11, true));
    p.drawText(QRectF(face.left() + 12, face.top() + 4, 120, 16), Qt::AlignLeft,
               QStringLiteral("QX40"));

    usb = QPointF(105, 94);
    power = QPointF(228, 94);
    // USB socket: a metal frame with a tongue.
    p.setPen(QPen(QColor(0xb9, 0xc0, 0xc8), 1.5));
    p.setBrush(QColor(0x12, 0x13, 0x15));
    p.drawRoundedRect(QRectF(usb.x() - 17, usb.y() - 7, 34, 14), 2, 2);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xd8, 0xdc, 0xe2));
    p.drawRect(QRectF(usb.x() - 11, usb.y() - 3, 22, 4));
    // Power socket: a ring with the centre pin.
    p.setPen(QPen(QColor(0xb9, 0xc0, 0xc8), 2));
    p.setBrush(QColor(0x0d, 0x0e, 0x10));
    p.drawEllipse(power, 11, 11);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe6, 0xc3, 0x6a));
    p.drawEllipse(power, 2.6, 2.6);
    // Labels above the sockets, where no plug covers them.
    p.setPen(QColor(0xc9, 0xd1, 0xdb));
    p.setFont(Font(10, true));
    p.drawText(QRectF(usb.x() - 30, usb.y() - 26, 60, 14), Qt::AlignCenter, QStringLiteral("USB"));
    p.drawText(QRectF(power.x() - 40, power.y() - 28, 80, 14), Qt::AlignCenter,
               QStringLiteral("DC 12V"));
}

// A plug's cable: from where it leaves the plug at `at` + `from`, curving down out of the
// picture (the points are offsets from `at`).
void DrawCable(QPainter& p, QPointF at, QPointF from, QPointF bend1, QPointF bend2, QPointF to,
               const QColor& colour, double width) {
    QPainterPath cable;
    cable.moveTo(at + from);
    cable.cubicTo(at + bend1, at + bend2, at + to);
    p.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(cable);
}

// A plug's body: a rounded box with a thin outline, shaded across its width from one dark edge
// through a lighter band at `lightAt` (0 to 1) to the other.
void DrawPlugBody(QPainter& p, const QRectF& box, double radius, const QColor& outline,
                  const QColor& edge, double lightAt, const QColor& light,
                  const QColor& otherEdge) {
    QLinearGradient shade(box.left(), 0, box.right(), 0);
    shade.setColorAt(0, edge);
    shade.setColorAt(lightAt, light);
    shade.setColorAt(1, otherEdge);
    p.setPen(QPen(outline, 1));
    p.setBrush(shade);
    p.drawRoundedRect(box, radius, radius);
}

// A USB plug in the socket at `at`, its cable running down out of the picture.
void DrawUsbPlugIn(QPainter& p, QPointF at) {
    DrawCable(p, at, {0, 26}, {0, 60}, {-40, 70}, {-55, 120}, QColor(0x24, 0x26, 0x2a), 7);
    DrawPlugBody(p, QRectF(at.x() - 16, at.y() - 4, 32, 32), 4, QColor(0x1d, 0x1f, 0x22),
                 QColor(0x45, 0x49, 0x50), 0.5, QColor(0x6b, 0x71, 0x7a), QColor(0x3b, 0x3f, 0x45));
    p.setBrush(QColor(0x30, 0x33, 0x38));
    p.drawRect(QRectF(at.x() - 6, at.y() + 28, 12, 6));
    p.setPen(QColor(0xdd, 0xe2, 0xe8));
    p.setFont(Font(9, true));
    p.drawText(QRectF(at.x() - 16, at.y() + 6, 32, 14), Qt::AlignCenter, QStringLiteral("USB"));
}

// A round power plug: seated in the socket at `at`, or lying free at `at` when unplugged.
void DrawPowerPlug(QPainter& p, QPointF at, bool seated) {
    DrawCable(p, at, {0, 30}, {0, 60}, {40, 62}, {60, 120}, QColor(0x1b, 0x1c, 0x1f), 6);
    DrawPlugBody(p, QRectF(at.x() - 10, at.y() - (seated ? 2 : 8), 20, seated ? 34 : 40), 5,
                 QColor(0x0f, 0x10, 0x12), QColor(0x22, 0x24, 0x27), 0.45, QColor(0x55, 0x5a, 0x61),
                 QColor(0x1a, 0x1b, 0x1e));
    if (!seated) {
        // The metal barrel of the plug, visible when it is out.
        p.setBrush(QColor(0xc9, 0xcd, 0xd3));
        p.setPen(QPen(QColor(0x80, 0x86, 0x8e), 1));
        p.drawRect(QRectF(at.x() - 5, at.y() - 22, 10, 14));
    }
}

void DrawArrow(QPainter& p, QPointF from, QPointF to, const QColor& colour, double width) {
    const QLineF line(from, to);
    const double angle = std::atan2(to.y() - from.y(), to.x() - from.x());
    const double head = width * 3.2;
    const QPointF base = to - QPointF(std::cos(angle), std::sin(angle)) * head;
    p.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(from, base);
    const QPointF side(-std::sin(angle) * head * 0.6, std::cos(angle) * head * 0.6);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPolygon(QPolygonF{to, base + side, base - side});
}

QImage ConnectorPhoto(bool powerIn) {
    QImage image = Canvas(329, 209, Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    DrawTable(p, image.rect());
    QPointF usb, power;
    DrawConnectorSide(p, usb, power);
    DrawUsbPlugIn(p, usb);
    if (powerIn) {
        DrawPowerPlug(p, power, true);
        // The power lamp is lit.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x3d, 0xe0, 0x5a));
        p.drawEllipse(QPointF(278, 64), 4, 4);
        p.setBrush(QColor(0x3d, 0xe0, 0x5a, 70));
        p.drawEllipse(QPointF(278, 64), 8, 8);
    } else {
        // The plug lies out beside the device; an arrow shows the way it came out.
        const QPointF out(power.x() + 74, power.y() + 58);
        DrawPowerPlug(p, out, false);
        DrawArrow(p, QPointF(power.x() + 10, power.y() + 16), QPointF(out.x() - 10, out.y() - 24),
                  QColor(0xe0, 0x20, 0x20), 3);
    }
    DrawTag(p, QPointF(80, 190), QStringLiteral("USB 保持连接"), true);
    DrawTag(p, QPointF(240, 190),
            powerIn ? QStringLiteral("电源 已插上") : QStringLiteral("电源 拔掉"), powerIn);
    return image;
}

void DrawKey(QPainter& p, const QRectF& key, const QString& text, const QColor& face) {
    QLinearGradient shade(0, key.top(), 0, key.bottom());
    shade.setColorAt(0, face.lighter(125));
    shade.setColorAt(1, face.darker(115));
    p.setPen(QPen(QColor(0x1a, 0x1c, 0x20), 1));
    p.setBrush(shade);
    p.drawRoundedRect(key, 5, 5);
    p.setPen(Qt::white);
    p.drawText(key, Qt::AlignCenter, text);
}

QImage KeypadPhoto() {
    QImage image = Canvas(329, 209, Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    DrawTable(p, image.rect());

    // The device's face: housing, a dark screen at the top, the keypad below.
    const QRectF body(34, 8, 200, 196);
    QLinearGradient housing(body.left(), 0, body.right(), 0);
    housing.setColorAt(0, QColor(0x3a, 0x3f, 0x46));
    housing.setColorAt(0.5, QColor(0x55, 0x5b, 0x64));
    housing.setColorAt(1, QColor(0x33, 0x37, 0x3d));
    p.setPen(QPen(QColor(0x1b, 0x1d, 0x21), 1.5));
    p.setBrush(housing);
    p.drawRoundedRect(body, 18, 18);
    p.setBrush(QColor(0x10, 0x16, 0x1c));
    p.setPen(QPen(QColor(0x7c, 0x84, 0x8e), 1));
    p.drawRoundedRect(QRectF(54, 20, 160, 46), 4, 4);
    p.setPen(QColor(0x9a, 0xa4, 0xb0));
    p.setFont(Font(11, true));
    p.drawText(QRectF(54, 66, 160, 16), Qt::AlignCenter, QStringLiteral("QX40"));

    p.setFont(Font(12, true));
    const QColor grey(0x6b, 0x72, 0x7c);
    const char* top[] = {"F1", "F2", "F3", "F4"};
    for (int i = 0; i < 4; ++i)
        DrawKey(p, QRectF(52 + i * 42, 88, 36, 22), QString::fromLatin1(top[i]), grey);
    // Arrow keys in a cross.
    const QPointF pad(92, 152);
    DrawKey(p, QRectF(pad.x() - 14, pad.y() - 38, 28, 22), QStringLiteral("▲"), grey);
    DrawKey(p, QRectF(pad.x() - 14, pad.y() + 16, 28, 22), QStringLiteral("▼"), grey);
    DrawKey(p, QRectF(pad.x() - 46, pad.y() - 11, 28, 22), QStringLiteral("◀"), grey);
    DrawKey(p, QRectF(pad.x() + 18, pad.y() - 11, 28, 22), QStringLiteral("▶"), grey);
    const QRectF yes(150, 122, 64, 28), no(150, 160, 64, 28);
    DrawKey(p, yes, QStringLiteral("Yes"), QColor(0x2e, 0x8b, 0x3e));
    DrawKey(p, no, QStringLiteral("No"), QColor(0xa8, 0x3a, 0x32));

    // The red ring and arrow at [Yes].
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0xe8, 0x18, 0x18), 3));
    p.drawRoundedRect(yes.adjusted(-5, -5, 5, 5), 8, 8);
    DrawArrow(p, QPointF(300, 80), QPointF(yes.right() + 9, yes.center().y() - 2),
              QColor(0xe8, 0x18, 0x18), 5);
    p.setPen(QColor(0xd0, 0x10, 0x10));
    p.setFont(Font(14, true));
    p.drawText(QRectF(238, 34, 90, 40), Qt::AlignCenter, QStringLiteral("按住\n[Yes]键"));
    return image;
}

} // namespace

int main(int argc, char** argv) {
    // Text needs a font database, which needs a platform: none is shown.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // A build step has no user session: the platform's note about its runtime folder is noise.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
        if (!text.startsWith(QLatin1String("QStandardPaths:")))
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    std::vector<QImage> radar;
    radar.reserve(16);
    for (int i = 0; i < 16; ++i)
        radar.push_back(RadarFrame(i * 22.5));

    bool ok = Store(out.filePath("emblem.gif"), {Emblem()}, 0, -1, true);
    ok = Store(out.filePath("radar.gif"), radar, 6, 0, true) && ok;
    ok = Store(out.filePath("hint_power_out.gif"), {ConnectorPhoto(false)}, 0, -1, false) && ok;
    ok = Store(out.filePath("hint_yes_key.gif"), {KeypadPhoto()}, 0, -1, false) && ok;
    ok = Store(out.filePath("hint_power_in.gif"), {ConnectorPhoto(true)}, 0, -1, false) && ok;
    ok = Store(out.filePath("icon.gif"), {Icon()}, 0, -1, true) && ok;
    return ok ? 0 : 1;
}
