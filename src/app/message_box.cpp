#include "app/message_box.h"

#include <QMessageBox>
#include <QPointer>

#include <vector>

namespace korvane {

namespace {
MessageHandler& handler() {
    static MessageHandler h;
    return h;
}

MessageCloseHandler& closeHandler() {
    static MessageCloseHandler h;
    return h;
}

struct OpenBox {
    QPointer<QMessageBox> box;
    QString key;
};

std::vector<OpenBox>& openBoxes() {
    static std::vector<OpenBox> boxes;
    return boxes;
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

void setMessageCloseHandler(MessageCloseHandler h) {
    closeHandler() = std::move(h);
}

MessageCloseHandler messageCloseHandler() {
    return closeHandler();
}

void closeMessages(const QString& key) {
    for (const OpenBox& open : openBoxes()) {
        if (open.key == key && open.box)
            open.box->accept();
    }
    if (closeHandler())
        closeHandler()(key);
}

void showMessage(QWidget* parent, const Message& message) {
    if (handler()) {
        handler()(message);
    } else {
        QMessageBox box(boxIcon(message.icon), message.title, message.text, QMessageBox::Ok,
                        parent);
        // Messages may echo what was typed or read from a file: never taken for markup.
        box.setTextFormat(Qt::PlainText);
        openBoxes().push_back({&box, message.key});
        box.exec();
        std::erase_if(openBoxes(),
                      [&](const OpenBox& open) { return !open.box || open.box == &box; });
    }
}

} // namespace korvane
