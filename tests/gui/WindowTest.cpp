#include "WindowTest.h"

#include "MainWindow.h"

#include <unistd.h>

bool CreateShownProgramWindows() {
    CreateProgramWindows({});
    Form_Main->show();
    return QTest::qWaitForWindowExposed(Form_Main);
}

StderrCapture::StderrCapture() : file_(std::tmpfile()), saved_(::dup(STDERR_FILENO)) {
    std::fflush(stderr);
    ::dup2(::fileno(file_), STDERR_FILENO);
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    std::fclose(file_);
}

std::string StderrCapture::Text() {
    std::fflush(stderr);
    std::string text;
    std::fseek(file_, 0, SEEK_SET);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0)
        text.append(buffer, n);
    std::fseek(file_, 0, SEEK_END);
    return text;
}

ModalDriver::ModalDriver(QWidget* dialog, std::function<void(int)> onShown)
    : dialog_(dialog), onShown_(std::move(onShown)) {
    dialog_->installEventFilter(this);
    startTimer(20);
}

bool ModalDriver::eventFilter(QObject* watched, QEvent* event) {
    if (watched == dialog_ && event->type() == QEvent::Show)
        pending_ = true;
    return false;
}

void ModalDriver::timerEvent(QTimerEvent*) {
    // Each display is answered once, when its modal loop runs.
    if (!pending_ || !dialog_->isVisible() || QApplication::activeModalWidget() != dialog_)
        return;
    pending_ = false;
    onShown_(displays_++);
}
