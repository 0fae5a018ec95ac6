// Answers a modal dialog from inside its own event loop, for offscreen GUI tests.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace vbc::test {

// Waits, inside the event loop, until a Dialog is the active modal widget, then answers it
// once. A dialog that opens late is still answered; one that never opens within limitMs is a
// test failure, and whatever modal is up then is closed, so the test fails instead of hanging;
// so is a dialog still open limitMs after its answer.
template <class Dialog>
void AnswerModal(std::function<void(Dialog*)> answer, int limitMs = 10000) {
    auto* timer = new QTimer(qApp);
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(timer, &QTimer::timeout, [timer, clock, answer, limitMs] {
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        const bool ready = dialog && dialog->isVisible();
        if (!ready && clock->elapsed() < limitMs) return;
        timer->stop();
        timer->deleteLater();
        delete clock;
        if (ready) {
            answer(dialog);
            // An answer the dialog refused (a file it could not find, say) would leave its
            // loop running: the test fails and the dialog goes, rather than the test hanging.
            QPointer<Dialog> answered(dialog);
            QTimer::singleShot(limitMs, qApp, [answered, limitMs] {
                if (!answered || !answered->isVisible()) return;
                ADD_FAILURE() << "the " << Dialog::staticMetaObject.className()
                              << " was still open " << limitMs << " ms after its answer";
                answered->close();
            });
            return;
        }
        ADD_FAILURE() << "no " << Dialog::staticMetaObject.className()
                      << " became the active modal dialog within " << limitMs << " ms";
        if (QWidget* other = QApplication::activeModalWidget()) other->close();
    });
    timer->start(5);
}

}  // namespace vbc::test
