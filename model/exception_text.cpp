#include "model/exception_text.h"

#include <QStringList>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

namespace taln {

QString describeCurrentException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return QString::fromLocal8Bit(std::strerror(ENOMEM));
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QString::fromLocal8Bit(std::strerror(EIO));
    }
}

} // namespace taln

namespace taln {

namespace {

// FFmpeg's and the system's texts for the failures users meet most, and what Taln says
// instead; %1 is the file's name.
struct Wording {
    const char* detail;
    const char* sentence;
};
constexpr std::array kWordings{
    Wording{"Invalid data found when processing input",
            "%1 isn't an audio or video file Taln can read"},
    Wording{"No such file or directory", "%1 can't be found; it may have been moved or deleted"},
    Wording{"Permission denied", "Taln isn't allowed to read %1"},
    Wording{"Is a directory", "%1 is a folder, not a file"},
    Wording{"Decoder not found", "%1 holds audio in a format Taln can't decode"},
};

} // namespace

QString describeLoadFailure(const QString& name) {
    const QString message = describeCurrentException();
    // The decoder's own failures read "<name>: <detail>".
    const QString prefix = name + QStringLiteral(": ");
    if (!message.startsWith(prefix)) {
        return message;
    }
    const QString detail = message.mid(prefix.size());
    for (const Wording& wording : kWordings) {
        if (detail == QLatin1String(wording.detail)) {
            return QString::fromUtf8(wording.sentence).arg(name) + QStringLiteral(" (") + detail +
                   QLatin1Char(')');
        }
    }
    return message;
}

} // namespace taln
