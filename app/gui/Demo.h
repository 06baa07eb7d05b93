#pragma once
// The main window Form_Main: the information page, the device type and port boxes, the progress
// bar, the status line, the two pictures and the two buttons. It is the front end the upgrade
// workflow drives (TWorkflowUI), and the window the device and server links report to.
#include "WorkflowUI.h"

#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <mutex>
#include <string>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QThread;
class QTimer;
class TGifPicture;
class THintForm;

// The application title (the task-bar entry).
QString ApplicationTitle();
// The device information page: the configured base address and "/url/QX40Info.htm".
QUrl InfoPageUrl();
// Copies a text the windows show to standard error as one line, so that the run can be followed
// from a terminal (and by the end-to-end tests).
void EchoToTerminal(const QString& text);

class TForm_Main : public QWidget, public TWorkflowUI {
    Q_OBJECT
public:
    // `arguments` are the command-line arguments after the program name.
    explicit TForm_Main(const QStringList& arguments, QWidget* parent = nullptr);
    ~TForm_Main() override;

    // The start action run by But_Stat (user click or the automatic start) and the cancel
    // action of But_Stop. The workflow installs them; without one a click does nothing.
    std::function<void()> OnStart;
    std::function<void()> OnStop;
    // Asked when the window is to be closed: false keeps it open (the workflow defers the close
    // until its action has ended, and then asks the program to end). Unset: it closes.
    std::function<bool()> OnCloseRequest;

    // The guided dialog that ShowHintSteps runs.
    void SetHintForm(THintForm* hintForm) { hintForm_ = hintForm; }

    // TWindowLink
    void ShowStatus(const std::string& text) override;
    TProgressBar& ProgressBar() override;
    void ShowBusy(bool busy) override;
    void SetStartEnabled(bool enabled) override;
    void SetStopEnabled(bool enabled) override;
    void Repaint() override;
    void ProcessMessages() override;
    // TWorkflowUI
    void ShowPort(int comId) override;
    void SetDeviceType(const std::string& text) override;
    std::string DeviceType() override;
    void Sleep(int ms) override;
    void ShowHintSteps() override;
    void RequestTerminate() override;
    // The application's error box (and the same text on standard error).
    void ShowError(const std::string& text) override;

    // The controls, named as in the window's design.
    QPushButton* But_Stat;
    QProgressBar* PBar;
    QPushButton* But_Stop;
    QWidget* WebBrowser;
    QComboBox* CBox_HardTyp;
    QComboBox* CBox_COMIID;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Lab_Err;
    TGifPicture* IMG1;
    TGifPicture* IMG2;
    QTimer* TimerAutoGrade;

public slots:
    void But_StatClick();
    void But_StopClick();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private slots:
    void TimerAutoGradeTimer();

private:
    class TFormProgress;

    void FormCreate();
    void FormShow();
    void SetStatusText(const QString& text);
    bool OnWindowThread() const;
    // Runs `action` now on the window's thread, or posts it there from any other thread.
    template <typename F> void Dispatch(F action);

    QStringList arguments_;
    TFormProgress* progress_;
    THintForm* hintForm_ = nullptr;
    bool autoGradeDone_ = false;
    bool startRunning_ = false;
    std::mutex deviceTypeMutex_;
    std::string deviceType_; // CBox_HardTyp's text, readable from any thread
};

// The program's two windows, one each for the whole run (set by the program's start).
extern TForm_Main* Form_Main;
