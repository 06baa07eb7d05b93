#include "GifPicture.h"

#include <QFile>
#include <QPixmap>
#include <QTimer>

std::optional<TGifAnimation> LoadGif(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    std::string why;
    auto animation = DecodeGif(
        {reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size())},
        &why);
    if (!animation && error)
        *error = QString::fromStdString(why);
    return animation;
}

QImage FrameImage(const TGifAnimation& animation, size_t frame) {
    // QImage's ARGB32 is the decoder's 0xAARRGGBB per pixel, straight alpha.
    QImage image(animation.width, animation.height, QImage::Format_ARGB32);
    const std::vector<uint32_t>& pixels = animation.frames.at(frame).pixels;
    for (int y = 0; y < animation.height; ++y)
        std::copy_n(pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(animation.width),
                    animation.width, reinterpret_cast<uint32_t*>(image.scanLine(y)));
    return image;
}

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
    playback_ = TGifPlayback(animation_);
    changes_ = 0;
    ShowFrame();
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

void TGifPicture::ShowFrame() {
    const auto frame = static_cast<size_t>(playback_.Frame());
    if (frame < animation_.frames.size())
        setPixmap(QPixmap::fromImage(FrameImage(animation_, frame)));
    else
        clear();
}

void TGifPicture::ScheduleNext() {
    if (const auto delay = playback_.DelayMs())
        timer_->start(*delay);
}

void TGifPicture::Advance() {
    if (!playback_.Advance())
        return;
    ShowFrame();
    ++changes_;
    emit FrameChanged(playback_.Frame());
    ScheduleNext();
}
