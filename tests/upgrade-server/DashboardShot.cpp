// dashboard-shot URL OUT.png: loads the upgrade server's dashboard in Qt WebEngine (Chromium) at
// 1280x800, waits until the page has drawn the server's data, reads back what it shows (the
// releases' figures and plotted points, the versions' bars, the totals, the failed sessions, and
// whether any markup from the data became an element), saves a screenshot, then narrows the
// window to a phone's width, waits for the page's next refresh and saves OUT-phone.png. Prints
// what it read as one line of JSON; exit status 0, or 1 with the reason on standard error.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <cstdio>
#include <functional>
#include <optional>

namespace {
// WebEngine starts its own processes and the server may be slow beside other builds.
constexpr int kDeadlineMs = 90000;
constexpr int kPollMs = 100;

// What the page shows, read from its DOM: only what is drawn and written, never the JSON it
// fetched.
const char* const kReadBack = R"js((() => {
  const text = (node) => (node ? node.textContent : null);
  const series = ["offered", "downloaded", "installed", "came_back"];
  const releases = [...document.querySelectorAll("#releases .release")].map((r) => {
    const shown = { release: `${text(r.querySelector(".type"))} ${text(r.querySelector(".version"))}`,
                    state: text(r.querySelector(".state")) };
    for (const s of series) shown[s] = Number(text(r.querySelector(`[data-figure="${s}"]`)));
    shown.points = series.map((s) =>
      r.querySelectorAll(`g.points[data-series="${s}"] circle`).length);
    shown.events = [...r.querySelectorAll("g.event text")].map(text);
    shown.stage = text(r.querySelector(".stage"));
    return shown;
  });
  const versions = [];
  let type = null;
  for (const node of document.querySelectorAll("svg.versions > *")) {
    if (node.matches("text.type-label")) type = text(node.querySelector("title"));
    if (node.matches("g.bar") && Number(node.querySelector("rect").getAttribute("width")) > 0)
      versions.push({ type, version: text(node.querySelector("title")),
                      devices: Number(text(node.querySelector("text.count"))) });
  }
  const totals = {};
  for (const dd of document.querySelectorAll("#totals dd"))
    totals[dd.dataset.total] = dd.dataset.total === "bytes_sent"
      ? Number(dd.getAttribute("title").split(" ")[0]) : Number(dd.textContent);
  const failed = [...document.querySelectorAll("#failed tbody tr")].map((row) => {
    const cell = (css) => text(row.querySelector(`td.${css}`));
    return { type: cell("type"), device: cell("device"), sver: cell("sver"),
             answer: cell("answer"), end: cell("cause") };
  });
  const injected = document.querySelectorAll("body img, body script, body iframe, body object")
    .length + (window.kestrelInjected === undefined ? 0 : 1);
  return JSON.stringify({ releases, versions, totals, failed, injected });
})())js";

class Shot {
public:
    explicit Shot(QWebEngineView& view) : view_(view) { clock_.start(); }

    // The value of `script` once `done` holds for it; nothing after the deadline.
    std::optional<QVariant> WaitFor(const QString& script,
                                    const std::function<bool(const QVariant&)>& done) {
        while (clock_.elapsed() < kDeadlineMs) {
            QVariant value = Run(script);
            if (done(value))
                return value;
            Pause();
        }
        return std::nullopt;
    }

    QVariant Run(const QString& script) {
        QEventLoop loop;
        QVariant result;
        view_.page()->runJavaScript(script, [&](const QVariant& v) {
            result = v;
            loop.quit();
        });
        loop.exec();
        return result;
    }

    // The view as shown, once two grabs in a row agree and hold more than a blank page: the
    // compositor shows the page a little after the DOM is done.
    bool Save(const QString& path) {
        QImage previous;
        while (clock_.elapsed() < kDeadlineMs) {
            QImage image = view_.grab().toImage();
            if (image == previous && !Blank(image))
                return image.save(path);
            previous = image;
            Pause();
        }
        return false;
    }

private:
    static bool Blank(const QImage& image) {
        const QRgb first = image.pixel(0, 0);
        for (int y = 0; y < image.height(); y += 7)
            for (int x = 0; x < image.width(); x += 7)
                if (image.pixel(x, y) != first)
                    return false;
        return true;
    }

    void Pause() {
        QEventLoop loop;
        QTimer::singleShot(kPollMs, &loop, &QEventLoop::quit);
        loop.exec();
    }

    QWebEngineView& view_;
    QElapsedTimer clock_;
};

int Fail(const char* why) {
    std::fprintf(stderr, "dashboard-shot: %s\n", why);
    return 1;
}
} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 3)
        return Fail("usage: dashboard-shot URL OUT.png");
    const QString out = QString::fromLocal8Bit(argv[2]);
    QWebEngineView view;
    view.resize(1280, 800);
    view.show();
    view.load(QUrl(QString::fromLocal8Bit(argv[1])));
    Shot shot(view);
    auto refreshes = [](int least) {
        return [least](const QVariant& v) { return v.toString().toInt() >= least; };
    };
    const QString refreshed = "document.documentElement.dataset.refreshes || '0'";
    if (!shot.WaitFor(refreshed, refreshes(1)))
        return Fail("the page did not draw the server's data in time");
    const QString shown = shot.Run(kReadBack).toString();
    if (!shot.Save(out))
        return Fail("cannot save the screenshot");

    // A phone: the page must fit its width, and keep refreshing without a reload (which would
    // start its count again).
    view.resize(390, 844);
    auto phone = shot.WaitFor(
        "(() => { const root = document.documentElement; return window.innerWidth === 390 && "
        "root.dataset.refreshes >= 2 ? `\"width\":${window.innerWidth},\"client_width\":"
        "${root.clientWidth},\"scroll_width\":${root.scrollWidth}` : ''; })()",
        [](const QVariant& v) { return !v.toString().isEmpty(); });
    if (!phone)
        return Fail("the page did not refresh itself at a phone's width in time");
    QString phoneOut = out;
    phoneOut.replace(".png", "-phone.png");
    if (!shot.Save(phoneOut))
        return Fail("cannot save the phone's screenshot");
    std::printf("%s,\"phone\":{%s}}\n", shown.chopped(1).toUtf8().constData(),
                phone->toString().toUtf8().constData());
    return 0;
}
