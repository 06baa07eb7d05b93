#include "HintWin.h"

#include "GifPicture.h"
#include "HintSteps.h"
#include "MainWindow.h"
#include "Skin.h"
#include "WindowTexts.h"

#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>

THintForm* HintForm = nullptr;

namespace {

QPushButton* MakeButton(QDialog* dialog, const char* name, const QString& text, int result,
                        QRect place) {
    auto* button = new QPushButton(text, dialog);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(place);
    button->setFont(SkinFont(13, true));
    // Enter must not answer a step on the user's behalf.
    button->setAutoDefault(false);
    QObject::connect(button, &QPushButton::clicked, dialog,
                     [dialog, result] { dialog->done(result); });
    return button;
}

TGifPicture* MakePicture(QWidget* parent, const char* name, const QString& path) {
    auto* picture = new TGifPicture(parent);
    picture->setObjectName(QString::fromLatin1(name));
    picture->setGeometry(6, 32, 329, 209);
    picture->LoadPicture(path);
    return picture;
}

} // namespace

const QStringList& THintForm::HintSteps() {
    static const QStringList steps = [] {
        QStringList texts;
        for (const char* text : HintText::Steps)
            texts << QString::fromUtf8(text);
        return texts;
    }();
    return steps;
}

THintForm::THintForm(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setObjectName(QStringLiteral("HintForm"));
    setWindowTitle(QString::fromUtf8(WindowText::HintCaption));
    setFixedSize(339, 335);
    setFont(SkinFont(12));
    setStyleSheet(SkinStyleSheet());
    new TSkinTitleBar(this, false); // it waits for an answer: no close button

    But2 =
        MakeButton(this, "But2", QString::fromUtf8(HintText::Seen), ResultSeen, {13, 299, 80, 27});
    But1 =
        MakeButton(this, "But1", QString::fromUtf8(HintText::Done), ResultDone, {133, 299, 80, 27});
    But3 = MakeButton(this, "But3", QString::fromUtf8(HintText::NotSeen), ResultNotSeen,
                      {245, 299, 80, 27});

    IMG1 = MakePicture(this, "IMG1", QStringLiteral(":/pictures/hint_power_out.gif"));

    HintMemo = new QPlainTextEdit(this);
    HintMemo->setObjectName(QStringLiteral("HintMemo"));
    HintMemo->setGeometry(10, 250, 321, 41);
    HintMemo->setReadOnly(true);
    HintMemo->setFrameShape(QFrame::NoFrame);
    HintMemo->setFocusPolicy(Qt::NoFocus);
    HintMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    HintMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Three lines of the first step fit the memo's 41 pixels at this size.
    HintMemo->setFont(SkinFont(11, true));
    HintMemo->document()->setDocumentMargin(0);
    QPalette red = HintMemo->palette();
    red.setColor(QPalette::Text, Qt::red);
    HintMemo->setPalette(red);

    IMG2 = MakePicture(this, "IMG2", QStringLiteral(":/pictures/hint_yes_key.gif"));
    IMG3 = MakePicture(this, "IMG3", QStringLiteral(":/pictures/hint_power_in.gif"));
}

THintForm::~THintForm() {
    if (HintForm == this)
        HintForm = nullptr;
}

void THintForm::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    PaintSkinFrame(painter, *this, QPixmap());
}

int THintForm::ShowStep() {
    // Centred over the main window by the client areas: the window frames are known only once
    // the windows are on the screen, and both have a title bar anyway.
    if (QWidget* owner = parentWidget()) {
        QRect place(QPoint(), size());
        place.moveCenter(owner->geometry().center());
        setGeometry(place);
    }
    // The step's text on the terminal too: one line per display.
    EchoToTerminal(HintMemo->toPlainText());
    return exec();
}

void THintForm::ShowHintSteps() {
    const QStringList& text = HintSteps();
    // A pass is four modal displays. Only the answer to the last one counts: "看到了" ends the
    // steps; "没有看到", Escape or closing the dialog otherwise starts them again.
    do {
        IMG1->show();
        IMG2->hide();
        IMG3->hide();
        But1->show();
        But2->hide();
        But3->hide();
        HintMemo->clear();
        HintMemo->appendPlainText(text[0]);
        HintMemo->appendPlainText(text[1]);
        HintMemo->moveCursor(QTextCursor::Start); // show the first line, not the last
        ShowStep();

        IMG1->hide();
        IMG2->show();
        IMG3->hide();
        HintMemo->setPlainText(text[2]);
        ShowStep();

        IMG1->hide();
        IMG2->hide();
        IMG3->show();
        HintMemo->setPlainText(text[3]);
        ShowStep();

        But1->hide();
        But2->show();
        But3->show();
        HintMemo->setPlainText(text[4]);
        ShowStep();
    } while (result() != ResultSeen);
    setResult(0);
}
