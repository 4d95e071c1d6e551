#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QPromise>
#include <QThreadPool>

#include <memory>
#include <type_traits>
#include <utility>

namespace lento {

// Runs `work` on Qt's global thread pool and hands its result to `done` on `receiver`'s thread
// (the main thread for a window's objects), unless `receiver` is destroyed first: then the result
// is dropped. `work` must not touch widgets nor anything `receiver` owns; it takes copies. The
// application object waits for the pool's work when it is destroyed.
template <typename Work, typename Done> void runOnWorker(QObject* receiver, Work work, Done done) {
    using Result = std::invoke_result_t<Work&>;
    auto promise = std::make_shared<QPromise<Result>>();
    auto* watcher = new QFutureWatcher<Result>(receiver);
    QObject::connect(watcher, &QFutureWatcherBase::finished, receiver,
                     [watcher, done = std::move(done)]() mutable {
                         watcher->deleteLater();
                         done(watcher->result());
                     });
    watcher->setFuture(promise->future());
    promise->start();
    QThreadPool::globalInstance()->start([promise, work = std::move(work)]() mutable {
        promise->addResult(work());
        promise->finish();
    });
}

} // namespace lento
