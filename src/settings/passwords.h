#pragma once

// passwords.dat: the log-in and the exit password an administrator has set, beside
// config.dat. Only a key derived from each password is kept (PBKDF2 with HMAC-SHA-256, a
// random salt per password, the iteration count stored with it), one line per password:
//
//   login pbkdf2-sha256 310000 <salt, base64> <key, base64>
//   exit pbkdf2-sha256 310000 <salt, base64> <key, base64>
//
// A password without a usable line is the original one the program was shipped with, so
// a track whose file is missing or damaged is never locked out: the start-up report
// says which password went back to its original.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace korvane::passwords {

enum class Role { Login, Exit };

// What a new password needs: the original exit password has four characters.
inline constexpr int Min_Length = 4;
// About 0.3 s on a current PC; a check runs off the window thread.
inline constexpr int Iterations = 310000;
// What a stored line may ask for: fewer would be no protection, more would keep a
// check busy for minutes.
inline constexpr int Min_Iterations = 1000;
inline constexpr int Max_Iterations = 10000000;

// A password as it is kept: the derived key and what it was derived with.
struct Hashed {
    int iterations = Iterations;
    QByteArray salt;
    QByteArray key;
};

// What a load made of the file. A role without an entry has its original password.
struct PasswordsLoad {
    std::optional<Hashed> login;
    std::optional<Hashed> exit;
    QStringList problems; // plain-text sentences for the start-up report

    std::optional<Hashed>& entry(Role role) { return role == Role::Login ? login : exit; }
    const std::optional<Hashed>& entry(Role role) const {
        return role == Role::Login ? login : exit;
    }
};

// programFolder/passwords.dat
QString passwordsPathFor(const QString& programFolder);

// "log-in password", "exit password": as the administrator is told of it.
QString roleName(Role role);

// Never fails: a missing file gives the original passwords without a word; a file or a
// line that cannot be used gives the original for what it concerns, and says so.
PasswordsLoad loadPasswords(const QString& path);

// The key of `password` with a new random salt.
Hashed hashPassword(const QString& password, int iterations = Iterations);

// Whether `typed` is the password: the whole text, case-sensitive, nothing trimmed; an
// empty text never is. Takes as long as the stored iteration count asks: call it off
// the window thread.
bool matches(const std::optional<Hashed>& stored, Role role, const QString& typed);

// Whether `typed` is the password of `role` in the file at `path` now.
bool checkPassword(const QString& path, Role role, const QString& typed);

// Makes `password` the password of `role`; the other role's usable entry is kept, a
// line that could not be used is dropped. The file is replaced in one step: false when
// it could not be written, and the previous file stands.
bool savePassword(const QString& path, Role role, const QString& password,
                  int iterations = Iterations);

// Why a new password typed twice cannot be taken, for the administrator; empty when it can.
QString newPasswordProblem(const QString& typed, const QString& again);

// What the start-up report says of the file; empty when there is nothing to say.
QString passwordsReport(const QString& path);

// Slows down guessing: the first wrong tries are answered at once, then each one makes
// the next try wait twice as long as the one before, up to Longest_Wait. A right try
// starts over.
class WrongTries {
public:
    static constexpr int Free_Tries = 2;
    static constexpr std::chrono::seconds First_Wait{1};
    static constexpr std::chrono::seconds Longest_Wait{30};

    // Counts a wrong try; returns how long the next try must wait.
    std::chrono::seconds noteWrong();
    void noteRight() { count_ = 0; }
    int count() const { return count_; }

private:
    int count_ = 0;
};

} // namespace korvane::passwords
