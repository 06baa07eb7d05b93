#include "WindowThreadLink.h"

#include "GifPicture.h"
#include "HintWin.h"
#include "MainWindow.h"
#include "PortInventory.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <thread>

// PBar as the device and server links see it.
class TWindowThreadLink::TFormProgress : public TProgressBar {
public:
    explicit TFormProgress(TWindowThreadLink& link) : link_(link) {}
    void SetMax(int max) override {
        link_.Dispatch([bar = link_.form_.PBar, max] {
            // A maximum of 0 would turn Qt's bar into a busy indicator.
            bar->setRange(0, std::max(max, 1));
        });
    }
    void SetPosition(int position) override {
        link_.Dispatch([bar = link_.form_.PBar, position] {
            // Qt ignores values outside the range; the bar clamps them instead.
            bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
        });
    }

private:
    TWindowThreadLink& link_;
};

TWindowThreadLink::TWindowThreadLink(TForm_Main& form)
    : form_(form), progress_(std::make_unique<TFormProgress>(*this)),
      deviceType_(form.CBox_HardTyp->currentText().toStdString()) {}

TWindowThreadLink::~TWindowThreadLink() = default;

bool TWindowThreadLink::OnWindowThread() const {
    return QThread::currentThread() == form_.thread();
}

template <typename F> void TWindowThreadLink::Dispatch(F action) {
    if (OnWindowThread())
        action();
    else // never wait: the window's thread may itself be waiting for the caller
        QMetaObject::invokeMethod(&form_, std::move(action), Qt::QueuedConnection);
}

void TWindowThreadLink::ShowStatus(const std::string& text) {
    Dispatch([this, text = QString::fromStdString(text)] { form_.SetStatusText(text); });
}

void TWindowThreadLink::ShowCause(const std::string& cause) {
    Dispatch([this, cause = QString::fromStdString(cause)] { form_.SetCause(cause); });
}

TProgressBar& TWindowThreadLink::ProgressBar() {
    return *progress_;
}

void TWindowThreadLink::ShowBusy(bool busy) {
    Dispatch([this, busy] {
        form_.IMG1->setVisible(!busy);
        form_.IMG2->setVisible(busy);
    });
}

void TWindowThreadLink::SetStartEnabled(bool enabled) {
    Dispatch([this, enabled] { form_.But_Stat->setEnabled(enabled); });
}

void TWindowThreadLink::SetStopEnabled(bool enabled) {
    Dispatch([this, enabled] { form_.But_Stop->setEnabled(enabled); });
}

void TWindowThreadLink::Repaint() {
    if (OnWindowThread())
        form_.repaint();
    else
        QMetaObject::invokeMethod(&form_, qOverload<>(&QWidget::update), Qt::QueuedConnection);
}

void TWindowThreadLink::ProcessMessages() {
    if (OnWindowThread())
        QCoreApplication::processEvents();
}

void TWindowThreadLink::ShowPort(const TPortId& port) {
    const int comId = port.number;
    const QString path = QString::fromStdString(port.path);
    const QString tip = QString::fromStdString(PortTip(port));
    Dispatch([this, comId, path, tip] {
        QComboBox* box = form_.CBox_COMIID;
        if (comId < 1)
            return;
        // COM1 to COM16 are the box's own entries; a higher port gets an entry of its own.
        const QString name = QStringLiteral("COM%1").arg(comId);
        int index = box->findText(name);
        if (index < 0) {
            box->addItem(name);
            index = box->count() - 1;
        }
        box->setCurrentIndex(index);
        box->setToolTip(tip);
        EchoToTerminal(form_.Label2->text() + name + (path.isEmpty() ? QString() : " " + path));
    });
}

void TWindowThreadLink::SetDeviceType(const std::string& text) {
    {
        std::lock_guard lock(deviceTypeMutex_);
        deviceType_ = text;
    }
    Dispatch(
        [this, text = QString::fromStdString(text)] { form_.CBox_HardTyp->setEditText(text); });
}

std::string TWindowThreadLink::DeviceType() {
    std::lock_guard lock(deviceTypeMutex_);
    return deviceType_;
}

void TWindowThreadLink::Sleep(int ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void TWindowThreadLink::ShowHintSteps() {
    Dispatch([this] {
        if (hintForm_)
            hintForm_->ShowHintSteps();
    });
}

void TWindowThreadLink::RequestTerminate() {
    // Queued: the application ends once the current action has returned to the message loop.
    // exit() and not quit(): quit() asks the windows first, and a window may refuse to close.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void TWindowThreadLink::ShowError(const std::string& text) {
    Dispatch([this, text = QString::fromStdString(text)] {
        EchoToTerminal(text);
        QMessageBox::critical(&form_, ApplicationTitle(), text);
    });
}
