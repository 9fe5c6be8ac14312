#pragma once

#include <QString>

namespace procedure {

// What went wrong, as every part of the bench reports it (the procedure, the record, the
// certificate, the bench's SCPI devices): a code that front ends act on (an exit status, a
// dialog), the member it concerns in its file (`stability.window`, `reference.certificate.due`)
// so a form can mark the field, and a message for people. Front ends never read the message
// to decide anything, so translating it changes no behaviour.
struct Error
{
    enum class Code {
        None,
        Invalid,     // the operator's input is refused: a member missing, out of range, not a number
        Unreadable,  // a file could not be read, or is not a file of its kind (too large, not JSON)
        NotVerified, // a record does not hold what it should: its members, its hash, its results
        Unwritable,  // a file could not be written
        Device,      // a bench device did not answer, or answered what is not a reading
    };

    Code code = Code::None;
    QString member;
    QString message;

    bool failed() const { return code != Code::None; }

    static Error invalid(const QString &member, const QString &message) { return {Code::Invalid, member, message}; }
    static Error unreadable(const QString &member, const QString &message) { return {Code::Unreadable, member, message}; }
    static Error notVerified(const QString &member, const QString &message) { return {Code::NotVerified, member, message}; }
};

} // namespace procedure
