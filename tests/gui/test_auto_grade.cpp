// The automatic start: "AG" (any letter case) as the first argument clicks the start button once,
// 2000 ms after the window was created; anything else never does. Also the program itself
// starting up.
#include "ChildProcess.h"
#include "MainWindow.h"
#include "WindowTest.h"
#include "WindowThreadLink.h"

#include <QElapsedTimer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>

#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

class TestAutoGrade : public QObject {
    Q_OBJECT

private slots:
    void firstArgumentAgStartsOnce() {
        struct Case {
            QStringList arguments;
            bool starts;
            std::unique_ptr<TForm_Main> form;
            std::unique_ptr<QSignalSpy> clicks;
            int runs = 0;
            qint64 startedAt = -1;
        };
        std::vector<Case> cases;
        auto add = [&](QStringList arguments, bool starts) {
            cases.push_back(Case{std::move(arguments), starts, nullptr, nullptr});
        };
        add({"AG"}, true);
        add({"ag"}, true);
        add({"Ag"}, true);
        add({"AG", "extra"}, true);
        add({}, false);
        add({"x", "AG"}, false);
        add({"/AG"}, false);
        add({"-AG"}, false);
        add({"AGX"}, false);
        add({""}, false);

        // All windows at once: their timers run side by side.
        QElapsedTimer clock;
        clock.start();
        for (Case& c : cases) {
            const qint64 created = clock.elapsed();
            c.form = std::make_unique<TForm_Main>(c.arguments);
            c.clicks = std::make_unique<QSignalSpy>(c.form->But_Stat, &QPushButton::clicked);
            c.form->OnStart = [&c, &clock, created] {
                ++c.runs;
                c.startedAt = clock.elapsed() - created;
            };
            c.form->show();
        }
        auto disarmed = [&] {
            for (const Case& c : cases)
                if (c.form->TimerAutoGrade->isActive())
                    return false;
            return true;
        };
        QTRY_VERIFY_WITH_TIMEOUT(disarmed(), 120000);
        QCoreApplication::processEvents();

        for (Case& c : cases) {
            const QString name = QLatin1Char('[') + c.arguments.join(QLatin1Char(' ')) + ']';
            QVERIFY2(c.runs == (c.starts ? 1 : 0), qPrintable(name));
            QVERIFY2(c.clicks->count() == c.runs, qPrintable(name));
            if (c.starts)
                QVERIFY2(c.startedAt >= 1990, qPrintable(name + " started too early"));
            // Showing the window again does not arm the timer a second time.
            c.form->hide();
            c.form->show();
            QVERIFY2(!c.form->TimerAutoGrade->isActive(), qPrintable(name));
        }
    }

    void disabledStartButtonIsNotClicked() {
        TForm_Main form({"AG"});
        int runs = 0;
        form.OnStart = [&] { ++runs; };
        form.Link().SetStartEnabled(false);
        QTRY_VERIFY_WITH_TIMEOUT(!form.TimerAutoGrade->isActive(), 60000);
        QCoreApplication::processEvents();
        QCOMPARE(runs, 0);
    }

    void programStartsAndShowsItsNotice() {
#ifdef KESTREL_PATH_KESTREL
        // A window of the test's own: KESTREL_INSTANCE names it apart from any other.
        ChildProcess kestrel({KESTREL_PATH_KESTREL},
                             {"QT_QPA_PLATFORM=offscreen", "QTWEBENGINE_DISABLE_SANDBOX=1",
                              "KESTREL_INSTANCE=test-auto-grade-" + std::to_string(::getpid())},
                             true);
        // The start-up notice goes to standard error with the status line.
        QTRY_VERIFY_WITH_TIMEOUT(
            QString::fromStdString(kestrel.Stderr()).contains("VELT在线升级："), 60000);
        QVERIFY(!kestrel.Wait(std::chrono::milliseconds(0)).has_value());
        kestrel.Stop();
#else
        QSKIP("the program is not built");
#endif
    }
};

KESTREL_WINDOW_TEST_MAIN(TestAutoGrade)
#include "test_auto_grade.moc"
