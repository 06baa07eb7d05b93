#pragma once
// The embedded browser that shows the device information page: Qt WebEngine when the build has
// it, otherwise a plain HTML viewer that fetches the page with one HTTP GET.
#include <QString>
#include <QUrl>

class QWidget;

// Creates the browser and starts loading `url`. A page that cannot be loaded is replaced by
// InfoUnavailablePage (the browser's own error page is never shown), and the failure is echoed
// on standard error.
QWidget* CreateInfoBrowser(const QUrl& url, QWidget* parent);
// The address the browser was sent to.
QUrl InfoBrowserUrl(const QWidget* browser);
// The small local page shown instead of an information page that cannot be loaded: in Chinese,
// saying that the device information is unavailable, with the address and the load error.
QString InfoUnavailablePage(const QUrl& url, const QString& reason);
// Why the page could not be loaded; empty while it loads or once it has loaded.
QString InfoBrowserLoadError(const QWidget* browser);
