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
};

// Every message the program shows goes through here: a modal box with one OK button.
// Returns when the operator has closed it.
void showMessage(QWidget* parent, const Message& message);

// Replaces the modal box, for tests; an empty handler restores it.
using MessageHandler = std::function<void(const Message&)>;
void setMessageHandler(MessageHandler handler);
MessageHandler messageHandler();

} // namespace korvane
