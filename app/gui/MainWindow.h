#pragma once
// The main window Form_Main: the information page, the device type and port boxes, the progress
// bar, the status line, the two pictures and the two buttons, laid out as designed, and the
// handlers of its buttons, its timer and its events. Everything here runs on the window's thread;
// the workflow and the device and server links reach the window through Link().
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class TGifPicture;
class TWindowThreadLink;

// The application title (the task-bar entry).
QString ApplicationTitle();
// Copies a text the windows show to standard error as one line, so that the run can be followed
// from a terminal (and by the end-to-end tests).
void EchoToTerminal(const QString& text);

class TForm_Main : public QWidget {
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

    // The window as the workflow and the device and server links see it (TWorkflowUI), callable
    // from any thread.
    TWindowThreadLink& Link() { return *link_; }
    // Runs the calls other threads have posted to the window that still wait.
    void DeliverPostedCalls();

    // The status line Lab_Err, with its copy on standard error.
    void SetStatusText(const QString& text);
    // Why the last action failed (one English line, also on standard error): the status line's
    // tooltip, and what its context menu entry CopyCause copies for support. The status text
    // itself stays as it is. An empty text clears it (a new action begins).
    void SetCause(const QString& cause);
    QString Cause() const { return cause_; }
    // Puts the cause on the clipboard.
    void CopyCause();

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
    // The steps of the construction, in their order: the frame (size, caption, skin), the
    // controls above the status line and the buttons, the status line with its context menu,
    // the two pictures, the timer of the automatic start (armed).
    void SetUpFrame();
    void CreateControls();
    void CreateStatusLine();
    void CreatePictures();
    void CreateAutoStartTimer();
    void FormCreate();
    void FormShow();

    QStringList arguments_;
    QString cause_;
    bool autoGradeDone_ = false;
    std::unique_ptr<TWindowThreadLink> link_; // made once the controls exist
};

// The program's main window, one for the whole run (set by the program's start).
extern TForm_Main* Form_Main;
