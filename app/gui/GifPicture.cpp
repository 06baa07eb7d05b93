#include "GifPicture.h"

#include <QPixmap>
#include <QTimer>

TGifPicture::TGifPicture(QWidget* parent) : QLabel(parent), timer_(new QTimer(this)) {
    setAlignment(Qt::AlignCenter);
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, &TGifPicture::Advance);
}

bool TGifPicture::LoadPicture(const QString& path) {
    QString error;
    auto animation = LoadGif(path, &error);
    if (!animation) {
        qWarning("picture %s: %s", qPrintable(path), qPrintable(error));
        return false;
    }
    SetAnimation(std::move(*animation));
    return true;
}

void TGifPicture::SetAnimation(TGifAnimation animation) {
    timer_->stop();
    animation_ = std::move(animation);
    passesLeft_ = animation_.loopCount == 0 ? -1 : std::max(animation_.loopCount, 0);
    changes_ = 0;
    ShowFrame(0);
    if (isVisible())
        ScheduleNext();
}

bool TGifPicture::IsAnimating() const {
    return timer_->isActive();
}

void TGifPicture::showEvent(QShowEvent* event) {
    QLabel::showEvent(event);
    if (!timer_->isActive())
        ScheduleNext();
}

void TGifPicture::hideEvent(QHideEvent* event) {
    QLabel::hideEvent(event);
    timer_->stop();
}

void TGifPicture::ShowFrame(int frame) {
    frame_ = frame;
    if (frame < static_cast<int>(animation_.frames.size()))
        setPixmap(QPixmap::fromImage(animation_.frames[static_cast<size_t>(frame)]));
    else
        clear();
}

void TGifPicture::ScheduleNext() {
    const int count = static_cast<int>(animation_.frames.size());
    if (count < 2)
        return;
    if (frame_ == count - 1 && passesLeft_ == 0)
        return; // the last pass has ended on its last frame
    // Very short delays are shown as 100 ms, as browsers do.
    const int delay = animation_.delaysMs[static_cast<size_t>(frame_)];
    timer_->start(delay <= 10 ? 100 : delay);
}

void TGifPicture::Advance() {
    const int count = static_cast<int>(animation_.frames.size());
    int next = frame_ + 1;
    if (next >= count) {
        if (passesLeft_ == 0)
            return;
        if (passesLeft_ > 0)
            --passesLeft_;
        next = 0;
    }
    ShowFrame(next);
    ++changes_;
    emit FrameChanged(next);
    ScheduleNext();
}
