#pragma once
// GIF pictures of the two windows: a decoder over giflib that composes the frames the way they
// are meant to be seen, and a picture control that shows them and animates them while visible.
#include <QByteArray>
#include <QImage>
#include <QLabel>
#include <QString>

#include <optional>
#include <vector>

class QTimer;

struct TGifAnimation {
    QSize size;                 // the logical screen
    std::vector<QImage> frames; // composed, screen-sized, ARGB32 (transparent where undrawn)
    std::vector<int> delaysMs;  // per frame, as stored (hundredths of a second times 10)
    int loopCount = -1;         // NETSCAPE2.0 count: 0 repeats without end; -1 = no loop block
};

// Composition rules: the canvas starts transparent; a frame's transparent index and indices
// beyond its colour map leave the canvas as it is; after a frame has been shown, disposal 2
// clears its rectangle to transparent, disposal 3 restores the canvas from before the frame, and
// 0, 1 (and the undefined 4 to 7) leave it. Frame rectangles are clipped to the screen.
std::optional<TGifAnimation> DecodeGif(const QByteArray& bytes, QString* error = nullptr);
// A file or a Qt resource path (":/pictures/radar.gif").
std::optional<TGifAnimation> LoadGif(const QString& path, QString* error = nullptr);

// A picture control. Shows frame 0 centred; with several frames it animates while visible,
// following the delays and the loop count (0: without end; n: n repetitions after the first
// pass; no loop block: one pass).
class TGifPicture : public QLabel {
    Q_OBJECT
public:
    explicit TGifPicture(QWidget* parent = nullptr);

    bool LoadPicture(const QString& path);
    void SetAnimation(TGifAnimation animation);
    const TGifAnimation& Animation() const { return animation_; }

    int CurrentFrame() const { return frame_; }
    bool IsAnimating() const;
    // Frame changes since the picture was set (for watching the animation run).
    long long FrameChanges() const { return changes_; }

signals:
    void FrameChanged(int frame);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void ShowFrame(int frame);
    void Advance();
    void ScheduleNext();

    TGifAnimation animation_;
    QTimer* timer_;
    int frame_ = 0;
    int passesLeft_ = 0; // further passes after the current one; -1: without end
    long long changes_ = 0;
};
