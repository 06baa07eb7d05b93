#pragma once
// The embedded browser that shows the device information page: Qt WebEngine when the build has
// it, otherwise a plain HTML viewer that fetches the page with one HTTP GET.
#include <QUrl>

class QWidget;

// Creates the browser and starts loading `url`. A page that cannot be loaded is shown however
// the browser shows it.
QWidget* CreateInfoBrowser(const QUrl& url, QWidget* parent);
// The address the browser was sent to.
QUrl InfoBrowserUrl(const QWidget* browser);
