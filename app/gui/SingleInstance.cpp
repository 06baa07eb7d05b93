#include "SingleInstance.h"

#include "WindowTexts.h"

#include <QFile>
#include <QLocalSocket>
#include <QStandardPaths>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {
// How long a later start waits for the first window to answer: the first may still be starting
// (its socket exists from right after the lock, but it answers from its event loop).
constexpr std::chrono::seconds AnswerWait{20};
// Between two tries while the lock is held but the socket is not there yet.
constexpr std::chrono::milliseconds RetryPause{50};
// The first window's answer: it was brought to the front.
constexpr char Raised[] = "raised\n";

std::string Text(const QString& text) {
    return text.toStdString();
}
} // namespace

TSingleWindow::~TSingleWindow() {
    server_.close();
}

std::unique_ptr<TSingleWindow> TSingleWindow::Claim(std::string& message) {
    std::unique_ptr<TSingleWindow> self(new TSingleWindow);
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    const std::string unguarded = ": a second window is not prevented";
    if (folder.isEmpty()) {
        message = "kestrel: the user has no runtime folder (set XDG_RUNTIME_DIR)" + unguarded;
        return self;
    }
    const QString base = folder + "/kestrel-" + QString::fromStdString(WindowInstanceName());
    const QString lockPath = base + ".lock", socketPath = base + ".socket";
    self->lock_.Reset(
        ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!self->lock_) {
        message = "kestrel: cannot open " + Text(lockPath) + " (" + std::strerror(errno) + ")" +
                  unguarded;
        return self;
    }
    const auto until = std::chrono::steady_clock::now() + AnswerWait;
    for (;;) {
        if (::flock(self->lock_.Get(), LOCK_EX | LOCK_NB) == 0) {
            // A socket file left by a window that ended without closing it is no one's.
            QLocalServer::removeServer(socketPath);
            self->server_.setSocketOptions(QLocalServer::UserAccessOption);
            if (!self->server_.listen(socketPath))
                message = "kestrel: cannot listen on " + Text(socketPath) + " (" +
                          Text(self->server_.errorString()) +
                          "): a second start will not find this window";
            return self;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            message = "kestrel: cannot lock " + Text(lockPath) + " (" + std::strerror(errno) + ")" +
                      unguarded;
            self->lock_.Reset();
            return self;
        }
        QLocalSocket socket;
        socket.connectToServer(socketPath);
        if (socket.waitForConnected(1000)) {
            QByteArray answer;
            while (!answer.contains('\n') && std::chrono::steady_clock::now() < until &&
                   (socket.bytesAvailable() > 0 || socket.waitForReadyRead(static_cast<int>(
                                                       std::chrono::ceil<std::chrono::milliseconds>(
                                                           until - std::chrono::steady_clock::now())
                                                           .count()))))
                answer += socket.readAll();
            message = answer == Raised
                          ? "kestrel: the window is already open; it was brought to the front"
                          : "kestrel: the window is already open, but it did not come to the "
                            "front (it did not answer on " +
                                Text(socketPath) + ")";
            return nullptr;
        }
        // The lock is held, but its socket is not there yet (the first window is starting) or
        // any more (it is ending): try both again.
        if (std::chrono::steady_clock::now() >= until) {
            message = "kestrel: the window is already open, but it does not answer on " +
                      Text(socketPath) + " (" + Text(socket.errorString()) + ")";
            return nullptr;
        }
        std::this_thread::sleep_for(RetryPause);
    }
}

void TSingleWindow::RaiseOnRequest(QWidget& window) {
    window_ = &window;
    QObject::connect(&server_, &QLocalServer::newConnection, &server_, [this] { Answer(); });
}

void TSingleWindow::Answer() {
    while (QLocalSocket* peer = server_.nextPendingConnection()) {
        QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        if (!window_) {
            peer->disconnectFromServer();
            continue;
        }
        window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
        window_->show();
        window_->raise();
        window_->activateWindow();
        std::fprintf(stderr, "kestrel: started again: this window was brought to the front\n");
        std::fflush(stderr);
        peer->write(Raised);
        peer->disconnectFromServer();
    }
}
