#pragma once
// The embedded browser that shows the device information page: Qt WebEngine when the build has
// it, otherwise a plain HTML viewer that fetches the page with one HTTP GET.
#include "TimeLimits.h"
#include "WindowTexts.h"

#include <QString>
#include <QUrl>

#include <chrono>

class QWidget;

// Creates the browser and starts loading `url`. A page that cannot be loaded, or has not loaded
// within `answerLimit`, is replaced by InfoUnavailablePage (the browser's own error page is never
// shown), and the failure is echoed on standard error. The fallback page's reload link loads
// `url` again.
QWidget* CreateInfoBrowser(const QUrl& url, QWidget* parent,
                           std::chrono::milliseconds answerLimit = WindowLimits::InfoPageAnswer);
// The address the browser was sent to.
QUrl InfoBrowserUrl(const QWidget* browser);
// Why the page could not be loaded (the English detail); empty while it loads or once it has
// loaded.
QString InfoBrowserLoadError(const QWidget* browser);
