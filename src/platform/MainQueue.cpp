#include "platform/MainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace tarnwick {

void postToMain(std::function<void()> task) {
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) {
        return;
    }
    QMetaObject::invokeMethod(application, std::move(task), Qt::QueuedConnection);
}

bool onMainThread() {
    QCoreApplication* application = QCoreApplication::instance();
    return application && QThread::currentThread() == application->thread();
}

} // namespace tarnwick
