#include "settings/passwords.h"

#include "settings/config_file.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPasswordDigestor>
#include <QRandomGenerator>

#include <algorithm>
#include <array>

namespace korvane::passwords {

namespace {

const QString File_Name = QStringLiteral("passwords.dat");
const QByteArray Scheme = "pbkdf2-sha256";
constexpr int Salt_Bytes = 16;
constexpr int Key_Bytes = 32;
// Two lines of about a hundred bytes; anything this large is not the file.
constexpr qint64 Max_File_Bytes = 16 * 1024;

// The passwords of the program this one replaces; they stand until an administrator
// sets others.
const QString Original_Login = QStringLiteral("plumtree");
const QString Original_Exit = QStringLiteral("QMWZ");

constexpr std::array<Role, 2> Roles = {Role::Login, Role::Exit};

QByteArray roleKey(Role role) {
    return role == Role::Login ? QByteArrayLiteral("login") : QByteArrayLiteral("exit");
}

std::optional<Role> roleOfKey(const QByteArray& key) {
    for (Role role : Roles) {
        if (roleKey(role) == key)
            return role;
    }
    return std::nullopt;
}

QByteArray derive(const QString& password, const QByteArray& salt, int iterations) {
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt,
                                              iterations, Key_Bytes);
}

// Takes as long whatever the first difference: the time tells nothing of the key.
bool sameBytes(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

std::optional<QByteArray> strictBase64(const QByteArray& text) {
    const auto decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return decoded.decoded;
}

// The entry on a line's fields after the role, or nothing when they are not one.
std::optional<Hashed> parseEntry(const QList<QByteArray>& fields) {
    if (fields.size() != 5 || fields[1] != Scheme)
        return std::nullopt;
    bool ok = false;
    const int iterations = fields[2].toInt(&ok);
    if (!ok || iterations < Min_Iterations || iterations > Max_Iterations)
        return std::nullopt;
    const std::optional<QByteArray> salt = strictBase64(fields[3]);
    const std::optional<QByteArray> key = strictBase64(fields[4]);
    if (!salt || salt->size() < 8 || salt->size() > 64 || !key || key->size() != Key_Bytes)
        return std::nullopt;
    return Hashed{iterations, *salt, *key};
}

QString standsSentence(Role role) {
    return QStringLiteral("the original %1 stands.").arg(roleName(role));
}

void parseFile(const QByteArray& bytes, PasswordsLoad& load) {
    std::array<int, 2> lines{};
    std::array<bool, 2> damaged{};
    const QList<QByteArray> text = bytes.split('\n');
    for (int number = 1; number <= text.size(); ++number) {
        const QByteArray line = text[number - 1].trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.simplified().split(' ');
        const std::optional<Role> role = roleOfKey(fields[0]);
        if (!role) {
            load.problems
                << QStringLiteral("Line %1 is not a password; it is left out.").arg(number);
            continue;
        }
        const auto index = std::size_t(*role);
        const std::optional<Hashed> entry = parseEntry(fields);
        if (++lines[index] > 1 || !entry)
            damaged[index] = true;
        else
            load.entry(*role) = entry;
    }
    for (Role role : Roles) {
        if (!damaged[std::size_t(role)])
            continue;
        load.entry(role).reset();
        load.problems << QStringLiteral("The %1 cannot be read: %2")
                             .arg(roleName(role), standsSentence(role));
    }
}

QByteArray fileText(const PasswordsLoad& load) {
    QByteArray text = "# Korvane's passwords, as keys derived from them (PBKDF2-HMAC-SHA256).\n"
                      "# Written by Admin > Passwords. A password without a usable line here\n"
                      "# is the original one.\n";
    for (Role role : Roles) {
        const std::optional<Hashed>& entry = load.entry(role);
        if (!entry)
            continue;
        text += roleKey(role) + ' ' + Scheme + ' ' + QByteArray::number(entry->iterations) + ' ' +
                entry->salt.toBase64() + ' ' + entry->key.toBase64() + '\n';
    }
    return text;
}

} // namespace

QString passwordsPathFor(const QString& programFolder) {
    return QDir(programFolder).filePath(File_Name);
}

QString roleName(Role role) {
    return role == Role::Login ? QStringLiteral("log-in password")
                               : QStringLiteral("exit password");
}

PasswordsLoad loadPasswords(const QString& path) {
    PasswordsLoad load;
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return load;
    QFile file(path);
    QByteArray bytes;
    if (info.isFile() && file.open(QIODevice::ReadOnly))
        bytes = file.read(Max_File_Bytes + 1);
    if (!file.isOpen() || bytes.size() > Max_File_Bytes) {
        load.problems << QStringLiteral("The file cannot be read: the original log-in and exit "
                                        "passwords stand.");
        return load;
    }
    parseFile(bytes, load);
    return load;
}

Hashed hashPassword(const QString& password, int iterations) {
    std::array<quint32, Salt_Bytes / sizeof(quint32)> words{};
    QRandomGenerator::system()->fillRange(words.data(), qsizetype(words.size()));
    const QByteArray salt(reinterpret_cast<const char*>(words.data()), Salt_Bytes);
    return Hashed{iterations, salt, derive(password, salt, iterations)};
}

bool matches(const std::optional<Hashed>& stored, Role role, const QString& typed) {
    if (typed.isEmpty())
        return false;
    if (!stored)
        return typed == (role == Role::Login ? Original_Login : Original_Exit);
    return sameBytes(derive(typed, stored->salt, stored->iterations), stored->key);
}

bool checkPassword(const QString& path, Role role, const QString& typed) {
    return matches(loadPasswords(path).entry(role), role, typed);
}

bool savePassword(const QString& path, Role role, const QString& password, int iterations) {
    PasswordsLoad load = loadPasswords(path);
    load.entry(role) = hashPassword(password, iterations);
    return config::saveConfigAtomically(path, fileText(load));
}

QString newPasswordProblem(const QString& typed, const QString& again) {
    if (typed != again)
        return QStringLiteral("The two entries differ. Type the new password twice, the same "
                              "both times.");
    if (typed.size() < Min_Length)
        return QStringLiteral("A password needs at least %1 characters.").arg(Min_Length);
    return {};
}

QString passwordsReport(const QString& path) {
    const QStringList problems = loadPasswords(path).problems;
    if (problems.isEmpty())
        return {};
    return QStringLiteral("In %1: %2 An administrator can set the passwords again under "
                          "Admin > Passwords.")
        .arg(QDir::toNativeSeparators(path), problems.join(QLatin1Char(' ')));
}

std::chrono::seconds WrongTries::noteWrong() {
    ++count_;
    if (count_ <= Free_Tries)
        return std::chrono::seconds(0);
    // Bounded shift: the doubling stops long before it could overflow.
    const int doublings = std::min(count_ - Free_Tries - 1, 8);
    return std::min(First_Wait * (1 << doublings), std::chrono::seconds(Longest_Wait));
}

} // namespace korvane::passwords
