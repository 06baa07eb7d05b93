#pragma once
// The guided loader-entry dialog HintForm: four modal steps, each with one photo and a red text,
// that walk the user through restarting the device into its loader.
#include <QDialog>
#include <QStringList>

class QPlainTextEdit;
class QPushButton;
class TGifPicture;

class THintForm : public QDialog {
    Q_OBJECT
public:
    // Modal results of the three buttons.
    enum { ResultSeen = 1, ResultNotSeen = 2, ResultDone = 6 };

    // The parent is the main window: the dialog is centred over it and blocks it while shown.
    explicit THintForm(QWidget* parent = nullptr);
    ~THintForm() override;

    // Runs the steps until the user answers "看到了" in the fourth; afterwards the modal result
    // is 0 again, so the next call starts at the first step.
    void ShowHintSteps();

    static const QStringList& HintSteps();

    QPushButton* But2; // "看到了"
    QPushButton* But1; // "完 成"
    QPushButton* But3; // "没有看到"
    TGifPicture* IMG1;
    QPlainTextEdit* HintMemo;
    TGifPicture* IMG2;
    TGifPicture* IMG3;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int ShowStep();
};

extern THintForm* HintForm;
