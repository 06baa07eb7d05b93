#include "InfoBrowser.h"

#include "MainWindow.h"

#include <QRegularExpression>
#include <QTimer>
#include <QVariant>
#include <QWidget>

#include <utility>

#ifdef KESTREL_WEBENGINE
#include "BrowserMemory.h"

#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
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

// The browser's error texts may carry markup of its own error page: the detail is plain text.
QString PlainText(QString text) {
    text.remove(QRegularExpression(QStringLiteral("<[^>]*>")));
    text = text.simplified();
    return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

// Shows the local page in place of the one that failed, once per load, and says so on standard
// error.
template <typename View>
void ShowUnavailable(View* view, const QUrl& url, TInfoFailure failure, const QString& detail) {
    const QString plain = PlainText(detail);
    view->setProperty(ErrorProperty, plain);
    EchoToTerminal(
        QStringLiteral("information page %1 cannot be loaded: %2").arg(url.toString(), plain));
    view->setHtml(QString::fromStdString(
        InfoUnavailablePage(url.toString().toStdString(), failure, plain.toStdString())));
}

// Stops waiting for a page that does not answer: arms `timer` as a load begins.
template <typename View, typename Stop>
QTimer* AnswerTimer(View* view, const QUrl& url, std::chrono::milliseconds limit, Stop stop) {
    auto* timer = new QTimer(view);
    timer->setSingleShot(true);
    timer->setInterval(limit);
    QObject::connect(timer, &QTimer::timeout, view, [view, url, limit, stop] {
        if (!InfoBrowserLoadError(view).isEmpty())
            return;
        // Marked first: the stop may report the load as failed.
        view->setProperty(ErrorProperty, QStringLiteral("no answer"));
        stop();
        ShowUnavailable(view, url, TInfoFailure::NoAnswer,
                        QStringLiteral("no answer within %1 s")
                            .arg(std::chrono::duration<double>(limit).count()));
    });
    return timer;
}

#ifdef KESTREL_WEBENGINE
// Chromium's network error numbers of the common cases.
TInfoFailure Classify(const QWebEngineLoadingInfo& info) {
    const int code = info.errorCode();
    switch (info.errorDomain()) {
    case QWebEngineLoadingInfo::HttpStatusCodeDomain:
        return code == 404 || code == 410 ? TInfoFailure::NotFound : TInfoFailure::Other;
    case QWebEngineLoadingInfo::CertificateErrorDomain:
        return TInfoFailure::Tls;
    case QWebEngineLoadingInfo::DnsErrorDomain:
        return TInfoFailure::NameNotResolved;
    default:
        break;
    }
    switch (code) {
    case -102: // ERR_CONNECTION_REFUSED
        return TInfoFailure::Refused;
    case -105: // ERR_NAME_NOT_RESOLVED
    case -137: // ERR_NAME_RESOLUTION_FAILED
        return TInfoFailure::NameNotResolved;
    case -7:   // ERR_TIMED_OUT
    case -118: // ERR_CONNECTION_TIMED_OUT
    case -324: // ERR_EMPTY_RESPONSE
        return TInfoFailure::NoAnswer;
    default:
        // The secure connection's errors: -107 ERR_SSL_PROTOCOL_ERROR and its neighbours, and
        // the certificate errors from -200 on.
        if ((code <= -200 && code > -300) || info.errorString().contains(QLatin1String("SSL")))
            return TInfoFailure::Tls;
        return TInfoFailure::Other;
    }
}

QString Detail(const QWebEngineLoadingInfo& info) {
    if (info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain)
        return QStringLiteral("HTTP %1").arg(info.errorCode());
    return info.errorString();
}
#else
TInfoFailure Classify(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::ContentNotFoundError:
    case QNetworkReply::ContentGoneError:
        return TInfoFailure::NotFound;
    case QNetworkReply::ConnectionRefusedError:
        return TInfoFailure::Refused;
    case QNetworkReply::HostNotFoundError:
        return TInfoFailure::NameNotResolved;
    case QNetworkReply::TimeoutError:
        return TInfoFailure::NoAnswer;
    case QNetworkReply::SslHandshakeFailedError:
        return TInfoFailure::Tls;
    default:
        return TInfoFailure::Other;
    }
}
#endif

#ifdef KESTREL_WEBENGINE
// Follows the loads of the information page (not of the local page): arms the answer timer as
// one begins, and shows the local page for one that fails.
void FollowLoads(QWebEngineView* view, const QUrl& url, QTimer* timer) {
    QObject::connect(view->page(), &QWebEnginePage::loadingChanged, view,
                     [view, url, timer](const QWebEngineLoadingInfo& info) {
                         if (info.url() != url)
                             return; // the local page
                         switch (info.status()) {
                         case QWebEngineLoadingInfo::LoadStartedStatus:
                             // Loaded again (the reload link): a new chance.
                             view->setProperty(ErrorProperty, QVariant());
                             timer->start();
                             break;
                         case QWebEngineLoadingInfo::LoadSucceededStatus:
                             timer->stop();
                             break;
                         case QWebEngineLoadingInfo::LoadFailedStatus:
                             timer->stop();
                             if (InfoBrowserLoadError(view).isEmpty())
                                 ShowUnavailable(view, url, Classify(info), Detail(info));
                             break;
                         case QWebEngineLoadingInfo::LoadStoppedStatus:
                             timer->stop();
                             break;
                         }
                     });
}

// How long after the first page has loaded (the information page or the local one) the browser
// is taken to have drawn it and finished starting: then what its start-up left behind goes back.
constexpr std::chrono::seconds StartupMemoryDelay{3};

void ReleaseStartupMemoryOnce(QWebEngineView* view) {
    static bool released = false;
    QObject::connect(view, &QWebEngineView::loadFinished, view, [] {
        if (std::exchange(released, true))
            return;
        QTimer::singleShot(StartupMemoryDelay, [] { ReleaseBrowserStartupMemory(); });
    });
}

QWidget* CreateWebEngineBrowser(const QUrl& url, QWidget* parent,
                                std::chrono::milliseconds answerLimit) {
    auto* view = new QWebEngineView(parent);
    view->setProperty(UrlProperty, url);
    // Our own page in Chinese instead of the browser's error page in another language.
    view->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    // One small page, loaded once per start: a cache in memory of about its size, and nothing
    // kept on disk between starts (the page has to be fresh each time anyway).
    QWebEngineProfile* profile = view->page()->profile();
    profile->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    profile->setHttpCacheMaximumSize(1024 * 1024);
    profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    QTimer* timer = AnswerTimer(view, url, answerLimit, [view] { view->stop(); });
    FollowLoads(view, url, timer);
    ReleaseStartupMemoryOnce(view);
    view->load(url);
    return view;
}
#else
// Loads the page with one HTTP GET into the viewer, or shows the local page instead.
void LoadPage(QTextBrowser* view, const QUrl& url, QNetworkAccessManager* network, QTimer* timer) {
    view->setProperty(ErrorProperty, QVariant());
    view->setPlainText(QStringLiteral("正在打开 %1 ……").arg(url.toString()));
    QNetworkReply* reply = network->get(QNetworkRequest(url));
    reply->setParent(view);
    timer->start();
    QObject::connect(reply, &QNetworkReply::finished, view, [view, reply, url, timer] {
        reply->deleteLater();
        timer->stop();
        if (!InfoBrowserLoadError(view).isEmpty())
            return;
        if (reply->error() == QNetworkReply::NoError)
            view->setHtml(QString::fromUtf8(reply->readAll()));
        else
            ShowUnavailable(view, url, Classify(reply->error()), reply->errorString());
    });
}

QWidget* CreateTextBrowser(const QUrl& url, QWidget* parent,
                           std::chrono::milliseconds answerLimit) {
    auto* view = new QTextBrowser(parent);
    view->setProperty(UrlProperty, url);
    view->setOpenLinks(false);
    auto* network = new QNetworkAccessManager(view);
    QTimer* timer = AnswerTimer(view, url, answerLimit, [view] {
        for (auto* reply : view->findChildren<QNetworkReply*>())
            reply->abort();
    });
    // The reload link of the local page.
    QObject::connect(
        view, &QTextBrowser::anchorClicked, view,
        [view, url, network, timer](const QUrl&) { LoadPage(view, url, network, timer); });
    LoadPage(view, url, network, timer);
    return view;
}
#endif
} // namespace

QWidget* CreateInfoBrowser(const QUrl& url, QWidget* parent,
                           std::chrono::milliseconds answerLimit) {
#ifdef KESTREL_WEBENGINE
    return CreateWebEngineBrowser(url, parent, answerLimit);
#else
    return CreateTextBrowser(url, parent, answerLimit);
#endif
}

QUrl InfoBrowserUrl(const QWidget* browser) {
    return browser ? browser->property(UrlProperty).toUrl() : QUrl();
}

QString InfoBrowserLoadError(const QWidget* browser) {
    return browser ? browser->property(ErrorProperty).toString() : QString();
}
