#include "app/message_box.h"

#include <QMessageBox>

namespace korvane {

namespace {
MessageHandler& handler() {
    static MessageHandler h;
    return h;
}

QMessageBox::Icon boxIcon(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Information:
        return QMessageBox::Information;
    case MessageIcon::Warning:
        return QMessageBox::Warning;
    case MessageIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}
} // namespace

void setMessageHandler(MessageHandler h) {
    handler() = std::move(h);
}

MessageHandler messageHandler() {
    return handler();
}

void showMessage(QWidget* parent, const Message& message) {
    if (handler()) {
        handler()(message);
    } else {
        QMessageBox box(boxIcon(message.icon), message.title, message.text, QMessageBox::Ok,
                        parent);
        // Messages may echo what was typed or read from a file: never taken for markup.
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }
}

} // namespace korvane
