#include "InfoBrowser.h"

#include <QVariant>
#include <QWidget>

#ifdef KESTREL_WEBENGINE
#include <QWebEngineView>
#else
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTextBrowser>
#endif

namespace {
const char* const UrlProperty = "kestrelInfoUrl";
}

QWidget* CreateInfoBrowser(const QUrl& url, QWidget* parent) {
#ifdef KESTREL_WEBENGINE
    auto* view = new QWebEngineView(parent);
    view->setProperty(UrlProperty, url);
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
        if (reply->error() == QNetworkReply::NoError) {
            view->setHtml(QString::fromUtf8(reply->readAll()));
        } else {
            view->setPlainText(
                QStringLiteral("无法打开 %1\n%2").arg(url.toString(), reply->errorString()));
        }
    });
    return view;
#endif
}

QUrl InfoBrowserUrl(const QWidget* browser) {
    return browser ? browser->property(UrlProperty).toUrl() : QUrl();
}
