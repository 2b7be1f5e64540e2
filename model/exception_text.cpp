#include "model/exception_text.h"

#include "audio/file_error.h"
#include "audio/wording.h"

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

QString describeLoadFailure(const QString& name) {
    try {
        throw;
    } catch (const FileError& error) {
        return QString::fromStdString(Wording::readFailure(error, name.toStdString()));
    } catch (...) {
        return describeCurrentException();
    }
}

} // namespace taln
