#pragma once
// The embedded browser that shows the device information page: Qt WebEngine when the build has
// it, otherwise a plain HTML viewer that fetches the page with one HTTP GET.
#include <QString>
#include <QUrl>

#include <chrono>

class QWidget;

// A page that has not loaded this long after its load began counts as not answering.
inline constexpr std::chrono::milliseconds InfoPageAnswerLimit = std::chrono::seconds(15);

// Why the page could not be loaded, as the fallback page tells it.
enum class TInfoFailure { NotFound, Refused, NameNotResolved, NoAnswer, Tls, Other };

// Creates the browser and starts loading `url`. A page that cannot be loaded, or has not loaded
// within `answerLimit`, is replaced by InfoUnavailablePage (the browser's own error page is never
// shown), and the failure is echoed on standard error. The fallback page's reload link loads
// `url` again.
QWidget* CreateInfoBrowser(const QUrl& url, QWidget* parent,
                           std::chrono::milliseconds answerLimit = InfoPageAnswerLimit);
// The address the browser was sent to.
QUrl InfoBrowserUrl(const QWidget* browser);
// The small local page shown instead of an information page that cannot be loaded, as plain
// text: in Chinese, that the device information is unavailable and the short reason, the
// address, a reload link "重新加载", and the English detail in small print. It wraps at any
// width: no horizontal scroll bar.
QString InfoUnavailablePage(const QUrl& url, TInfoFailure failure, const QString& detail);
// The short Chinese reason of a failure.
QString InfoFailureText(TInfoFailure failure);
// Why the page could not be loaded (the English detail); empty while it loads or once it has
// loaded.
QString InfoBrowserLoadError(const QWidget* browser);
