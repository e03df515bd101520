#include "app/message_box.h"

#include <QMessageBox>

namespace korvane {

namespace {
MessageHandler& handler() {
    static MessageHandler h;
    return h;
}
int openCount = 0;
} // namespace

void setMessageHandler(MessageHandler h) {
    handler() = std::move(h);
}

MessageHandler messageHandler() {
    return handler();
}

int messagesOpen() {
    return openCount;
}

void showMessage(QWidget* parent, const Message& message) {
    ++openCount;
    if (handler()) {
        handler()(message);
    } else {
        QMessageBox box(message.icon == MessageIcon::Information ? QMessageBox::Information
                                                                 : QMessageBox::NoIcon,
                        message.title, message.text, QMessageBox::Ok, parent);
        box.exec();
    }
    --openCount;
}

} // namespace korvane
