#pragma once
// The picture control of the two windows: shows a decoded GIF (GifDecoder.h) and animates it
// while visible.
#include "GifDecoder.h"

#include <QImage>
#include <QLabel>
#include <QString>

#include <optional>

class QTimer;

// A file or a Qt resource path (":/pictures/radar.gif"), decoded.
std::optional<TGifAnimation> LoadGif(const QString& path, QString* error = nullptr);
// One frame of a decoded picture as an image.
QImage FrameImage(const TGifAnimation& animation, size_t frame);

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

    int CurrentFrame() const { return playback_.Frame(); }
    bool IsAnimating() const;
    // Frame changes since the picture was set (for watching the animation run).
    long long FrameChanges() const { return changes_; }

signals:
    void FrameChanged(int frame);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void ShowFrame();
    void Advance();
    void ScheduleNext();

    TGifAnimation animation_;
    TGifPlayback playback_;
    QTimer* timer_;
    long long changes_ = 0;
};
