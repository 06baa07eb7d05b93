// The GIF decoder against frames composed here, from files written with giflib; the program's
// own pictures; the picture control's animation.
#include "GifPicture.h"
#include "GifWriter.h"
#include "WindowTest.h"

#include "ChildProcess.h"

#include <QFile>
#include <QPainter>

#include <random>

namespace {

// Where pixel (x, y) of a picture `width` pixels wide lies, rows top to bottom.
size_t At(int x, int y, int width) {
    return static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
}

// Reference composition, straight from the frame data: transparent canvas; a frame's
// transparent index leaves the canvas; colour maps are stored padded with black to a power of
// two entries; disposal 2 clears the frame's rectangle, 3 restores the canvas from before
// the frame; everything is clipped to the screen.
std::vector<std::vector<QRgb>> Compose(const TGifData& gif) {
    std::vector<QRgb> canvas(static_cast<size_t>(gif.width * gif.height), 0);
    std::vector<std::vector<QRgb>> frames;
    for (const TGifFrameData& f : gif.frames) {
        const std::vector<QRgb> before = canvas;
        const std::vector<TGifColor>& map = f.localMap.empty() ? gif.globalMap : f.localMap;
        auto inside = [&](int x, int y) {
            return x >= 0 && y >= 0 && x < gif.width && y < gif.height;
        };
        for (int y = 0; y < f.height; ++y)
            for (int x = 0; x < f.width; ++x) {
                const int sx = f.left + x, sy = f.top + y;
                const int index = f.pixels[At(x, y, f.width)];
                if (!inside(sx, sy) || index == f.transparentIndex)
                    continue;
                const TGifColor c =
                    index < int(map.size()) ? map[static_cast<size_t>(index)] : TGifColor{};
                canvas[At(sx, sy, gif.width)] = qRgb(c.r, c.g, c.b);
            }
        frames.push_back(canvas);
        if (f.disposal == 2) {
            for (int y = f.top; y < f.top + f.height; ++y)
                for (int x = f.left; x < f.left + f.width; ++x)
                    if (inside(x, y))
                        canvas[At(x, y, gif.width)] = 0;
        } else if (f.disposal == 3) {
            canvas = before;
        }
    }
    return frames;
}

// The decoder on bytes held by Qt, its error as a QString.
std::optional<TGifAnimation> Decode(const QByteArray& bytes, QString* error = nullptr) {
    std::string why;
    auto decoded = DecodeGif(
        {reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size())},
        &why);
    if (error)
        *error = QString::fromStdString(why);
    return decoded;
}

std::vector<int> Delays(const TGifAnimation& animation) {
    std::vector<int> delays;
    delays.reserve(animation.frames.size());
    for (const TGifFrame& frame : animation.frames)
        delays.push_back(frame.delayMs);
    return delays;
}

// Fully transparent pixels compare equal whatever their colour bits.
QRgb Normal(QRgb pixel) {
    return qAlpha(pixel) == 0 ? 0 : pixel;
}

void CheckFrames(const TGifAnimation& decoded, const TGifData& gif) {
    const auto expected = Compose(gif);
    QCOMPARE(QSize(decoded.width, decoded.height), QSize(gif.width, gif.height));
    QCOMPARE(decoded.frames.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const QImage frame = FrameImage(decoded, i);
        QCOMPARE(frame.size(), QSize(gif.width, gif.height));
        for (int y = 0; y < gif.height; ++y)
            for (int x = 0; x < gif.width; ++x) {
                const QRgb want = expected[i][At(x, y, gif.width)];
                const QRgb got = Normal(frame.pixel(x, y));
                if (got != want)
                    QFAIL(qPrintable(QStringLiteral("frame %1 pixel (%2,%3): %4, expected %5")
                                         .arg(i)
                                         .arg(x)
                                         .arg(y)
                                         .arg(got, 8, 16, QLatin1Char('0'))
                                         .arg(want, 8, 16, QLatin1Char('0'))));
            }
        QCOMPARE(decoded.frames[i].delayMs, gif.frames[i].delayCs * 10);
    }
}

TGifFrameData Frame(int left, int top, int width, int height, std::vector<std::uint8_t> pixels) {
    TGifFrameData f;
    f.left = left;
    f.top = top;
    f.width = width;
    f.height = height;
    f.pixels = std::move(pixels);
    return f;
}

std::vector<std::uint8_t> Fill(int count, std::uint8_t index) {
    return std::vector<std::uint8_t>(static_cast<size_t>(count), index);
}

const TGifColor Red{255, 0, 0}, Green{0, 255, 0}, Blue{0, 0, 255}, White{255, 255, 255};
const TGifColor Yellow{255, 255, 0}, Cyan{0, 255, 255}, Magenta{255, 0, 255}, Grey{90, 90, 90};

// One frame of each disposal method, transparency, local colour maps (one smaller than the
// global one), an interlaced frame and a frame reaching past the screen.
TGifData Sample() {
    TGifData gif;
    gif.width = 10;
    gif.height = 8;
    gif.globalMap = {Red, Green, Blue, White};
    gif.loopCount = 0;

    TGifFrameData f0 = Frame(0, 0, 10, 8, Fill(80, 3)); // white, a red column at x = 4
    for (int y = 0; y < 8; ++y)
        f0.pixels[At(4, y, 10)] = 0;
    f0.disposal = 1;
    f0.delayCs = 5;

    // Local map; index 0 is transparent: the left column shows what lies beneath.
    TGifFrameData f1 = Frame(2, 1, 4, 3, {0, 1, 2, 3, 0, 2, 2, 3, 0, 1, 1, 1});
    f1.localMap = {Yellow, Cyan, Magenta, Grey};
    f1.transparentIndex = 0;
    f1.disposal = 2;
    f1.delayCs = 7;

    // Global map, interlaced, index 1 transparent; afterwards the canvas goes back to before.
    TGifFrameData f2 = Frame(5, 3, 4, 4, {2, 1, 2, 1, 1, 2, 1, 2, 0, 0, 1, 0, 2, 2, 2, 1});
    f2.transparentIndex = 1;
    f2.disposal = 3;
    f2.interlaced = true;
    f2.delayCs = 10;

    TGifFrameData f3 = Frame(0, 0, 3, 3, Fill(9, 1)); // green corner, left in place
    f3.disposal = 0;
    f3.delayCs = 0;

    // Reaches past the right and bottom edges; a two-entry local map.
    TGifFrameData f4 = Frame(8, 6, 4, 4, {0, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1});
    f4.localMap = {Cyan, Magenta};
    f4.disposal = 1;
    f4.delayCs = 3;

    TGifFrameData f5 = Frame(9, 0, 1, 1, {2});
    f5.delayCs = 100;

    gif.frames = {f0, f1, f2, f3, f4, f5};
    return gif;
}

std::optional<TGifAnimation> WriteAndDecode(const TempDir& dir, const TGifData& gif,
                                            const std::string& name = "sample.gif") {
    std::string error;
    if (!WriteGif(dir / name, gif, error)) {
        qWarning("cannot write the sample: %s", error.c_str());
        return std::nullopt;
    }
    QString why;
    auto decoded = LoadGif(QString::fromStdString(dir / name), &why);
    if (!decoded)
        qWarning("cannot decode the sample: %s", qPrintable(why));
    return decoded;
}

} // namespace

class TestGifPictures : public QObject {
    Q_OBJECT

private slots:
    void composesDisposalTransparencyAndLocalMaps() {
        TempDir dir;
        const TGifData gif = Sample();
        auto decoded = WriteAndDecode(dir, gif);
        QVERIFY(decoded);
        QVERIFY(ReadFileBytes(dir / "sample.gif").rfind("GIF89a", 0) == 0);
        CheckFrames(*decoded, gif);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(decoded->loopCount, 0);

        // The same rules, spelled out on single pixels.
        std::vector<QImage> f;
        f.reserve(decoded->frames.size());
        for (size_t i = 0; i < decoded->frames.size(); ++i)
            f.push_back(FrameImage(*decoded, i));
        QCOMPARE(f[0].pixel(4, 0), qRgb(255, 0, 0));
        QCOMPARE(f[1].pixel(2, 1), qRgb(255, 255, 255)); // transparent index: white beneath
        QCOMPARE(f[1].pixel(4, 2), qRgb(255, 0, 255));   // local map
        QCOMPARE(f[1].pixel(3, 1), qRgb(0, 255, 255));
        QCOMPARE(qAlpha(f[2].pixel(3, 1)), 0);           // frame 1 cleared its rectangle
        QCOMPARE(f[2].pixel(5, 3), qRgb(0, 0, 255));     // frame 2 draws with the global map
        QCOMPARE(f[2].pixel(6, 3), qRgb(255, 255, 255)); // its transparent index
        QCOMPARE(f[2].pixel(6, 4), qRgb(0, 0, 255));
        QCOMPARE(f[3].pixel(6, 4), qRgb(255, 255, 255)); // frame 2 restored what was before
        QCOMPARE(qAlpha(f[3].pixel(5, 3)), 0);           // ...including the cleared area
        QCOMPARE(f[4].pixel(1, 1), qRgb(0, 255, 0));     // frame 3 stays (disposal 0)
        QCOMPARE(f[4].pixel(8, 6), qRgb(0, 255, 255));   // clipped frame, local map entry 0
        QCOMPARE(f[4].pixel(9, 7), qRgb(0, 255, 255));
        QCOMPARE(f[5].pixel(9, 0), qRgb(0, 0, 255));
        QCOMPARE(Delays(*decoded), (std::vector<int>{50, 70, 100, 0, 30, 1000}));
    }

    void composesRandomAnimations() {
        TempDir dir;
        // The same pictures every run, so that a failure can be replayed.
        std::mt19937 random(20240611); // NOLINT(bugprone-random-generator-seed)
        auto pick = [&](int low, int high) {
            return std::uniform_int_distribution<int>(low, high)(random);
        };
        auto colours = [&](int count) {
            std::vector<TGifColor> map;
            map.reserve(static_cast<size_t>(count));
            for (int i = 0; i < count; ++i)
                map.push_back({std::uint8_t(pick(0, 255)), std::uint8_t(pick(0, 255)),
                               std::uint8_t(pick(0, 255))});
            return map;
        };
        for (int round = 0; round < 25; ++round) {
            TGifData gif;
            gif.width = pick(1, 40);
            gif.height = pick(1, 30);
            gif.globalMap = colours(1 << pick(1, 8));
            gif.loopCount = pick(-1, 3);
            const int count = pick(1, 8);
            for (int i = 0; i < count; ++i) {
                TGifFrameData f;
                f.width = pick(1, gif.width + 4);
                f.height = pick(1, gif.height + 4);
                f.left = pick(0, gif.width);
                f.top = pick(0, gif.height);
                if (pick(0, 2) == 0)
                    f.localMap = colours(1 << pick(1, 8));
                const int entries =
                    static_cast<int>((f.localMap.empty() ? gif.globalMap : f.localMap).size());
                for (int p = 0; p < f.width * f.height; ++p)
                    f.pixels.push_back(std::uint8_t(pick(0, entries - 1)));
                f.transparentIndex = pick(0, 1) ? pick(0, entries - 1) : -1;
                f.disposal = pick(0, 3);
                f.interlaced = pick(0, 3) == 0;
                f.delayCs = pick(0, 50);
                gif.frames.push_back(std::move(f));
            }
            auto decoded = WriteAndDecode(dir, gif, "random.gif");
            QVERIFY(decoded);
            CheckFrames(*decoded, gif);
            if (QTest::currentTestFailed())
                QFAIL(qPrintable(QStringLiteral("round %1").arg(round)));
            QCOMPARE(decoded->loopCount, gif.loopCount);
        }
    }

    void loopCounts() {
        TempDir dir;
        TGifData gif;
        gif.width = gif.height = 2;
        gif.globalMap = {Red, Blue};
        gif.frames = {Frame(0, 0, 2, 2, {0, 1, 1, 0}), Frame(0, 0, 2, 2, {1, 0, 0, 1})};
        for (int loop : {-1, 0, 1, 3, 65535}) {
            gif.loopCount = loop;
            auto decoded = WriteAndDecode(dir, gif);
            QVERIFY(decoded);
            QCOMPARE(decoded->loopCount, loop);
        }
    }

    // A few bytes may declare a screen or frames of any size: each is refused by its declared
    // size before anything is allocated for it (a 65535 × 65535 screen, and a frame of that
    // size, once made the decoder ask for gigabytes; found by the gif fuzz target).
    void refusesSizesBeyondTheLimits() {
        // A 65535 × 65535 screen (or a 10 × 10 screen with a 65535 × 65535 frame) holding one
        // 1 × 1 frame: 35 bytes.
        auto tiny = [](quint16 screen, quint16 frame) {
            QByteArray b("GIF89a");
            auto word = [&b](quint16 v) { b.append(char(v & 0xFF)).append(char(v >> 8)); };
            word(screen);
            word(screen);
            b.append("\x80\0\0\0\0\0\xff\xff\xff,\0\0\0\0", 14);
            word(frame);
            word(frame);
            return b.append("\0\x02\x02\x44\x01\0;", 7);
        };
        QString error;
        QVERIFY(!Decode(tiny(65535, 1), &error));
        QCOMPARE(error, "GIF picture too large: its screen is 65535 × 65535 pixels, at most "
                        "4096 × 4096");
        QVERIFY(!Decode(tiny(10, 65535), &error));
        QCOMPARE(error, "GIF frame 0 too large: 65535 × 65535 pixels, at most 4096 × 4096");
        QVERIFY(Decode(tiny(10, 1), &error)); // the same bytes at a sane size

        TempDir dir;
        auto decodeError = [&dir](const TGifData& gif) {
            std::string written;
            if (!WriteGif(dir / "large.gif", gif, written))
                return QString::fromStdString("not written: " + written);
            QString why;
            const auto bytes = QByteArray::fromStdString(ReadFileBytes(dir / "large.gif"));
            return Decode(bytes, &why) ? QString() : why;
        };
        TGifData gif;
        gif.globalMap = {Red, Blue};
        gif.width = kGifMaxSide;
        gif.height = 1;
        gif.frames = {Frame(0, 0, kGifMaxSide, 1, Fill(kGifMaxSide, 1))};
        QCOMPARE(decodeError(gif), QString()); // a side at the limit
        gif.frames = {Frame(0, 0, kGifMaxSide + 1, 1, Fill(kGifMaxSide + 1, 1))};
        QCOMPARE(decodeError(gif), "GIF frame 0 too large: 4097 × 1 pixels, at most 4096 × 4096");

        // Every frame is kept screen-sized: the second frame of a 4096 × 4096 screen is too much.
        gif.height = kGifMaxSide;
        gif.frames = {Frame(0, 0, 1, 1, {1}), Frame(0, 0, 1, 1, {0})};
        QCOMPARE(decodeError(gif), "GIF picture too large: with frame 1 its frames would hold more "
                                   "than 16777216 pixels");
        // Frames larger than a small screen are decoded whole before clipping: bounded too.
        gif.width = gif.height = 1;
        gif.frames.assign(2, Frame(0, 0, 3000, 3000, Fill(3000 * 3000, 1)));
        QCOMPARE(decodeError(gif), "GIF picture too large: with frame 1 its frames would hold more "
                                   "than 16777216 pixels");
        gif.frames.assign(kGifMaxFrames, Frame(0, 0, 1, 1, {1}));
        QCOMPARE(decodeError(gif), QString());
        gif.frames.push_back(Frame(0, 0, 1, 1, {0}));
        QCOMPARE(decodeError(gif), "GIF picture has too many frames: more than 1000");
    }

    void writerRefusesIndicesBeyondTheMap() {
        TempDir dir;
        TGifData gif;
        gif.width = gif.height = 2;
        gif.globalMap = {Red, Green, Blue}; // stored as four entries
        gif.frames = {Frame(0, 0, 2, 2, {0, 1, 2, 3})};
        std::string error;
        QVERIFY(WriteGif(dir / "ok.gif", gif, error));
        gif.frames[0].pixels[3] = 4;
        QVERIFY(!WriteGif(dir / "bad.gif", gif, error));
        QVERIFY(!error.empty());
        QCOMPARE(gif.frames[0].pixels, (std::vector<std::uint8_t>{0, 1, 2, 4})); // untouched
    }

    void rejectsWhatIsNoGif() {
        TempDir dir;
        const TGifData gif = Sample();
        auto good = WriteAndDecode(dir, gif);
        QVERIFY(good);
        const QByteArray bytes = QByteArray::fromStdString(ReadFileBytes(dir / "sample.gif"));
        QString error;
        QVERIFY(!Decode(QByteArray(), &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!Decode("not a picture at all"));
        QVERIFY(!Decode(QByteArray("GIF89a") + QByteArray(40, '\xff')));
        // A frame descriptor cut short before its code size: giflib gives no reason of its own
        // (found by the gif fuzz target).
        QVERIFY(!Decode(
            QByteArray("GIF89a\n\0\n\0\x80\0\0\0\0\0\xff\xff\xff,\0\0\xff\xff\xfd\xea\xff;@", 29),
            &error));
        QCOMPARE(error, "damaged GIF picture");
        // Cut anywhere: either an error or fewer frames, never a crash.
        for (qsizetype cut = 1; cut < bytes.size(); cut += 7) {
            auto part = Decode(bytes.left(cut));
            if (part)
                QVERIFY(part->frames.size() <= good->frames.size());
        }
        QVERIFY(!LoadGif(QStringLiteral("/nonexistent/picture.gif"), &error));
    }

    void programPictures() {
        struct Expected {
            const char* path;
            QSize size;
            size_t frames;
        };
        for (const Expected& e : {Expected{":/pictures/emblem.gif", {154, 105}, 1},
                                  Expected{":/pictures/radar.gif", {63, 63}, 16},
                                  Expected{":/pictures/hint_power_out.gif", {329, 209}, 1},
                                  Expected{":/pictures/hint_yes_key.gif", {329, 209}, 1},
                                  Expected{":/pictures/hint_power_in.gif", {329, 209}, 1},
                                  Expected{":/pictures/icon.gif", {32, 32}, 1}}) {
            QFile file(QString::fromLatin1(e.path));
            QVERIFY2(file.open(QIODevice::ReadOnly), e.path);
            QVERIFY2(file.read(6) == "GIF89a", e.path);
            QString error;
            auto picture = LoadGif(QString::fromLatin1(e.path), &error);
            QVERIFY2(picture, qPrintable(error));
            QCOMPARE(QSize(picture->width, picture->height), e.size);
            QCOMPARE(picture->frames.size(), e.frames);
        }
        // The three photos show three different scenes and cover their whole area.
        QImage photos[3];
        int i = 0;
        for (const char* path : {":/pictures/hint_power_out.gif", ":/pictures/hint_yes_key.gif",
                                 ":/pictures/hint_power_in.gif"}) {
            photos[i] = FrameImage(*LoadGif(QString::fromLatin1(path)), 0);
            QVERIFY(photos[i]
                        .convertToFormat(QImage::Format_RGB32)
                        .convertToFormat(QImage::Format_ARGB32) == photos[i]);
            ++i;
        }
        QVERIFY(photos[0] != photos[1] && photos[1] != photos[2] && photos[0] != photos[2]);
    }

    void radarLoopsSixteenFramesWithoutEnd() {
        auto radar = LoadGif(QStringLiteral(":/pictures/radar.gif"));
        QVERIFY(radar);
        QCOMPARE(radar->frames.size(), size_t(16));
        QCOMPARE(radar->loopCount, 0);
        QImage sheet(16 * 65, 65, QImage::Format_ARGB32);
        sheet.fill(QColor(0xe1, 0xe9, 0xf2));
        QPainter painter(&sheet);
        for (size_t i = 0; i < 16; ++i) {
            const QImage frame = FrameImage(*radar, i);
            QVERIFY(radar->frames[i].delayMs >= 20);
            // Round: the corners are transparent, the centre is drawn; the beam is green.
            QCOMPARE(qAlpha(frame.pixel(0, 0)), 0);
            QCOMPARE(qAlpha(frame.pixel(31, 31)), 255);
            QVERIFY(frame != FrameImage(*radar, (i + 1) % 16));
            painter.drawImage(static_cast<int>(i) * 65 + 1, 1, frame);
        }
        painter.end();
        const QString path = QStringLiteral(KESTREL_TEST_OUTPUT_DIR "/radar_frames.png");
        QVERIFY(sheet.save(path));
        qInfo("radar frames: %s", qPrintable(path));

        // The picture control goes round and round.
        TGifPicture picture;
        picture.SetAnimation(*radar);
        picture.show();
        QVERIFY(QTest::qWaitForWindowExposed(&picture));
        QTRY_VERIFY_WITH_TIMEOUT(picture.FrameChanges() >= 40, 60000);
        QVERIFY(picture.IsAnimating());
        picture.hide();
        QVERIFY(!picture.IsAnimating());
    }

    void finiteLoopsStopOnTheLastFrame() {
        TGifAnimation animation;
        animation.width = animation.height = 2;
        for (uint32_t i = 0; i < 3; ++i)
            animation.frames.push_back(
                {std::vector<uint32_t>(4, 0xFF000000u | i * 100 << 16), 20, 0});
        // No loop block: one pass. A count of 1: the first pass and one repetition.
        for (auto [loop, changes] : {std::pair{-1, 2}, std::pair{1, 5}}) {
            animation.loopCount = loop;
            TGifPicture picture;
            picture.SetAnimation(animation);
            picture.show();
            QTRY_VERIFY_WITH_TIMEOUT(!picture.IsAnimating() && picture.FrameChanges() > 0, 60000);
            QCOMPARE(picture.FrameChanges(), changes);
            QCOMPARE(picture.CurrentFrame(), 2);
        }
    }
};

KESTREL_WINDOW_TEST_MAIN(TestGifPictures)
#include "test_gif_pictures.moc"
