#include "InfoBrowser.h"

#include "MainWindow.h"

#include <QVariant>
#include <QWidget>

#ifdef KESTREL_WEBENGINE
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <QWebEngineView>
#else
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTextBrowser>
#endif

namespace {
const char* const UrlProperty = "kestrelInfoUrl";
const char* const ErrorProperty = "kestrelInfoError";

// Shows the local page in place of the one that failed, once, and says so on standard error.
template <typename View> void ShowUnavailable(View* view, const QUrl& url, QString reason) {
    if (reason.isEmpty())
        reason = QStringLiteral("unknown error");
    view->setProperty(ErrorProperty, reason);
    EchoToTerminal(
        QStringLiteral("information page %1 cannot be loaded: %2").arg(url.toString(), reason));
    view->setHtml(InfoUnavailablePage(url, reason));
}
} // namespace

QString InfoUnavailablePage(const QUrl& url, const QString& reason) {
    return QStringLiteral("<html><head><meta charset=\"utf-8\"></head>"
                          "<body style=\"font-family: sans-serif; margin: 16px;\">"
                          "<h3>设备信息暂时无法显示</h3>"
                          "<p>无法打开设备信息页面：</p><p><code>%1</code></p>"
                          "<p>原因：%2</p>"
                          "<p>这不影响在线更新，请检查网络连接后重新打开本程序。</p>"
                          "</body></html>")
        .arg(url.toString().toHtmlEscaped(), reason.toHtmlEscaped());
}

QWidget* CreateInfoBrowser(const QUrl& url, QWidget* parent) {
#ifdef KESTREL_WEBENGINE
    auto* view = new QWebEngineView(parent);
    view->setProperty(UrlProperty, url);
    // Our own page in Chinese instead of the browser's error page in another language.
    view->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    QObject::connect(view->page(), &QWebEnginePage::loadingChanged, view,
                     [view, url](const QWebEngineLoadingInfo& info) {
                         if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus &&
                             info.url() == url && InfoBrowserLoadError(view).isEmpty())
                             ShowUnavailable(view, url, info.errorString());
                     });
    view->load(url);
    return view;
#else
    auto* view = new QTextBrowser(parent);
    view->setProperty(UrlProperty, url);
    view->setOpenLinks(false);
    view->setPlainText(QStringLiteral("正在打开 %1 ……").arg(url.toString()));
    auto* network = new QNetworkAccessManager(view);
    QNetworkReply* reply = network->get(QNetworkRequest(url));
    QObject::connect(reply, &QNetworkReply::finished, view, [view, reply, url] {
        reply->deleteLater();
        if (reply->error() == QNetworkReply::NoError)
            view->setHtml(QString::fromUtf8(reply->readAll()));
        else
            ShowUnavailable(view, url, reply->errorString());
    });
    return view;
#endif
}

QUrl InfoBrowserUrl(const QWidget* browser) {
    return browser ? browser->property(UrlProperty).toUrl() : QUrl();
}

QString InfoBrowserLoadError(const QWidget* browser) {
    return browser ? browser->property(ErrorProperty).toString() : QString();
}
