#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace korvane {

enum class MessageIcon { None, Information, Warning };

struct Message {
    QString text;
    QString title;
    MessageIcon icon = MessageIcon::None;
    // A message whose news can go out of date has a key; closeMessages() closes it.
    QString key = {};
};

// Every message the program shows goes through here: a modal box with one OK button.
// Returns when the operator has closed it, or when the program has.
void showMessage(QWidget* parent, const Message& message);

// Closes every box open with this key, as if OK had been pressed.
void closeMessages(const QString& key);

// Replaces the modal box, for tests; an empty handler restores it. The close handler is
// told what closeMessages() closes.
using MessageHandler = std::function<void(const Message&)>;
void setMessageHandler(MessageHandler handler);
MessageHandler messageHandler();
using MessageCloseHandler = std::function<void(const QString& key)>;
void setMessageCloseHandler(MessageCloseHandler handler);
MessageCloseHandler messageCloseHandler();

} // namespace korvane
